// Sparkplug B payloads: metrics in, protobuf bytes out (and back for
// commands), through the C code protoc-c makes from sparkplug_b.proto.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tags/engine.h"

namespace mqtt::spb {

// Sparkplug data types.
enum DataType : uint32_t {
    Int8 = 1, Int16 = 2, Int32 = 3, Int64 = 4, UInt8 = 5, UInt16 = 6, UInt32 = 7, UInt64 = 8,
    Float = 9, Double = 10, Boolean = 11, String = 12,
};

// The Quality property's values, as Sparkplug hosts read them.
constexpr int32_t kQualityGood = 192, kQualityBad = 0, kQualityStale = 500;

struct Metric {
    std::string name;  // empty: sent by alias alone
    std::optional<uint64_t> alias;
    uint64_t timestampMs = 0;
    uint32_t datatype = 0;
    bool historical = false;
    bool isNull = false;
    // int_value, long_value, float_value, double_value, boolean_value, string_value
    std::variant<std::monostate, uint32_t, uint64_t, float, double, bool, std::string> value;
    std::optional<int32_t> quality;
    std::string units;  // the engUnit property, when not empty
};

std::vector<uint8_t> Encode(uint64_t timestampMs, std::optional<uint64_t> seq,
                            const std::vector<Metric>& metrics);

// A tag's value as its Sparkplug metric: the type from the tag (a scaled tag
// is a Double), the quality as a property, null before the first scan.
Metric TagMetric(const tags::Tag& tag, double value, tags::Quality quality, tags::Cause cause,
                 uint64_t timestampMs);
uint32_t TagDataType(const tags::Tag& tag);

struct Command {
    std::string name;
    std::optional<uint64_t> alias;
    uint32_t datatype = 0;
    std::optional<double> number;  // bools as 0 and 1
    uint64_t timestampMs = 0;      // 0: none given
};

// False when the bytes are not a Sparkplug payload. `timestampMs` gets the
// payload's own timestamp (0: none).
bool Decode(const void* data, size_t size, std::vector<Command>& out, uint64_t* timestampMs = nullptr);

}  // namespace mqtt::spb
