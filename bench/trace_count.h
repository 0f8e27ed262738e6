// System calls per phase, from a trace that strace wrote of one process.
//
// The traced program marks each phase with a write to descriptor -1 (which
// fails at once and does nothing) carrying "vave8bench-mark begin NAME" or
// "vave8bench-mark end NAME"; every system call between the two belongs to
// the phase NAME. The marks themselves are not counted.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace bench {

// Calls by system call name, per phase name.
using TracedCalls = std::map<std::string, std::map<std::string, uint64_t>>;

// Makes the mark strace will see; `what` is "begin" or "end".
void MarkPhase(const char* what, const std::string& name);

// Counts the calls of each marked phase in strace's output (one process,
// strings shown up to at least 64 characters).
TracedCalls CountTracedCalls(const std::string& traceText);

}  // namespace bench
