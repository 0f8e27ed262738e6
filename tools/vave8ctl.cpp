// vave8ctl: the commissioning engineer's host for the VAVE8 driver. It loads
// the driver module as the supervisory host does and reaches it only through
// NuvMain.
#include <cstdio>
#include <string>

#include "tools/commands.h"
#include "tools/options.h"

#if defined(_WIN32)
#include <windows.h>
#endif

int main(int argc, char** argv) {
    using namespace vave8ctl;
#if defined(_WIN32)
    // The banner's box characters are printed as UTF-8.
    SetConsoleOutputCP(CP_UTF8);
#endif
    Options options;
    std::string error;
    if (!ParseCommandLine(argc, argv, &options, &error)) {
        std::fprintf(stderr, "vave8ctl: %s\nTry 'vave8ctl --help'.\n", error.c_str());
        return EXIT_USAGE;
    }
    if (options.help) {
        std::fputs(HelpText(), stdout);
        return EXIT_OK;
    }
    const std::string& command = options.command;
    if (command == "info") return RunInfo(options);
    if (command == "parse") return RunParse(options);
    if (command == "open") return RunOpen(options);
    if (command == "read") return RunRead(options);
    if (command == "write") return RunWrite(options);
    if (command == "poll") return RunPoll(options);
    return RunDemo(options);
}
