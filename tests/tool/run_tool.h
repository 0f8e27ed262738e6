// Runs the built vave8ctl as a child process, as an engineer would, and
// collects its exit code, standard output and standard error. Every run is
// bounded: a child still running at its deadline is killed and reported.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tooltest {

struct ToolRun {
    int exitCode = -1;  // -1: killed by a signal or by the deadline
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Called with the standard output and error so far each time more of either
// arrives, and the child's pid (to send it a signal, as Ctrl-C does).
using OutputHook = std::function<void(const std::string& out, const std::string& err, pid_t child)>;

inline ToolRun RunTool(const std::vector<std::string>& args, int deadlineMs = 30000,
                       const OutputHook& hook = nullptr) {
    ToolRun run;
    int outPipe[2];
    int errPipe[2];
    // Close-on-exec: a child started meanwhile from another thread must not
    // hold these pipes open, or this run would wait for that child's end.
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return run;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(VAVE8CTL_PATH));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VAVE8CTL_PATH, argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0) continue;
        for (pollfd& fd : fds) {
            if (fd.fd < 0 || (fd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fd.fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fd.fd);
                fd.fd = -1;
                --open;
                continue;
            }
            (fd.fd == outPipe[0] ? run.out : run.err).append(buffer, static_cast<size_t>(n));
        }
        if (hook) hook(run.out, run.err, pid);
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!run.timedOut && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    return run;
}

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace tooltest
