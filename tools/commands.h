// The commands of vave8ctl. Each returns the process exit code.
#pragma once

#include "tools/options.h"

namespace vave8ctl {

int RunInfo(const Options& options);
int RunParse(const Options& options);
int RunOpen(const Options& options);
int RunRead(const Options& options);
int RunWrite(const Options& options);
int RunPoll(const Options& options);
int RunDemo(const Options& options);

}  // namespace vave8ctl
