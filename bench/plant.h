// The reference plant (bench/plant) as the benches use it: loaded as the
// line server loads it, and rewritten for a line server of a bench's own.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <toml++/toml.h>

#include "tags/config.h"

namespace bench {

// The folder of the running program, where the driver module, p8sim and
// vave8gw are built beside the benches.
std::string ProgramDir();

// The plant's config and tags, the addresses parsed by the driver module
// beside the program; false with every problem in `error`.
bool LoadPlant(const std::string& path, tags::Config* config, std::string* error);

// What a bench changes in the plant's config for its own line server.
struct PlantEdit {
    // Gives the scan_ms cell of a tag's CSV row (empty: the line's period)
    // from the plant's; unset, the plant's tag file is used as it is.
    std::function<std::string(const std::string& scanMs)> period;
    std::optional<uint32_t> lineScanMs;  // [line] scan_ms
    toml::table sections;                // front-end sections, added or replaced
};

// Writes `dir`/line.toml (and, with `edit.period`, `dir`/tags.csv); false
// with the reason.
bool WritePlantConfig(const std::string& plant, const std::filesystem::path& dir, const PlantEdit& edit,
                      std::string* error);

}  // namespace bench
