// A careless host: records that end where its memory ends, port names and
// address texts that fill their fields without a terminator, counts at and
// past every limit, and calls after EndNuv. Records are placed flush against
// a page the process may not touch, so reading or writing one byte past them
// ends the test at once.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "driver/operations.h"
#include "link/transaction.h"
#include "tests/support/memline.h"

namespace {

using Lines = std::vector<std::string>;
using memline::LogLine;

// One page of storage followed by a page with no access at all.
class GuardedPage {
public:
    GuardedPage() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        base_ = static_cast<uint8_t*>(p);
        if (mprotect(base_ + page_, page_, PROT_NONE) != 0) {
            munmap(base_, 2 * page_);
            base_ = nullptr;
        }
    }
    ~GuardedPage() {
        if (base_ != nullptr) munmap(base_, 2 * page_);
    }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;

    bool ok() const { return base_ != nullptr; }
    // `n` bytes whose last one is the last byte before the guard, filled
    // with `fill`.
    uint8_t* End(size_t n, uint8_t fill = 0) {
        uint8_t* p = base_ + page_ - n;
        std::memset(p, fill, n);
        return p;
    }
    template <typename T>
    T* End() {
        return reinterpret_cast<T*>(End(sizeof(T)));
    }

private:
    size_t page_ = 0;
    uint8_t* base_ = nullptr;
};

class HostileHost : public ::testing::Test {
protected:
    void SetUp() override {
        memline::Reset();
        plc.Serve();
        ASSERT_TRUE(instPage.ok() && argPage.ok() && valuePage.ok() && textPage.ok());
        inst = instPage.End<DriverInstance>();
        std::memset(inst, 0x77, sizeof *inst);  // storage as the host hands it over
    }
    void TearDown() override { ClearEndedFlagForTesting(); }

    int32_t Call(uint32_t function, void* args) {
        NuvCall call{};
        call.instance = inst;
        call.function = function;
        call.args = args;
        return NuvMain(&call);
    }

    // A port on the in-memory line, opened by ColdStart.
    void Start(const char* port = "COM1") {
        auto* start = argPage.End<StartParams>();
        std::strcpy(start->portName, port);
        start->openFlag = 1;
        start->timeoutTicks = 10;
        start->line = LineParams{9600, 8, 0, 2};
        ASSERT_EQ(Call(FN_COLD_START, start), NUV_OK);
        log.Clear();
    }

    // A transfer record at the end of its page, its value area at the end of
    // another, exactly `areaSize` bytes.
    GateTransfer* Transfer(int32_t type, int32_t item, int32_t bit, int32_t count, size_t areaSize,
                           uint8_t fill = 0xEE) {
        auto* gate = argPage.End<GateTransfer>();
        gate->station = 1;
        gate->memoryType = type;
        gate->itemAddress = item;
        gate->bitNumber = bit;
        gate->valueWidth = 16;
        gate->count = count;
        gate->value = valuePage.End(areaSize, fill);
        return gate;
    }

    GuardedPage instPage, argPage, valuePage, textPage;
    DriverInstance* inst = nullptr;
    memline::Plc plc;
    memline::LogCapture log;
};

TEST_F(HostileHost, ARunWithEveryRecordEndingAtAGuardPage) {
    auto* info = argPage.End<NuvInfo>();
    ASSERT_EQ(Call(FN_GET_NUV_INFO, info), NUV_OK);
    EXPECT_EQ(info->instanceSize, 554);
    Start();

    // The address text ends with its terminator on the last byte.
    const char text[] = "0540100";
    auto* address = reinterpret_cast<char*>(textPage.End(sizeof text));
    std::memcpy(address, text, sizeof text);
    auto* parse = argPage.End<GateParse>();
    parse->address = address;
    parse->gateType = 1;
    parse->blockSize = 128;
    EXPECT_EQ(Call(FN_SINGLE_ADDRESS_PARSER, parse), NUV_OK);
    EXPECT_EQ(Call(FN_BLOCK_ADDRESS_PARSER, parse), NUV_OK);
    EXPECT_EQ(parse->itemAddress, 0x40);

    // Every kind of transfer on an area of exactly its size: written with a
    // pattern, read back into a fresh area.
    struct Case {
        int32_t type, bit, count;
        size_t area;
        bool block;
    };
    const Case cases[] = {
        {'2', -1, 1, 4, false},    {'2', 3, 1, 4, false},    {'4', -1, 1, 4, false},
        {'8', -1, 1, 4, false},    {'9', -1, 1, 4, false},   {'2', -1, 256, 512, true},
        {'4', -1, 128, 256, true}, {'8', -1, 64, 256, true}, {'9', -1, 64, 256, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << static_cast<char>(c.type) << " bit " << c.bit << " count " << c.count);
        GateTransfer* gate = Transfer(c.type, 0x20, c.bit, c.count, c.area);
        for (size_t i = 0; i < c.area; ++i) gate->value[i] = static_cast<uint8_t>(i * 13 + 1);
        const std::vector<uint8_t> written(gate->value, gate->value + c.area);
        EXPECT_EQ(Call(c.block ? FN_BLOCK_WRITE : FN_SINGLE_WRITE, gate), NUV_OK);

        gate = Transfer(c.type, 0x20, c.bit, c.count, c.area);
        EXPECT_EQ(Call(c.block ? FN_BLOCK_READ : FN_SINGLE_READ, gate), NUV_OK);
        if (c.type == '2') {
            // Byte slots come back with the low byte only; a bit as 0 or 1.
            for (size_t i = c.block ? 0 : 2; i < c.area; i += 2) {
                const uint8_t expected = c.bit >= 0 ? 1 : written[i];
                EXPECT_EQ(LoadSlot16(gate->value + i), expected) << i;
            }
        } else {
            for (size_t i = c.block ? 0 : (c.type == '4' ? 2 : 0); i < c.area; ++i) {
                EXPECT_EQ(gate->value[i], written[i]) << i;
            }
        }
    }

    auto* params = argPage.End<NuvParams>();
    std::strcpy(params->portName, "COM2");
    params->timeoutTicks = -1;
    EXPECT_EQ(Call(FN_CHANGE_NUV_PARAMS, params), NUV_OK);
    EXPECT_EQ(Call(FN_WARM_START, nullptr), NUV_OK);
    EXPECT_EQ(Call(FN_CLOSE_COM, nullptr), NUV_OK);
    EXPECT_EQ(Call(FN_REOPEN_COM, nullptr), NUV_OK);
    EXPECT_EQ(memline::PortName(inst->portHandle), "COM2");
    EXPECT_EQ(Call(FN_END_NUV, nullptr), NUV_OK);
}

TEST_F(HostileHost, PortNameFieldsWithoutTerminator) {
    // Every byte after the name is nonzero too, up to the guard page: a name
    // read as a string, without its field's bound, runs into the guard.
    const char full[] = "COM123456789";  // 12 characters: no room for the terminator
    const char fits[] = "COM12345678";
    for (const char* name : {full, fits}) {
        SCOPED_TRACE(name);
        const bool terminated = std::strlen(name) < kPortNameSize;
        memline::Reset();
        log.Clear();
        auto* start = reinterpret_cast<StartParams*>(argPage.End(sizeof(StartParams), 0x01));
        std::memcpy(start->portName, name, kPortNameSize);  // no terminator for `full`
        start->timeoutTicks = 10;
        start->line = LineParams{0x0909, 0x0808, 0x0101, 0x0202};
        std::memset(inst, 0x77, sizeof *inst);
        EXPECT_EQ(Call(FN_COLD_START, start), terminated ? NUV_OK : NUV_FAILED);
        EXPECT_EQ(memline::OpenCount(), terminated ? 1u : 0u);
        EXPECT_EQ(inst->portHandle == 0, !terminated);
        EXPECT_EQ(std::memcmp(inst->com.portName, name, kPortNameSize), 0);
        EXPECT_EQ(inst->com.line.baud, 0x0909) << "nothing written past the name";
        EXPECT_EQ(inst->com.lineFlags, 0x0303);
        if (!terminated) {
            ASSERT_EQ(log.Lines().size(), 3u);
            EXPECT_EQ(log.Lines()[1].level, 32);
            EXPECT_EQ(log.Lines()[1].text, "VAVE8> OpenCom() open COM port failed");
            EXPECT_EQ(log.Lines()[2].level, 32);
            EXPECT_EQ(log.Lines()[2].text, "VAVE8> ColdStart() error opening COM port");

            // The stored name is as unterminated as it came, and the
            // instance is nonzero all the way to the guard.
            std::memset(inst->request, 0x55, sizeof inst->request);
            std::memset(inst->reply, 0x55, sizeof inst->reply);
            log.Clear();
            EXPECT_EQ(Call(FN_REOPEN_COM, nullptr), NUV_FAILED);
            EXPECT_EQ(log.Texts(), (Lines{"VAVE8> OpenCom() open COM port failed",
                                          "VAVE8> ReOpenCom() exited 2"}));
            EXPECT_EQ(memline::OpenCount(), 0u);
        }
    }

    // The same for a new name handed in while a port is open.
    for (const char* name : {full, fits}) {
        SCOPED_TRACE(name);
        const bool terminated = std::strlen(name) < kPortNameSize;
        memline::Reset();
        Start();
        auto* params = reinterpret_cast<NuvParams*>(argPage.End(sizeof(NuvParams), 0x01));
        std::memcpy(params->portName, name, kPortNameSize);
        params->line = LineParams{0x0909, 0x0808, 0x0101, 0x0202};
        EXPECT_EQ(Call(FN_CHANGE_NUV_PARAMS, params), terminated ? NUV_OK : NUV_FAILED);
        EXPECT_EQ(memline::OpenCount(), terminated ? 1u : 0u);
        EXPECT_EQ(inst->com.line.baud, 0x0909);
        if (!terminated) {
            EXPECT_EQ(log.Texts(),
                      (Lines{"VAVE8> CloseCom() exited 0", "VAVE8> OpenCom() open COM port failed",
                             "VAVE8> ChangeNuvParams() open new COM port failed"}));
        }
    }
}

TEST_F(HostileHost, AddressTextsFillingTheirField) {
    // Texts of 11 and 12 characters with no terminator, ending at the guard
    // page: the parser examines at most 11 and reads nothing further, also
    // when it repeats the text in a refusal.
    struct Case {
        const char* text;
        int32_t result;
        const char* line;
    };
    const Case cases[] = {
        {"0540100 abc", NUV_OK, nullptr},
        {"0540100 abcd", NUV_OK, nullptr},
        {"0540102 abcd", NUV_REJECTED, "VAVE8> Parse() Nibble address should be 4 nibble boundary"},
        {"054FFFF abcd", NUV_REJECTED, "VAVE8> Parse() Illegal nibble address"},
        {"05Z0100 abc", NUV_REJECTED, "VAVE8> Parse() Illegal character 2 in '05Z0100 abc'"},
        {"05Z0100 abcd", NUV_REJECTED, "VAVE8> Parse() Illegal character 2 in '05Z0100 abc'"},
        {"0540100Xabcd", NUV_REJECTED, "VAVE8> Parse() Illegal character 7 in '0540100Xabc'"},
    };
    for (const Case& c : cases) {
        for (uint32_t function : {FN_SINGLE_ADDRESS_PARSER, FN_BLOCK_ADDRESS_PARSER}) {
            SCOPED_TRACE(testing::Message() << c.text << " parser " << function);
            const size_t length = std::strlen(c.text);
            auto* text = reinterpret_cast<char*>(textPage.End(length));
            std::memcpy(text, c.text, length);
            auto* parse = argPage.End<GateParse>();
            parse->address = text;
            parse->gateType = 1;
            parse->blockSize = 1;
            log.Clear();
            EXPECT_EQ(Call(function, parse), c.result);
            if (c.line == nullptr) {
                EXPECT_TRUE(log.Lines().empty());
                EXPECT_EQ(parse->station, 5);
                EXPECT_EQ(parse->itemAddress, 0x40);
            } else {
                EXPECT_EQ(log.Texts(), Lines{c.line});
            }
        }
    }
}

TEST_F(HostileHost, CountsAtAndBeyondEveryLimit) {
    // Through the entry point with a port open, on a value area sized for
    // the limit. Refused before any traffic: a count above the memory type's
    // limit, and a negative count for a write. A read of fewer than one item
    // asks and stores nothing. An unknown memory type is asked for with
    // scale 1; its data cannot be decoded (1), and a write of it sends no
    // data bytes.
    struct Type {
        int32_t type, limit;
        size_t slot;
    };
    const Type types[] = {{'2', 256, 2}, {'4', 128, 2}, {'8', 64, 4}, {'9', 64, 4}, {'X', -1, 4}};
    for (const Type& t : types) {
        const bool known = t.limit > 0;
        const int32_t limit = known ? t.limit : 64;
        for (int32_t count : {-1, 0, limit, limit + 1, INT32_MIN, INT32_MAX}) {
            for (bool write : {false, true}) {
                SCOPED_TRACE(testing::Message() << static_cast<char>(t.type) << " count " << count
                                                << (write ? " write" : " read"));
                memline::Reset();
                plc.Serve();
                for (size_t i = 0; i < 1024; ++i) plc.memory[i] = static_cast<uint8_t>(i * 3 + 1);
                Start();
                const size_t area = static_cast<size_t>(limit) * t.slot;
                GateTransfer* gate = Transfer(t.type, 0x10, -1, count, area, 0xEE);
                const bool refused = (known && count > t.limit) || (write && count < 0);
                const int32_t result = Call(write ? FN_BLOCK_WRITE : FN_BLOCK_READ, gate);

                if (refused) {
                    EXPECT_EQ(result, NUV_REJECTED);
                    EXPECT_TRUE(memline::Requests().empty());
                    EXPECT_EQ(log.Texts(), Lines{write ? "VAVE8> BlockWrite(), blocksize too big"
                                                       : "VAVE8> BlockRead(), blocksize too big"});
                } else {
                    EXPECT_EQ(result, !known && !write ? NUV_REJECTED : NUV_OK);
                    ASSERT_EQ(memline::Requests().size(), 1u);
                    const size_t itemBytes = static_cast<size_t>(ItemBytes(t.type));
                    const size_t data =
                        write && count > 0 ? static_cast<size_t>(count) * itemBytes : 0;
                    EXPECT_EQ(memline::Requests()[0].block.size(), 6 + data);
                }
                // Only a read of 1 .. limit items stores anything: the first
                // slot then holds the first item, most significant byte first
                // on the line.
                const bool stores = !write && known && count > 0 && !refused;
                const uint8_t* first = plc.memory.data() + 0x10 * ItemBytes(t.type);
                uint32_t expected = t.slot == 2 ? 0xEEEEu : 0xEEEEEEEEu;
                if (stores) {
                    expected = 0;
                    for (int i = 0; i < ItemBytes(t.type); ++i) expected = expected << 8 | first[i];
                }
                EXPECT_EQ(t.slot == 2 ? LoadSlot16(gate->value) : LoadSlot32(gate->value),
                          expected);
                if (!stores) {
                    for (size_t i = 0; i < area; ++i) ASSERT_EQ(gate->value[i], 0xEE) << i;
                }
            }
        }
    }
}

TEST_F(HostileHost, NothingMovesAfterEndNuv) {
    Start();
    ASSERT_EQ(Call(FN_END_NUV, nullptr), NUV_OK);
    ASSERT_EQ(memline::OpenCount(), 0u);
    memline::Reset();
    log.Clear();
    std::vector<uint8_t> before(reinterpret_cast<uint8_t*>(inst),
                                reinterpret_cast<uint8_t*>(inst) + sizeof *inst);

    auto* start = argPage.End<StartParams>();
    std::strcpy(start->portName, "COM3");
    start->openFlag = 1;
    EXPECT_EQ(Call(FN_COLD_START, start), NUV_OK);
    for (uint32_t function : {FN_SINGLE_READ, FN_BLOCK_READ, FN_SINGLE_WRITE, FN_BLOCK_WRITE}) {
        GateTransfer* gate = Transfer('4', 0x10, -1, 2, 4, 0xEE);
        EXPECT_EQ(Call(function, gate), NUV_OK);
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(gate->value[i], 0xEE);
    }
    auto* params = argPage.End<NuvParams>();
    std::strcpy(params->portName, "COM4");
    EXPECT_EQ(Call(FN_CHANGE_NUV_PARAMS, params), NUV_OK);
    for (uint32_t function : {FN_WARM_START, FN_REOPEN_COM, FN_CLOSE_COM, FN_END_NUV}) {
        EXPECT_EQ(Call(function, nullptr), NUV_OK);
    }

    EXPECT_EQ(memline::OpenCount(), 0u);
    EXPECT_EQ(memline::WriteCalls() + memline::ReadCalls() + memline::FlushCalls(), 0u);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(std::memcmp(before.data(), inst, sizeof *inst), 0);
}

}  // namespace
