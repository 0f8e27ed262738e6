// vave8ctl monitor: watches a line that another host drives, without taking
// part in it. It takes its own options (the words after "monitor").
#pragma once

#include <string>
#include <vector>

namespace vave8ctl {

int RunMonitor(const std::vector<std::string>& args);

const char* MonitorHelpText();

}  // namespace vave8ctl
