// vave8ctl: the commissioning engineer's host for the VAVE8 driver. It loads
// the driver module as the supervisory host does and reaches it only through
// NuvMain.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/monitor.h"
#include "tools/options.h"
#if defined(VAVE8CTL_HAVE_TAGS)
#include "tools/tags.h"
#endif

#if defined(_WIN32)
#include <windows.h>
#endif

int main(int argc, char** argv) {
    using namespace vave8ctl;
#if defined(_WIN32)
    // The banner's box characters are printed as UTF-8.
    SetConsoleOutputCP(CP_UTF8);
#endif
    // The monitor and the tag files take no part in driving a line and have
    // options of their own: they get every word but the command.
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') continue;
        const std::string command = argv[i];
        std::vector<std::string> rest(argv + 1, argv + argc);
        rest.erase(rest.begin() + (i - 1));
        if (command == "monitor") return RunMonitor(rest);
#if defined(VAVE8CTL_HAVE_TAGS)
        if (command == "tags") return RunTags(rest);
#endif
        break;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("vave8ctl %s\n", VAVE8_VERSION);
        return EXIT_OK;
    }
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
