#include "bench/trace_count.h"

#include <unistd.h>

#include <sstream>

namespace bench {

namespace {

const char kMark[] = "vave8bench-mark ";

// The system call a trace line shows, or "" for a line that shows none: a
// signal ("--- SIGCHLD ..."), an exit ("+++ exited ..."), the second half
// of a call that another line began ("<... read resumed>").
std::string CallName(const std::string& line) {
    if (line.empty() || line[0] == '-' || line[0] == '+' || line[0] == '<') return "";
    const size_t open = line.find('(');
    if (open == std::string::npos || open == 0) return "";
    for (size_t i = 0; i < open; ++i) {
        const char c = line[i];
        const bool word = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!word) return "";
    }
    return line.substr(0, open);
}

}  // namespace

void MarkPhase(const char* what, const std::string& name) {
    const std::string text = std::string(kMark) + what + " " + name;
    // Fails with EBADF and touches nothing; strace shows the text.
    const ssize_t ignored = write(-1, text.data(), text.size());
    (void)ignored;
}

TracedCalls CountTracedCalls(const std::string& traceText) {
    TracedCalls counts;
    std::istringstream in(traceText);
    std::string line;
    std::string phase;
    const std::string begin = std::string(kMark) + "begin ";
    const std::string end = std::string(kMark) + "end ";
    while (std::getline(in, line)) {
        const size_t at = line.find(kMark);
        if (at != std::string::npos && line.rfind("write(-1, ", 0) == 0) {
            if (line.compare(at, begin.size(), begin) == 0) {
                const size_t from = at + begin.size();
                phase = line.substr(from, line.find('"', from) - from);
                counts[phase];  // a phase without calls still shows
            } else if (line.compare(at, end.size(), end) == 0) {
                phase.clear();
            }
            continue;
        }
        if (phase.empty()) continue;
        const std::string name = CallName(line);
        if (!name.empty()) ++counts[phase][name];
    }
    return counts;
}

}  // namespace bench
