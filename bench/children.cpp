#include "bench/children.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bench/measure.h"

namespace bench {

namespace {

constexpr int kFirstLineTimeoutMs = 5000;
constexpr double kStopGraceSeconds = 2.0;

// In a fresh child: die with the parent, even if it went before we got here.
void TieToParent(pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
}

// The first line the child writes to `fd`, without its line end.
bool ReadFirstLine(int fd, std::string* line, std::string* error) {
    line->clear();
    const double deadline = NowSeconds() + kFirstLineTimeoutMs / 1000.0;
    for (;;) {
        const double left = deadline - NowSeconds();
        if (left <= 0) {
            *error = "no pseudo-terminal path from the simulator within 5 s";
            return false;
        }
        pollfd waiter{fd, POLLIN, 0};
        const int ready = poll(&waiter, 1, static_cast<int>(left * 1000) + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char c = 0;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "the simulator ended before it printed its pseudo-terminal path";
            return false;
        }
        if (c == '\n') return !line->empty();
        *line += c;
    }
}

}  // namespace

namespace {

// execv's argument vector: the program, its arguments, a null pointer.
std::vector<char*> ArgumentVector(const std::string& program,
                                  const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

bool Child::StartSimulator(const std::string& program, const std::vector<std::string>& arguments,
                           std::string* ptyPath, std::string* error) {
    Stop();
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    // Built before the fork: the child only execs.
    std::vector<char*> argv = ArgumentVector(program, arguments);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        close(out[0]);
        close(out[1]);
        return false;
    }
    if (pid == 0) {
        TieToParent(parent);
        dup2(out[1], STDOUT_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    pid_ = pid;
    close(out[1]);
    const bool ok = ReadFirstLine(out[0], ptyPath, error);
    close(out[0]);
    if (!ok) {
        *error += " (" + program + ")";
        Stop();
    }
    return ok;
}

bool Child::Fork(const std::function<int()>& body, std::string* error) {
    Stop();
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        TieToParent(parent);
        _exit(body());
    }
    pid_ = pid;
    return true;
}

bool Child::Exec(const std::string& program, const std::vector<std::string>& arguments,
                 std::string* error) {
    Stop();
    std::vector<char*> argv = ArgumentVector(program, arguments);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        TieToParent(parent);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDOUT_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    pid_ = pid;
    return true;
}

int Child::Wait(double seconds) {
    if (pid_ <= 0) return -1;
    const double deadline = NowSeconds() + seconds;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;
            return -1;
        }
        if (NowSeconds() > deadline) {
            Stop();
            return -1;
        }
        usleep(5000);
    }
}

void Child::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const double deadline = NowSeconds() + kStopGraceSeconds;
    bool gone = false;
    while (!gone) {
        const pid_t r = waitpid(pid_, nullptr, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) {
            gone = true;
        } else if (NowSeconds() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            gone = true;
        } else {
            usleep(2000);
        }
    }
    pid_ = -1;
}

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

bool WaitListening(int port, double seconds) {
    const double end = NowSeconds() + seconds;
    for (;;) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (up) return true;
        if (NowSeconds() > end) return false;
        usleep(25000);
    }
}

SimControl::~SimControl() {
    if (fd_ >= 0) close(fd_);
}

bool SimControl::Open(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    for (int i = 0; i < 200; ++i) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
        close(fd_);
        fd_ = -1;
        usleep(25000);
    }
    return false;
}

bool SimControl::Send(const std::string& line) {
    const std::string out = line + "\n";
    if (write(fd_, out.data(), out.size()) != static_cast<ssize_t>(out.size())) return false;
    std::string reply;
    char c = 0;
    while (read(fd_, &c, 1) == 1 && c != '\n') reply += c;
    return reply == "ok";
}

}  // namespace bench
