// The mapping from line parameters and the line-control flags word to termios.
#include "port/posix/line_settings.h"

#include <gtest/gtest.h>

#include "port/port.h"

namespace {

// A tty as some earlier program may leave it: cooked, echoing, flow-controlled,
// marking parity errors.
LineSetup Map(const LineParams& line, uint16_t flags = 0x0303, tcflag_t control = 0) {
    termios tio{};
    tio.c_iflag = ICRNL | IXON | IXOFF | IUTF8 | INPCK | PARMRK | IGNPAR;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_lflag = ICANON | ISIG | IEXTEN | ECHO;
    tio.c_cflag = CS7 | PARENB | CREAD | control;
    cfsetspeed(&tio, B38400);
    LineSetup setup{};
    EXPECT_TRUE(MapLineSettings(tio, line, flags, &setup));
    return setup;
}

TEST(PortLineSettingsTest, CharacterFormat) {
    const struct {
        LineParams line;
        tcflag_t format;
    } cases[] = {
        {{9600, 8, 0, 0}, CS8},
        {{9600, 8, 0, 1}, CS8 | PARENB | PARODD},
        {{9600, 8, 0, 2}, CS8 | PARENB},
        {{9600, 8, 0, 3}, CS8 | PARENB | CMSPAR | PARODD},  // mark
        {{9600, 8, 0, 4}, CS8 | PARENB | CMSPAR},           // space
        {{9600, 0x0108, 0x0200, 0x0300}, CS8},              // only the low bytes count
        {{9600, 5, 1, 0}, CS5 | CSTOPB},                    // one and a half stop bits: two
        {{9600, 6, 2, 0}, CS6 | CSTOPB},
        {{9600, 7, 0, 2}, CS7 | PARENB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.line.dataBits << "/" << c.line.stopBits << "/" << c.line.parity);
        EXPECT_EQ(Map(c.line).tio.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CMSPAR), c.format);
    }
}

TEST(PortLineSettingsTest, RawLineAndRates) {
    const LineSetup setup = Map({19200, 8, 0, 2});
    EXPECT_EQ(setup.tio.c_iflag & (ICRNL | IXON | IXOFF | INPCK | PARMRK | IGNPAR), 0u);
    EXPECT_EQ(setup.tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(setup.tio.c_lflag & (ICANON | ISIG | IEXTEN | ECHO), 0u);
    EXPECT_EQ(setup.tio.c_cflag & (CLOCAL | CREAD | HUPCL), CLOCAL | CREAD | HUPCL);
    EXPECT_EQ(cfgetispeed(&setup.tio), B19200);
    EXPECT_EQ(setup.customBaud, 0u);

    for (const uint16_t baud : {uint16_t{1}, uint16_t{12345}, uint16_t{65535}}) {
        const LineSetup custom = Map({baud, 8, 0, 2});
        EXPECT_EQ(custom.customBaud, baud);
        EXPECT_EQ(cfgetospeed(&custom.tio), B38400);  // as read, until the rate goes in
    }
}

TEST(PortLineSettingsTest, FlagsWordGroupsFirstRowWins) {
    const struct {
        uint16_t flags;
        DtrMode dtr;
        RtsMode rts;
        OutFlow outFlow;
    } cases[] = {
        {0x0004, DtrMode::kAsIs, RtsMode::kAsIs, OutFlow::kAsIs},
        {0x8100, DtrMode::kOn, RtsMode::kAsIs, OutFlow::kAsIs},
        {0x8000, DtrMode::kHandshake, RtsMode::kAsIs, OutFlow::kAsIs},
        {0x1200, DtrMode::kAsIs, RtsMode::kOn, OutFlow::kAsIs},
        {0x3000, DtrMode::kAsIs, RtsMode::kHandshake, OutFlow::kAsIs},
        {0x2000, DtrMode::kAsIs, RtsMode::kToggle, OutFlow::kAsIs},
        {0x4030, DtrMode::kAsIs, RtsMode::kAsIs, OutFlow::kCts},
        {0x4020, DtrMode::kAsIs, RtsMode::kAsIs, OutFlow::kDsr},
        {0x4000, DtrMode::kAsIs, RtsMode::kAsIs, OutFlow::kDsrSensitivity},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        const LineControl control = DecodeLineFlags(c.flags);
        EXPECT_EQ(control.dtr, c.dtr);
        EXPECT_EQ(control.rts, c.rts);
        EXPECT_EQ(control.outFlow, c.outFlow);
    }
}

// CRTSCTS is shared by the RTS group and CTS output flow: RTS on and RTS
// toggle clear it, RTS handshake and CTS output flow set it (CTS winning over
// RTS on), and a word naming neither leaves it as it was.
TEST(PortLineSettingsTest, RtsCtsFlowControl) {
    const struct {
        bool before;
        uint16_t flags;
        bool after;
    } cases[] = {
        {true, 0x0303, false}, {true, 0x2000, false}, {false, 0x1000, true},  {false, 0x0010, true},
        {false, 0x0212, true}, {true, 0x0004, true},  {false, 0x0024, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        const LineSetup setup = Map({9600, 8, 0, 2}, c.flags, c.before ? CRTSCTS : 0);
        EXPECT_EQ((setup.tio.c_cflag & CRTSCTS) != 0, c.after);
    }
}

TEST(PortLineSettingsTest, HeldJudgesFormatExceptOnPseudoTerminals) {
    const termios wanted = Map({9600, 7, 2, 1}).tio;
    termios noParity = wanted;
    noParity.c_cflag = (noParity.c_cflag & ~(CSIZE | PARENB | PARODD)) | CS8;
    termios slower = wanted;
    cfsetospeed(&slower, B4800);
    termios cooked = wanted;
    cooked.c_lflag |= ICANON;

    EXPECT_TRUE(LineSettingsHeld(wanted, wanted, false));
    EXPECT_FALSE(LineSettingsHeld(wanted, noParity, false));
    EXPECT_TRUE(LineSettingsHeld(wanted, noParity, true));
    EXPECT_FALSE(LineSettingsHeld(wanted, slower, true));
    EXPECT_FALSE(LineSettingsHeld(wanted, cooked, true));
}

}  // namespace
