// vave8ctl tags: checks a line server's configuration and tag file, and
// prints the read plan the server would scan. It takes its own options (the
// words after "tags").
#pragma once

#include <string>
#include <vector>

namespace vave8ctl {

int RunTags(const std::vector<std::string>& args);

const char* TagsHelpText();

}  // namespace vave8ctl
