// The other ends of the line, in child processes of their own, so that the
// benchmark's CPU figures hold the host side alone.
//
// Every child dies with the benchmark (parent-death signal), and is stopped
// with SIGTERM (SIGKILL after two seconds) when its part is done.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace bench {

class Child {
public:
    Child() = default;
    ~Child() { Stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Runs the simulated PLC program with these arguments and reads the
    // pseudo-terminal path it prints as its first line.
    bool StartSimulator(const std::string& program, const std::vector<std::string>& arguments,
                        std::string* ptyPath, std::string* error);

    // Forks and runs `body` in the child, which then exits with its result.
    bool Fork(const std::function<int()>& body, std::string* error);

    // Runs a program with these arguments, its output going to /dev/null.
    bool Exec(const std::string& program, const std::vector<std::string>& arguments,
              std::string* error);

    // Waits for the child to end by itself: its exit status, or -1 when it
    // was killed or had to be stopped after `seconds`.
    int Wait(double seconds);

    void Stop();
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// A TCP port on loopback that nothing listens on just now.
int FreeLoopbackPort();
// Waits up to `seconds` for something to accept connections on the
// loopback port (a server child starting up).
bool WaitListening(int port, double seconds);

// The simulated PLC's --control socket: one line out, "ok" back.
class SimControl {
public:
    SimControl() = default;
    ~SimControl();
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;

    // Connects, trying for up to five seconds while the simulator starts.
    bool Open(const std::string& path);
    bool Send(const std::string& line);

private:
    int fd_ = -1;
};

}  // namespace bench
