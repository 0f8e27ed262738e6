#include "bench/plant.h"

#include <unistd.h>

#include <fstream>

#include "tags/address.h"

namespace bench {

std::string ProgramDir() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    const std::string s(path);
    return s.substr(0, s.rfind('/'));
}

bool LoadPlant(const std::string& path, tags::Config* config, std::string* error) {
    tags::ModuleGateParser parser;
    if (!parser.Load(ProgramDir() + "/libvave8.so", error)) return false;
    tags::LoadResult loaded = tags::LoadConfig(path, parser.Parser());
    if (!loaded.Ok()) {
        error->clear();
        for (const tags::Problem& p : loaded.problems) *error += (error->empty() ? "" : "\n") + tags::Describe(p);
        return false;
    }
    *config = std::move(loaded.config);
    return true;
}

bool WritePlantConfig(const std::string& plant, const std::filesystem::path& dir, const PlantEdit& edit,
                      std::string* error) {
    toml::table doc;
    try {
        doc = toml::parse_file(plant);
    } catch (const toml::parse_error& e) {
        *error = plant + ": " + std::string(e.description());
        return false;
    }
    std::filesystem::path csv =
        std::filesystem::absolute(plant).parent_path() / doc["tags"]["file"].value_or(std::string("plant.csv"));
    if (edit.period) {
        std::ifstream in(csv);
        if (!in) {
            *error = "cannot read " + csv.string();
            return false;
        }
        std::ofstream out(dir / "tags.csv");
        std::string line;
        bool header = true;
        while (std::getline(in, line)) {
            // Name, address and type hold no comma: the fourth cell is scan_ms.
            size_t c = line.find(',');
            for (int k = 0; k < 2 && c != std::string::npos; ++k) c = line.find(',', c + 1);
            if (header || c == std::string::npos) {
                out << line << '\n';
                header = false;
                continue;
            }
            const size_t d = line.find(',', c + 1);
            const std::string cell = line.substr(c + 1, d == std::string::npos ? std::string::npos : d - c - 1);
            out << line.substr(0, c + 1) << edit.period(cell) << (d == std::string::npos ? "" : line.substr(d))
                << '\n';
        }
        csv = dir / "tags.csv";
    }
    if (!doc["line"].is_table() || !doc["tags"].is_table()) {
        *error = plant + ": no [line] or [tags]";
        return false;
    }
    if (edit.lineScanMs) doc["line"].as_table()->insert_or_assign("scan_ms", static_cast<int64_t>(*edit.lineScanMs));
    doc["tags"].as_table()->insert_or_assign("file", csv.string());
    for (const auto& [key, section] : edit.sections) doc.insert_or_assign(key, section);
    std::ofstream(dir / "line.toml") << doc << '\n';
    return true;
}

}  // namespace bench
