#include "tools/port_check.h"

#if !defined(_WIN32)
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#endif

namespace vave8ctl {

std::string PortPath(const std::string& port) {
#if defined(_WIN32)
    return port;
#else
    if (port == "NUL" || port.empty() || port[0] == '/') return port;
    return "/dev/" + port;
#endif
}

std::string PortProblem(const std::string& port) {
#if defined(_WIN32)
    (void)port;
    return "";
#else
    if (port == "NUL") return "";
    const std::string path = PortPath(port);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return path + ": no such device (is the adapter plugged in?)";
        return path + ": " + std::strerror(errno);
    }
    if (S_ISREG(st.st_mode)) return path + ": a regular file, not a serial port";
    if (S_ISDIR(st.st_mode)) return path + ": a directory, not a serial port";
    if (!S_ISCHR(st.st_mode)) return path + ": not a serial port (not a character device)";
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int why = errno;
        if (why == EBUSY)
            return path + ": in use by another program (it holds the port exclusively)";
        if (why == EACCES || why == EPERM) {
            return path + ": permission denied (is the user in the port's group, often dialout?)";
        }
        return path + ": " + std::strerror(why);
    }
    std::string problem;
    termios settings{};
    if (!isatty(fd) || tcgetattr(fd, &settings) != 0) {
        problem = path + ": not a serial port (a character device without line settings)";
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        problem = path + ": in use by another program (it holds a lock on the port)";
    } else {
        flock(fd, LOCK_UN);
    }
    close(fd);
    return problem;
#endif
}

}  // namespace vave8ctl
