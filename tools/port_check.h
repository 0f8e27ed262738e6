// Why a serial port would not open, in the operating system's words. The
// driver only says that its open failed; the host programs look at the
// device themselves to add the reason.
#pragma once

#include <string>

namespace vave8ctl {

// The device behind a port name as the driver resolves it: relative to /dev
// on Linux; NUL, the null device, as it is.
std::string PortPath(const std::string& port);

// One line on what stands in the way of opening `port` as a serial port (no
// such device, in use by another program, not a serial port, no
// permission), or "" when nothing shows. Opens the device briefly, without
// waiting, and only when asked: call it after the driver's open failed.
std::string PortProblem(const std::string& port);

}  // namespace vave8ctl
