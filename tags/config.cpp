#include "tags/config.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string_view>
#include <toml++/toml.h>

#include "tags/address.h"
#include "tools/format.h"

namespace tags {

namespace {

constexpr size_t kMaxName = 128;
constexpr int64_t kMaxScanMs = 86400000;  // a day

// A whole file, or false with the reason ("No such file or directory").
bool ReadFile(const std::string& path, std::string* text, std::string* reason) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        *reason = "it is a folder";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *reason = std::strerror(errno);
        return false;
    }
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) {
        *reason = "read error";
        return false;
    }
    *text = out.str();
    return true;
}

// Text that consumers (OPC UA, MQTT, JSON) take only as UTF-8.
bool ValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        uint32_t code = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = code << 6 | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past Unicode.
        constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kLeast[n] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
        i += n;
    }
    return true;
}

// ---- one tag's fields, from CSV cells or [[tag]] values --------------------

// The columns of a tag file and the keys of a [[tag]] table.
enum Field { kName, kAddress, kType, kScanMs, kAccess, kScale, kOffset, kDeadband, kUnits, kDescription, kFields };
constexpr const char* kFieldNames[kFields] = {"name",   "address",  "type",     "scan_ms", "access",
                                              "scale",  "offset",   "deadband", "units",   "description"};

std::optional<Field> FieldNamed(std::string_view name) {
    for (int f = 0; f < kFields; ++f) {
        if (name == kFieldNames[f]) return static_cast<Field>(f);
    }
    return std::nullopt;
}

std::string FieldList() {
    std::string list;
    for (int f = 0; f < kFields; ++f) list += (f ? ", " : "") + std::string(kFieldNames[f]);
    return list;
}

// What went wrong with a name, or empty. Names become OPC UA node ids and
// MQTT topics: '/' separates folders, so no empty folder names.
std::string NameProblem(std::string_view name, bool slashes) {
    if (name.empty()) return "the name is empty";
    if (name.size() > kMaxName) {
        return "name '" + std::string(name.substr(0, 32)) + "...' has " + std::to_string(name.size()) +
               " characters, at most " + std::to_string(kMaxName);
    }
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-' || c == '.' || (slashes && c == '/');
        if (!ok) {
            return "name '" + std::string(name) + "' has '" + std::string(1, c) +
                   "': only letters, digits, _ - ." + (slashes ? " and /" : "") + " are allowed";
        }
    }
    if (slashes && (name.front() == '/' || name.back() == '/' || name.find("//") != std::string_view::npos)) {
        return "name '" + std::string(name) + "' has an empty folder name";
    }
    return "";
}

struct TagFields {
    std::optional<std::string> cell[kFields];  // absent or empty: the default
    bool invalid[kFields] = {};                 // given, but already reported as wrong
};

// The tag a row describes, or false with every reason in `reasons`.
bool BuildTag(const TagFields& fields, int line, uint32_t defaultScanMs, const GateParser& parse, Tag* tag,
              std::vector<std::string>* reasons) {
    auto given = [&](Field f) -> const std::string* {
        return fields.cell[f] && !fields.cell[f]->empty() ? &*fields.cell[f] : nullptr;
    };
    const size_t before = reasons->size();
    tag->sourceLine = line;
    if (const std::string* name = given(kName)) {
        tag->name = *name;
        if (std::string why = NameProblem(*name, true); !why.empty()) reasons->push_back(why);
    } else if (!fields.invalid[kName]) {
        reasons->push_back("name is missing");
    }
    bool typeGiven = false;
    if (const std::string* type = given(kType)) {
        bool known = false;
        for (Type t : {Type::Bool, Type::Int8, Type::UInt8, Type::Int16, Type::UInt16, Type::Int32, Type::UInt32,
                       Type::Float32}) {
            if (*type == TypeName(t)) {
                tag->type = t;
                known = true;
            }
        }
        if (known) {
            typeGiven = true;
        } else {
            reasons->push_back("type '" + *type +
                               "' is not bool, int8, uint8, int16, uint16, int32, uint32 or float32");
        }
    }
    tag->scanMs = defaultScanMs;
    if (const std::string* scan = given(kScanMs)) {
        int64_t ms = 0;
        if (vave8ctl::ParseInteger(*scan, 1, kMaxScanMs, &ms)) {
            tag->scanMs = static_cast<uint32_t>(ms);
        } else {
            reasons->push_back("scan_ms '" + *scan + "' is not a whole number of ms in 1..86400000");
        }
    }
    if (const std::string* access = given(kAccess)) {
        if (*access == "r") {
            tag->access = Access::Read;
        } else if (*access == "rw") {
            tag->access = Access::ReadWrite;
        } else {
            reasons->push_back("access '" + *access + "' is not r or rw");
        }
    }
    auto number = [&](Field f, double* out) {
        const std::string* text = given(f);
        if (text == nullptr) return false;
        if (!vave8ctl::ParseDecimal(*text, out)) {
            reasons->push_back(std::string(kFieldNames[f]) + " '" + *text + "' is not a number");
            return false;
        }
        return true;
    };
    if (number(kScale, &tag->scale)) {
        tag->scaled = true;
        if (tag->scale == 0) reasons->push_back("scale 0 would make every value the offset");
    }
    if (number(kOffset, &tag->offset)) tag->scaled = true;
    if (number(kDeadband, &tag->deadband) && tag->deadband < 0) {
        reasons->push_back("deadband " + *given(kDeadband) + " is negative");
    }
    for (Field f : {kUnits, kDescription}) {
        const std::string* text = given(f);
        if (text == nullptr) continue;
        if (!ValidUtf8(*text)) {
            reasons->push_back(std::string(kFieldNames[f]) + " is not UTF-8 text (save the file as UTF-8)");
            continue;
        }
        (f == kUnits ? tag->units : tag->description) = *text;
    }
    if (const std::string* address = given(kAddress)) {
        tag->address = *address;
        // A type we could not read leaves nothing to check the address with.
        if (typeGiven || !given(kType)) {
            std::string why;
            if (!ResolveAddress(tag, typeGiven, parse, &why)) {
                reasons->push_back(why);
            } else if (tag->type == Type::Bool && tag->scaled) {
                reasons->push_back("a bool takes no scale or offset");
            }
        }
    } else if (!fields.invalid[kAddress]) {
        reasons->push_back("address is missing");
    }
    return reasons->size() == before;
}

// ---- the tag file -----------------------------------------------------------

struct CsvRecord {
    int line = 0;
    std::vector<std::string> cells;
};

// RFC 4180 records: quoted cells may hold commas, quotes ("") and line
// breaks; LF or CRLF ends a record. Unquoted cells are trimmed of spaces, a
// record starting with '#' is a comment, empty lines are skipped.
std::vector<CsvRecord> ReadCsv(std::string_view text, const std::string& path, std::vector<Problem>* problems) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // as spreadsheets save it
    std::vector<CsvRecord> records;
    size_t i = 0;
    int line = 1;
    while (i < text.size()) {
        if (text[i] == '\n' || (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            i += text[i] == '\r' ? 2 : 1;
            ++line;
            continue;
        }
        if (text[i] == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
            continue;
        }
        CsvRecord record;
        record.line = line;
        bool bad = false;
        while (true) {
            std::string cell;
            size_t p = i;
            while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
            if (p < text.size() && text[p] == '"') {
                i = p + 1;
                bool closed = false;
                while (i < text.size()) {
                    if (text[i] == '"') {
                        if (i + 1 < text.size() && text[i + 1] == '"') {
                            cell += '"';
                            i += 2;
                            continue;
                        }
                        closed = true;
                        ++i;
                        break;
                    }
                    if (text[i] == '\n') ++line;
                    cell += text[i++];
                }
                if (!closed) {
                    problems->push_back({path, record.line, "a quoted cell is never closed"});
                    return records;
                }
                while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
                if (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
                    if (!bad) problems->push_back({path, line, "characters after a quoted cell's closing quote"});
                    bad = true;
                    while (i < text.size() && text[i] != ',' && text[i] != '\n') ++i;
                }
            } else {
                while (i < text.size() && text[i] != ',' && text[i] != '\n' &&
                       !(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
                    if (text[i] == '"' && !bad) {
                        problems->push_back({path, line, "a quote inside an unquoted cell (quote the whole cell)"});
                        bad = true;
                    }
                    cell += text[i++];
                }
                const size_t first = cell.find_first_not_of(" \t");
                cell = first == std::string::npos ? "" : cell.substr(first, cell.find_last_not_of(" \t") - first + 1);
            }
            record.cells.push_back(std::move(cell));
            if (i < text.size() && text[i] == ',') {
                ++i;
                continue;
            }
            break;
        }
        if (!bad) records.push_back(std::move(record));
    }
    return records;
}

// ---- the configuration ------------------------------------------------------

int LineOf(const toml::node& node) {
    return static_cast<int>(node.source().begin.line);
}

int LineOf(const toml::key& key, const toml::node& node) {
    return key.source().begin.line > 0 ? static_cast<int>(key.source().begin.line) : LineOf(node);
}

// A scalar as the text a command line would give it.
std::optional<std::string> Text(const toml::node& node) {
    if (const auto* s = node.as_string()) return s->get();
    if (const auto* i = node.as_integer()) return std::to_string(i->get());
    if (const auto* f = node.as_floating_point()) {
        std::ostringstream out;
        out.precision(17);
        out << f->get();
        return out.str();
    }
    return std::nullopt;
}

const char* KindName(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::table: return "a table";
        case toml::node_type::array: return "an array";
        case toml::node_type::string: return "a string";
        case toml::node_type::integer: return "an integer";
        case toml::node_type::floating_point: return "a number";
        case toml::node_type::boolean: return "a boolean";
        default: return "a date or time";
    }
}

class Reader {
public:
    Reader(const std::string& path, const GateParser& parse, LoadResult* result)
        : path_(path), parse_(parse), result_(result) {
        const size_t slash = path.find_last_of('/');
        folder_ = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    }

    void Read(const toml::table& root);

private:
    struct Section {
        const char* name;
        bool arrayOfTables;  // [[name]]
        void (Reader::*read)(const toml::table&);
    };
    static const Section kSections[];

    void Add(int line, std::string reason) { result_->problems.push_back({path_, line, std::move(reason)}); }
    void Unknown(const char* section, const toml::key& key, const toml::node& node) {
        Add(LineOf(key, node), "unknown key '" + std::string(key.str()) + "' in [" + section + "]");
    }
    std::string Resolved(const std::string& file) const {
        return file.empty() || file[0] == '/' ? file : folder_ + file;
    }

    void ReadLine(const toml::table& table);
    void ReadModbus(const toml::table& table);
    void ReadOpcua(const toml::table& table);
    void ReadTags(const toml::table& table);
    void ReadTag(const toml::table& table);
    void ReadMqtt(const toml::table&) { result_->config.mqtt = true; }
    void ReadTagFile();

    // A whole number in [min, max] or a problem naming the key.
    std::optional<int64_t> Integer(const char* section, const toml::key& key, const toml::node& node, int64_t min,
                                   int64_t max);
    std::optional<double> Number(const char* section, const toml::key& key, const toml::node& node, double min,
                                 double max);
    std::optional<std::string> String(const char* section, const toml::key& key, const toml::node& node);

    std::string path_;
    std::string folder_;
    const GateParser& parse_;
    LoadResult* result_;
    std::vector<std::pair<int, TagFields>> tables_;  // [[tag]] tables, read after the defaults are known
    int tagFileLine_ = 0;
};

const Reader::Section Reader::kSections[] = {
    {"line", false, &Reader::ReadLine},
    {"modbus", false, &Reader::ReadModbus},
    {"opcua", false, &Reader::ReadOpcua},
    {"tags", false, &Reader::ReadTags},
    {"tag", true, &Reader::ReadTag},
    {"mqtt", false, &Reader::ReadMqtt},
};

std::optional<int64_t> Reader::Integer(const char* section, const toml::key& key, const toml::node& node,
                                       int64_t min, int64_t max) {
    const auto* value = node.as_integer();
    if (value == nullptr || value->get() < min || value->get() > max) {
        Add(LineOf(key, node), std::string(section) + "." + std::string(key.str()) + " must be a whole number in " +
                                   std::to_string(min) + ".." + std::to_string(max) +
                                   (value == nullptr ? std::string(", not ") + KindName(node) : ""));
        return std::nullopt;
    }
    return value->get();
}

std::optional<double> Reader::Number(const char* section, const toml::key& key, const toml::node& node,
                                     double min, double max) {
    const std::optional<double> value = node.value<double>();  // integers too
    if (!node.is_number() || !value || !std::isfinite(*value) || *value < min || *value > max) {
        std::ostringstream range;
        range << min << ".." << max;
        Add(LineOf(key, node), std::string(section) + "." + std::string(key.str()) + " must be a number in " +
                                   range.str() + (node.is_number() ? "" : std::string(", not ") + KindName(node)));
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> Reader::String(const char* section, const toml::key& key, const toml::node& node) {
    if (const auto* s = node.as_string()) return s->get();
    Add(LineOf(key, node),
        std::string(section) + "." + std::string(key.str()) + " must be a string, not " + KindName(node));
    return std::nullopt;
}

void Reader::Read(const toml::table& root) {
    for (const auto& [key, node] : root) {
        const Section* section = nullptr;
        for (const Section& s : kSections) {
            if (key.str() == s.name) section = &s;
        }
        if (section == nullptr) {
            Add(LineOf(key, node), node.is_table() || node.is_array_of_tables()
                                       ? "unknown section [" + std::string(key.str()) + "]"
                                       : "unknown key '" + std::string(key.str()) + "' outside any section");
            continue;
        }
        if (section->arrayOfTables) {
            if (!node.is_array_of_tables()) {
                Add(LineOf(key, node), "'" + std::string(key.str()) + "' must be written [[" + section->name + "]]");
                continue;
            }
            for (const toml::node& element : *node.as_array()) (this->*section->read)(*element.as_table());
        } else if (const toml::table* table = node.as_table()) {
            (this->*section->read)(*table);
        } else {
            Add(LineOf(key, node), "'" + std::string(key.str()) + "' must be the section [" + section->name + "]");
        }
    }
    Config& config = result_->config;
    if (config.line.name.empty()) config.line.name = config.line.connection.port;
    if (!config.tagFile.empty()) ReadTagFile();
    const size_t fromFile = config.tags.size();
    for (auto& [line, fields] : tables_) {
        Tag tag;
        std::vector<std::string> reasons;
        if (BuildTag(fields, line, config.line.scanMs, parse_, &tag, &reasons)) {
            config.tags.push_back(std::move(tag));
        }
        for (std::string& reason : reasons) Add(line, "[[tag]] " + reason);
    }
    // Names are unique across the tag file and the tables; the later one is
    // the error.
    std::map<std::string_view, size_t> seen;
    auto where = [&](size_t i) { return Problem{i < fromFile ? config.tagFile : path_, config.tags[i].sourceLine, ""}; };
    for (size_t i = 0; i < config.tags.size(); ++i) {
        auto [it, inserted] = seen.emplace(config.tags[i].name, i);
        if (inserted) continue;
        Problem problem = where(i);
        const Problem first = where(it->second);
        problem.reason = "tag '" + config.tags[i].name + "' is defined twice (first at " + first.file + ":" +
                         std::to_string(first.line) + ")";
        result_->problems.push_back(std::move(problem));
    }
    // The configuration's problems first, then the tag file's, each in line order.
    std::stable_sort(result_->problems.begin(), result_->problems.end(), [&](const Problem& a, const Problem& b) {
        return std::make_pair(a.file != path_, a.line) < std::make_pair(b.file != path_, b.line);
    });
}

void Reader::ReadLine(const toml::table& table) {
    constexpr const char* kSection = "line";
    LineConfig& line = result_->config.line;
    // The connection keys and the command-line options that set the same.
    constexpr std::pair<const char*, const char*> kConnection[] = {
        {"port", "port"},           {"baud", "baud"},           {"data_bits", "data-bits"},
        {"parity", "parity"},       {"stop_bits", "stop-bits"}, {"timeout_ms", "timeout"},
        {"module", "module"},
    };
    for (const auto& [key, node] : table) {
        const std::string_view name = key.str();
        const char* option = nullptr;
        for (const auto& [k, o] : kConnection) {
            if (name == k) option = o;
        }
        if (option != nullptr) {
            std::optional<std::string> text;
            if (name == "port" || name == "parity" || name == "module") {
                text = String(kSection, key, node);
            } else if (node.is_number()) {
                text = Text(node);
            } else {
                Add(LineOf(key, node), "line." + std::string(name) + " must be a number, not " + KindName(node));
            }
            if (!text) continue;
            if (name == "module") *text = Resolved(*text);
            std::string error;
            const vave8ctl::ConnectionOptionSpec* entry = vave8ctl::FindConnectionOption(option);
            if (!entry->apply(&line.connection, *text, &error)) {
                // "--baud: '0' is not ..." as the file's key.
                const size_t colon = error.find(": ");
                Add(LineOf(key, node), "line." + std::string(name) +
                                           (colon == std::string::npos ? ": " + error : error.substr(colon)));
                continue;
            }
            line.given.push_back(option);
        } else if (name == "name") {
            if (auto text = String(kSection, key, node)) {
                if (std::string why = NameProblem(*text, false); !why.empty()) {
                    Add(LineOf(key, node), "line." + why);
                } else {
                    line.name = *text;
                }
            }
        } else if (name == "scan_ms") {
            if (auto n = Integer(kSection, key, node, 1, kMaxScanMs)) line.scanMs = static_cast<uint32_t>(*n);
        } else if (name == "turnaround_ms") {
            if (auto n = Number(kSection, key, node, 0, 60000)) line.turnaroundMs = *n;
        } else if (name == "demote_after") {
            if (auto n = Integer(kSection, key, node, 1, 1000)) line.demoteAfter = static_cast<uint32_t>(*n);
        } else if (name == "demote_s") {
            if (auto n = Number(kSection, key, node, 0.1, 86400)) line.demoteS = *n;
        } else {
            Unknown(kSection, key, node);
        }
    }
}

// The OPC UA front-end reads and checks its section itself
// (gateway/opcua/config.h); the tag engine only notes that it is there.
void Reader::ReadOpcua(const toml::table& table) {
    result_->config.opcuaLine = std::max(1, static_cast<int>(table.source().begin.line));
}

void Reader::ReadModbus(const toml::table& table) {
    // The gateway's own options; it checks their values itself.
    constexpr const char* kKeys[] = {"listen",       "max_clients", "idle_timeout",  "dead_backoff",
                                     "read_only",    "allow_write", "stats_interval"};
    ModbusConfig& modbus = result_->config.modbus;
    modbus.present = true;
    for (const auto& [key, node] : table) {
        const std::string_view name = key.str();
        if (std::find(std::begin(kKeys), std::end(kKeys), name) == std::end(kKeys)) {
            Unknown("modbus", key, node);
            continue;
        }
        std::string option(name);
        std::replace(option.begin(), option.end(), '_', '-');
        const int line = LineOf(key, node);
        if (const auto* flag = node.as_boolean()) {
            if (flag->get()) modbus.options.push_back({option, "", true, line});
            continue;
        }
        std::vector<const toml::node*> values;
        if (const auto* array = node.as_array()) {
            for (const toml::node& element : *array) values.push_back(&element);
        } else {
            values.push_back(&node);
        }
        for (const toml::node* value : values) {
            if (auto text = Text(*value)) {
                modbus.options.push_back({option, *text, false, line});
            } else {
                Add(line, "modbus." + std::string(name) + " cannot be " + KindName(*value));
            }
        }
    }
    // A table's keys come sorted by name; the gateway takes them in the
    // file's order, as it would take them from its command line.
    std::stable_sort(modbus.options.begin(), modbus.options.end(),
                     [](const ModbusOption& a, const ModbusOption& b) { return a.line < b.line; });
}

void Reader::ReadTags(const toml::table& table) {
    for (const auto& [key, node] : table) {
        if (key.str() != "file") {
            Unknown("tags", key, node);
            continue;
        }
        if (auto file = String("tags", key, node)) {
            if (file->empty()) {
                Add(LineOf(key, node), "tags.file is empty");
                continue;
            }
            result_->config.tagFile = Resolved(*file);
            tagFileLine_ = LineOf(key, node);
        }
    }
}

void Reader::ReadTag(const toml::table& table) {
    TagFields fields;
    for (const auto& [key, node] : table) {
        const std::optional<Field> field = FieldNamed(key.str());
        if (!field) {
            Add(LineOf(key, node),
                "unknown key '" + std::string(key.str()) + "' in [[tag]] (the keys are " + FieldList() + ")");
            continue;
        }
        // An address as a number would have lost its leading zeros.
        if ((*field == kAddress || *field == kName || *field == kType || *field == kAccess) && !node.is_string()) {
            Add(LineOf(key, node), "[[tag]] " + std::string(key.str()) + " must be a string, not " + KindName(node));
            fields.invalid[*field] = true;
            continue;
        }
        if (auto text = Text(node)) {
            fields.cell[*field] = *text;
        } else {
            Add(LineOf(key, node), "[[tag]] " + std::string(key.str()) + " cannot be " + KindName(node));
            fields.invalid[*field] = true;
        }
    }
    tables_.emplace_back(LineOf(table), std::move(fields));
}

void Reader::ReadTagFile() {
    const std::string& file = result_->config.tagFile;
    std::string text, reason;
    if (!ReadFile(file, &text, &reason)) {
        Add(tagFileLine_, "cannot read the tag file '" + file + "': " + reason);
        return;
    }
    std::vector<Tag> tags = ParseTagCsv(text, file, result_->config.line.scanMs, parse_, &result_->problems);
    for (Tag& tag : tags) result_->config.tags.push_back(std::move(tag));
}

}  // namespace

std::string Describe(const Problem& problem) {
    if (problem.line <= 0) return problem.file + ": " + problem.reason;
    return problem.file + ":" + std::to_string(problem.line) + ": " + problem.reason;
}

uint32_t TypeBytes(Type type) {
    switch (type) {
        case Type::Bool:
        case Type::Int8:
        case Type::UInt8: return 1;
        case Type::Int16:
        case Type::UInt16: return 2;
        default: return 4;
    }
}

const char* TypeName(Type type) {
    switch (type) {
        case Type::Bool: return "bool";
        case Type::Int8: return "int8";
        case Type::UInt8: return "uint8";
        case Type::Int16: return "int16";
        case Type::UInt16: return "uint16";
        case Type::Int32: return "int32";
        case Type::UInt32: return "uint32";
        case Type::Float32: return "float32";
    }
    return "?";
}

namespace {

std::vector<Tag> ReadTagRows(const std::string& text, const std::string& path, uint32_t defaultScanMs,
                             const GateParser& parse, std::vector<Problem>* problems) {
    std::vector<Tag> tags;
    const std::vector<CsvRecord> records = ReadCsv(text, path, problems);
    if (records.empty()) {
        problems->push_back({path, 0, "no header row (the columns are " + FieldList() + ")"});
        return tags;
    }
    const CsvRecord& header = records.front();
    std::vector<std::optional<Field>> columns;
    bool seen[kFields] = {};
    bool headerOk = true;
    for (const std::string& cell : header.cells) {
        const std::optional<Field> field = FieldNamed(cell);
        if (!field) {
            problems->push_back({path, header.line, "unknown column '" + cell + "' (the columns are " + FieldList() + ")"});
            headerOk = false;
        } else if (seen[*field]) {
            problems->push_back({path, header.line, "column '" + cell + "' appears twice"});
            headerOk = false;
        } else {
            seen[*field] = true;
        }
        columns.push_back(field);
    }
    for (Field required : {kName, kAddress}) {
        if (!seen[required]) {
            problems->push_back({path, header.line, std::string("the header has no '") + kFieldNames[required] +
                                                         "' column (the columns are " + FieldList() + ")"});
            headerOk = false;
        }
    }
    if (!headerOk) return tags;
    for (size_t r = 1; r < records.size(); ++r) {
        const CsvRecord& record = records[r];
        if (record.cells.size() != columns.size()) {
            problems->push_back({path, record.line, "the row has " + std::to_string(record.cells.size()) +
                                                        " cells, the header " + std::to_string(columns.size())});
            continue;
        }
        TagFields fields;
        for (size_t c = 0; c < columns.size(); ++c) fields.cell[*columns[c]] = record.cells[c];
        Tag tag;
        std::vector<std::string> reasons;
        if (BuildTag(fields, record.line, defaultScanMs, parse, &tag, &reasons)) tags.push_back(std::move(tag));
        for (std::string& reason : reasons) problems->push_back({path, record.line, std::move(reason)});
    }
    return tags;
}

}  // namespace

std::vector<Tag> ParseTagCsv(const std::string& text, const std::string& path, uint32_t defaultScanMs,
                             const GateParser& parse, std::vector<Problem>* problems) {
    const size_t before = problems->size();
    std::vector<Tag> tags = ReadTagRows(text, path, defaultScanMs, parse, problems);
    // In line order, whichever check found them.
    std::stable_sort(problems->begin() + static_cast<std::ptrdiff_t>(before), problems->end(),
                     [](const Problem& a, const Problem& b) { return a.line < b.line; });
    return tags;
}

LoadResult ParseConfig(const std::string& text, const std::string& path, const GateParser& parse) {
    LoadResult result;
    result.config.path = path;
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        result.problems.push_back({path, static_cast<int>(e.source().begin.line), std::string(e.description())});
        return result;
    }
    Reader(path, parse, &result).Read(root);
    return result;
}

LoadResult LoadConfig(const std::string& path, const GateParser& parse) {
    std::string text, reason;
    if (!ReadFile(path, &text, &reason)) {
        LoadResult result;
        result.config.path = path;
        result.problems.push_back({path, 0, "cannot read it: " + reason});
        return result;
    }
    return ParseConfig(text, path, parse);
}

}  // namespace tags
