// The yardstick: libmodbus doing the same job over the same kind of line.
//
// A libmodbus RTU server answers on the master side of a fresh
// pseudo-terminal, in a child process; the benchmark's libmodbus RTU client
// opens the slave side by path, as the driver opens the simulated PLC's, and
// reads 125 holding registers (250 bytes) per request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace bench {

constexpr int kYardstickRegisters = 125;

class Yardstick {
public:
    Yardstick();
    ~Yardstick();
    Yardstick(const Yardstick&) = delete;
    Yardstick& operator=(const Yardstick&) = delete;

    // Whether the benchmark was built with libmodbus.
    static bool Available();
    static std::string Version();

    bool Start(std::string* error);
    // One read of the 125 registers; true when all arrived.
    bool Read();
    // Whether the registers of the last read hold what the server serves.
    bool LastReadMatches() const;
    void Stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Register i as the server serves it.
uint16_t YardstickRegister(int i);

}  // namespace bench
