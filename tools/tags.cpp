#include "tools/tags.h"

#include <cstdio>
#include <map>
#include <set>

#include "tags/address.h"
#include "tags/config.h"
#include "tags/plan.h"
#include "tools/format.h"
#include "tools/options.h"

namespace vave8ctl {

namespace {

struct TagsOptions {
    std::string action;  // check, plan
    std::string config;
    ConnectionOptions line;  // what the command line sets on top of the file
    std::vector<std::string> given;
    std::optional<double> turnaroundMs;
    std::optional<double> baud;  // for the cost alone: any rate, not only what the driver's field holds
    bool json = false;
    bool help = false;
};

bool Usage(std::string* error, std::string text) {
    *error = std::move(text);
    return false;
}

bool Parse(const std::vector<std::string>& args, TagsOptions* o, std::string* error) {
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name == "-h" || name == "--help") {
            o->help = true;
            continue;
        }
        if (name.size() < 2 || name.rfind("--", 0) != 0) {
            words.push_back(name);
            continue;
        }
        std::string value;
        bool hasValue = false;
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        if (name == "--json") {
            if (hasValue) return Usage(error, "--json takes no value");
            o->json = true;
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) return Usage(error, name + " needs a value");
            value = args[++i];
        }
        if (name == "--turnaround-ms") {
            double ms = 0;
            if (!ParseDecimal(value, &ms) || ms < 0 || ms > 60000) {
                return Usage(error, "--turnaround-ms: '" + value + "' is not a number in 0..60000");
            }
            o->turnaroundMs = ms;
            continue;
        }
        if (name == "--baud") {
            int64_t baud = 0;
            if (!ParseInteger(value, 1, 4000000, &baud)) {
                return Usage(error, "--baud: '" + value + "' is not a number in 1..4000000");
            }
            o->baud = static_cast<double>(baud);
            continue;
        }
        const std::string option = name.substr(2);
        const ConnectionOptionSpec* entry = FindConnectionOption(option);
        if (entry == nullptr || !entry->takesValue ||
            (option != "module" && option != "data-bits" && option != "parity" &&
             option != "stop-bits")) {
            return Usage(error, "tags: unknown option '" + name + "'");
        }
        if (!entry->apply(&o->line, value, error)) return false;
        o->given.push_back(option);
    }
    if (o->help) return true;
    if (words.size() != 2 || (words[0] != "check" && words[0] != "plan")) {
        return Usage(error, "tags needs check CONFIG or plan CONFIG");
    }
    if (o->json && words[0] != "plan") return Usage(error, "--json is for tags plan");
    o->action = words[0];
    o->config = words[1];
    return true;
}

bool Given(const std::vector<std::string>& given, const char* option) {
    for (const std::string& g : given) {
        if (g == option) return true;
    }
    return false;
}

void PrintSummary(const tags::Config& config) {
    const tags::LineConfig& line = config.line;
    std::map<std::string, size_t> byType;
    std::map<uint32_t, size_t> byPeriod;
    std::set<int> stations;
    size_t writable = 0;
    for (const tags::Tag& tag : config.tags) {
        ++byType[tags::TypeName(tag.type)];
        ++byPeriod[tag.scanMs];
        stations.insert(tag.station);
        if (tag.access == tags::Access::ReadWrite) ++writable;
    }
    std::printf("%s: line '%s'%s%s, %zu tags (%zu writable) on %zu stations\n", config.path.c_str(),
                line.name.c_str(), line.connection.port.empty() ? "" : " on ", line.connection.port.c_str(),
                config.tags.size(), writable, stations.size());
    if (!config.tagFile.empty()) std::printf("  tag file: %s\n", config.tagFile.c_str());
    std::string types;
    for (const auto& [type, n] : byType) types += (types.empty() ? "" : ", ") + std::to_string(n) + " " + type;
    if (!types.empty()) std::printf("  types: %s\n", types.c_str());
    std::string periods;
    for (const auto& [ms, n] : byPeriod) {
        periods += (periods.empty() ? "" : ", ") + std::to_string(n) + " every " + std::to_string(ms) + " ms";
    }
    if (!periods.empty()) std::printf("  scan: %s\n", periods.c_str());
    std::printf("  modbus: %s\n", config.modbus.present ? "served" : "not served (no [modbus] section)");
}

void PrintPlan(const std::vector<tags::Tag>& all, const tags::Plan& plan, const tags::CostModel& cost,
               bool json) {
    if (json) {
        std::string out = "{\"blocks\":[";
        for (size_t b = 0; b < plan.blocks.size(); ++b) {
            const tags::Block& block = plan.blocks[b];
            char head[128];
            std::snprintf(head, sizeof head, "%s{\"station\":%d,\"period_ms\":%u,\"first\":%u,\"length\":%u,\"tags\":[",
                          b ? "," : "", block.station, block.periodMs, block.first, block.length);
            out += head;
            for (size_t t = 0; t < block.tags.size(); ++t) {
                out += (t ? "," : "") + JsonString(all[block.tags[t]].name);
            }
            out += "]}";
        }
        char tail[64];
        std::snprintf(tail, sizeof tail, "], \"line_ms\": %.3f}\n", plan.lineMs);
        out += tail;
        std::fputs(out.c_str(), stdout);
        return;
    }
    double load = 0;  // the share of the line's time the periods ask for
    for (size_t b = 0; b < plan.blocks.size();) {
        const tags::Block& head = plan.blocks[b];
        size_t e = b;
        double ms = 0;
        size_t count = 0;
        while (e < plan.blocks.size() && plan.blocks[e].station == head.station &&
               plan.blocks[e].periodMs == head.periodMs) {
            ms += plan.blocks[e].lineMs;
            count += plan.blocks[e].tags.size();
            ++e;
        }
        load += ms / head.periodMs;
        std::printf("station %d, every %u ms: %zu blocks, %zu tags, %.1f ms of line time\n", head.station,
                    head.periodMs, e - b, count, ms);
        for (; b < e; ++b) {
            const tags::Block& block = plan.blocks[b];
            std::printf("  %s  bytes 0x%04X..0x%04X (%3u)  %6.1f ms ", tags::BlockAddress(block).c_str(),
                        block.first, block.first + block.length - 1, block.length, block.lineMs);
            for (size_t t = 0; t < block.tags.size(); ++t) {
                std::printf("%s%s", t ? "," : " ", all[block.tags[t]].name.c_str());
            }
            std::printf("\n");
        }
    }
    std::printf("cycle: %zu blocks for %zu tags, %.1f ms of line time at %.0f baud (%.1f bits per character, "
                "turnaround %.1f ms)\n",
                plan.blocks.size(), all.size(), plan.lineMs, cost.baud, cost.bitsPerChar, cost.turnaroundMs);
    if (!plan.blocks.empty()) {
        const tags::Plan contiguous = tags::ContiguousPlan(all, cost);
        std::printf("for comparison: contiguous bytes only %zu blocks, %.1f ms (x%.2f); one read per tag "
                    "%.1f ms (x%.2f)\n",
                    contiguous.blocks.size(), contiguous.lineMs, contiguous.lineMs / plan.lineMs,
                    tags::PerTagMs(all, cost), tags::PerTagMs(all, cost) / plan.lineMs);
        std::printf("line load: %.0f %% of the line's time at the asked periods%s\n", load * 100,
                    load > 1 ? " (the line cannot keep up: the periods will run late)" : "");
    }
}

}  // namespace

int RunTags(const std::vector<std::string>& args) {
    TagsOptions o;
    std::string error;
    if (!Parse(args, &o, &error)) {
        std::fprintf(stderr, "vave8ctl: %s\nTry 'vave8ctl tags --help'.\n", error.c_str());
        return EXIT_USAGE;
    }
    if (o.help) {
        std::fputs(TagsHelpText(), stdout);
        return EXIT_OK;
    }
    // The file may name the module; --module wins. The file is read twice
    // at most: once for its module, once with it.
    std::string module = Given(o.given, "module") ? o.line.module : "";
    if (module.empty()) {
        const tags::LoadResult first = tags::LoadConfig(o.config, [](GateParse*, std::vector<std::string>*) {
            return int32_t{NUV_OK};
        });
        if (Given(first.config.line.given, "module")) module = first.config.line.connection.module;
    }
    tags::ModuleGateParser parser;
    if (!parser.Load(module, &error)) {
        std::fprintf(stderr, "vave8ctl: cannot check addresses: %s\n", error.c_str());
        return EXIT_FAILED;
    }
    const tags::LoadResult result = tags::LoadConfig(o.config, parser.Parser());
    if (!result.Ok()) {
        for (const tags::Problem& problem : result.problems) {
            std::fprintf(stderr, "%s\n", tags::Describe(problem).c_str());
        }
        std::fprintf(stderr, "vave8ctl: %zu error%s in %s\n", result.problems.size(),
                     result.problems.size() == 1 ? "" : "s", o.config.c_str());
        return EXIT_REFUSED;
    }
    if (o.action == "check") {
        PrintSummary(result.config);
        return EXIT_OK;
    }
    LineParams line = result.config.line.connection.line;
    if (Given(o.given, "data-bits")) line.dataBits = o.line.line.dataBits;
    if (Given(o.given, "parity")) line.parity = o.line.line.parity;
    if (Given(o.given, "stop-bits")) line.stopBits = o.line.line.stopBits;
    tags::CostModel cost = tags::CostModel::For(line, o.turnaroundMs.value_or(result.config.line.turnaroundMs));
    if (o.baud) cost.baud = *o.baud;
    PrintPlan(result.config.tags, tags::MakePlan(result.config.tags, cost), cost, o.json);
    return EXIT_OK;
}

const char* TagsHelpText() {
    return R"(vave8ctl tags - check a line server's configuration and print its read plan

Usage:
  vave8ctl tags check CONFIG [--module PATH]
  vave8ctl tags plan CONFIG [--baud N] [--turnaround-ms T] [--json] [--module PATH]

check  reads the configuration (TOML) and its tag file, checks every tag's
       address with the driver's own parser, and prints every error of both
       files as FILE:LINE: REASON (exit 1), or a summary (exit 0).
plan   prints the block reads that cover every tag for the least line time,
       per station and scan period, and the line time of one cycle.

Options:
  --baud N             the line's speed for the plan (default: the file's,
                       else 9600); --data-bits, --parity, --stop-bits likewise
  --turnaround-ms T    the PLC's time to answer a request (default: the
                       file's turnaround_ms, else 5)
  --json               plan: one object {"blocks":[{"station":S,"period_ms":P,
                       "first":B,"length":N,"tags":[names]}], "line_ms": total}
  --module PATH        the driver module whose parser checks the addresses
                       (default: the file's [line] module, else the one beside
                       this program)

Exit codes: 0 fine, 1 the files have errors, 2 the driver module did not load,
64 usage error.
)";
}

}  // namespace vave8ctl
