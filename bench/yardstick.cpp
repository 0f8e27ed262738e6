#include "bench/yardstick.h"

#include "bench/children.h"

#if defined(VAVE8BENCH_HAVE_LIBMODBUS)
#include <errno.h>
#include <modbus.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#endif

namespace bench {

uint16_t YardstickRegister(int i) {
    return static_cast<uint16_t>(0x1000 + i * 0x0101);
}

#if defined(VAVE8BENCH_HAVE_LIBMODBUS)

namespace {

constexpr int kServerAddress = 1;
// Rate and character format as the driver's line; a pseudo-terminal runs
// at its own speed whatever is asked.
constexpr int kBaud = 115200;
constexpr char kParity = 'E';

// The server's loop, in the child: answers every request on the master
// side until the line fails or it is told to stop.
int Serve(int master, const std::string& slavePath) {
    modbus_t* ctx = modbus_new_rtu(slavePath.c_str(), kBaud, kParity, 8, 1);
    if (ctx == nullptr) return 1;
    modbus_set_slave(ctx, kServerAddress);
    // The master side has no path of its own to open: hand it over.
    modbus_set_socket(ctx, master);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, kYardstickRegisters, 0);
    if (map == nullptr) return 1;
    for (int i = 0; i < kYardstickRegisters; ++i) map->tab_registers[i] = YardstickRegister(i);

    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const int length = modbus_receive(ctx, query);
        if (length > 0) {
            modbus_reply(ctx, query, length, map);
        } else if (length < 0 && (errno == EBADF || errno == EIO)) {
            break;
        }
    }
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}

}  // namespace

struct Yardstick::State {
    Child server;
    modbus_t* client = nullptr;
    uint16_t registers[kYardstickRegisters] = {};
};

Yardstick::Yardstick() : state_(new State) {}

Yardstick::~Yardstick() {
    Stop();
}

bool Yardstick::Available() {
    return true;
}

std::string Yardstick::Version() {
    return LIBMODBUS_VERSION_STRING;
}

bool Yardstick::Start(std::string* error) {
    Stop();
    int master = -1;
    int slave = -1;
    char name[128] = "";
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        *error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const std::string path = name;

    // The child keeps its copy of the slave side open, so the master never
    // reads as hung up while the client is not connected.
    const bool forked = state_->server.Fork([&] { return Serve(master, path); }, error);
    close(master);
    close(slave);
    if (!forked) return false;

    state_->client = modbus_new_rtu(path.c_str(), kBaud, kParity, 8, 1);
    if (state_->client == nullptr) {
        *error = std::string("modbus_new_rtu: ") + modbus_strerror(errno);
        Stop();
        return false;
    }
    modbus_set_slave(state_->client, kServerAddress);
    modbus_set_response_timeout(state_->client, 1, 0);
    if (modbus_connect(state_->client) != 0) {
        *error = "modbus_connect " + path + ": " + modbus_strerror(errno);
        Stop();
        return false;
    }
    return true;
}

bool Yardstick::Read() {
    return modbus_read_registers(state_->client, 0, kYardstickRegisters, state_->registers) ==
           kYardstickRegisters;
}

bool Yardstick::LastReadMatches() const {
    for (int i = 0; i < kYardstickRegisters; ++i) {
        if (state_->registers[i] != YardstickRegister(i)) return false;
    }
    return true;
}

void Yardstick::Stop() {
    if (state_->client != nullptr) {
        modbus_close(state_->client);
        modbus_free(state_->client);
        state_->client = nullptr;
    }
    state_->server.Stop();
}

#else  // built without libmodbus: the yardstick is left out

struct Yardstick::State {};

Yardstick::Yardstick() : state_(new State) {}
Yardstick::~Yardstick() = default;

bool Yardstick::Available() {
    return false;
}

std::string Yardstick::Version() {
    return "";
}

bool Yardstick::Start(std::string* error) {
    *error = "built without libmodbus";
    return false;
}

bool Yardstick::Read() {
    return false;
}

bool Yardstick::LastReadMatches() const {
    return false;
}

void Yardstick::Stop() {}

#endif

}  // namespace bench
