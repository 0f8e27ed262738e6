#include "gateway/mqtt/sparkplug.h"

#include <cmath>
#include <deque>

#include "sparkplug_b.pb-c.h"

namespace mqtt::spb {

uint32_t TagDataType(const tags::Tag& tag) {
    if (tag.scaled) return Double;
    switch (tag.type) {
        case tags::Type::Bool: return Boolean;
        case tags::Type::Int8: return Int8;
        case tags::Type::UInt8: return UInt8;
        case tags::Type::Int16: return Int16;
        case tags::Type::UInt16: return UInt16;
        case tags::Type::Int32: return Int32;
        case tags::Type::UInt32: return UInt32;
        case tags::Type::Float32: return Float;
    }
    return Double;
}

Metric TagMetric(const tags::Tag& tag, double value, tags::Quality quality, tags::Cause cause,
                 uint64_t timestampMs) {
    Metric m;
    m.timestampMs = timestampMs;
    m.datatype = TagDataType(tag);
    m.quality = quality == tags::Quality::Good  ? kQualityGood
                : quality == tags::Quality::Bad ? kQualityBad
                                                : kQualityStale;
    if (cause == tags::Cause::WaitingForInitialData || !std::isfinite(value)) {
        m.isNull = true;
        return m;
    }
    switch (m.datatype) {
        case Boolean: m.value = value != 0; break;
        case Int8:
        case Int16:
        case Int32:
            // Two's complement in the unsigned field, as the decoders read it.
            m.value = static_cast<uint32_t>(static_cast<int32_t>(value));
            break;
        case UInt8:
        case UInt16: m.value = static_cast<uint32_t>(value); break;
        // Tahu's decoders read a UInt32 from long_value.
        case UInt32: m.value = static_cast<uint64_t>(value); break;
        case Float: m.value = static_cast<float>(value); break;
        default: m.value = value; break;
    }
    return m;
}

std::vector<uint8_t> Encode(uint64_t timestampMs, std::optional<uint64_t> seq,
                            const std::vector<Metric>& metrics) {
    std::vector<Spb__Payload__Metric> ms(metrics.size());
    std::vector<Spb__Payload__Metric*> pointers(metrics.size());
    std::deque<Spb__Payload__PropertySet> sets;
    std::deque<Spb__Payload__PropertyValue> values;
    // Each metric's keys and values are contiguous: reserved so that they
    // never move.
    std::vector<Spb__Payload__PropertyValue*> valuePointers;
    std::vector<char*> keyPointers;
    valuePointers.reserve(2 * metrics.size());
    keyPointers.reserve(2 * metrics.size());
    static char qualityKey[] = "Quality";
    static char unitsKey[] = "engUnit";
    for (size_t i = 0; i < metrics.size(); ++i) {
        const Metric& in = metrics[i];
        Spb__Payload__Metric& m = ms[i];
        spb__payload__metric__init(&m);
        pointers[i] = &m;
        if (!in.name.empty()) m.name = const_cast<char*>(in.name.c_str());
        if (in.alias) {
            m.has_alias = true;
            m.alias = *in.alias;
        }
        m.has_timestamp = true;
        m.timestamp = in.timestampMs;
        m.has_datatype = true;
        m.datatype = in.datatype;
        if (in.historical) m.has_is_historical = m.is_historical = true;
        if (in.isNull) m.has_is_null = m.is_null = true;
        switch (in.value.index()) {
            case 1:
                m.value_case = SPB__PAYLOAD__METRIC__VALUE_INT_VALUE;
                m.int_value = std::get<uint32_t>(in.value);
                break;
            case 2:
                m.value_case = SPB__PAYLOAD__METRIC__VALUE_LONG_VALUE;
                m.long_value = std::get<uint64_t>(in.value);
                break;
            case 3:
                m.value_case = SPB__PAYLOAD__METRIC__VALUE_FLOAT_VALUE;
                m.float_value = std::get<float>(in.value);
                break;
            case 4:
                m.value_case = SPB__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
                m.double_value = std::get<double>(in.value);
                break;
            case 5:
                m.value_case = SPB__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
                m.boolean_value = std::get<bool>(in.value);
                break;
            case 6:
                m.value_case = SPB__PAYLOAD__METRIC__VALUE_STRING_VALUE;
                m.string_value = const_cast<char*>(std::get<std::string>(in.value).c_str());
                break;
            default: break;
        }
        if (in.quality || !in.units.empty()) {
            Spb__Payload__PropertySet& set = sets.emplace_back();
            spb__payload__property_set__init(&set);
            size_t first = valuePointers.size();
            auto add = [&](char* key) {
                keyPointers.push_back(key);
                Spb__Payload__PropertyValue& v = values.emplace_back();
                spb__payload__property_value__init(&v);
                valuePointers.push_back(&v);
                return &v;
            };
            size_t firstKey = keyPointers.size();
            if (in.quality) {
                Spb__Payload__PropertyValue* v = add(qualityKey);
                v->has_type = true;
                v->type = Int32;
                v->value_case = SPB__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE;
                v->int_value = static_cast<uint32_t>(*in.quality);
            }
            if (!in.units.empty()) {
                Spb__Payload__PropertyValue* v = add(unitsKey);
                v->has_type = true;
                v->type = String;
                v->value_case = SPB__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE;
                v->string_value = const_cast<char*>(in.units.c_str());
            }
            set.n_keys = set.n_values = valuePointers.size() - first;
            set.keys = &keyPointers[firstKey];
            set.values = &valuePointers[first];
            m.properties = &set;
        }
    }
    Spb__Payload p;
    spb__payload__init(&p);
    p.has_timestamp = true;
    p.timestamp = timestampMs;
    if (seq) {
        p.has_seq = true;
        p.seq = *seq;
    }
    p.n_metrics = pointers.size();
    p.metrics = pointers.data();
    std::vector<uint8_t> bytes(spb__payload__get_packed_size(&p));
    spb__payload__pack(&p, bytes.data());
    return bytes;
}

bool Decode(const void* data, size_t size, std::vector<Command>& out, uint64_t* timestampMs) {
    Spb__Payload* p = spb__payload__unpack(nullptr, size, static_cast<const uint8_t*>(data));
    if (!p) return false;
    if (timestampMs) *timestampMs = p->has_timestamp ? p->timestamp : 0;
    for (size_t i = 0; i < p->n_metrics; ++i) {
        const Spb__Payload__Metric* m = p->metrics[i];
        Command c;
        if (m->name) c.name = m->name;
        if (m->has_alias) c.alias = m->alias;
        if (m->has_datatype) c.datatype = m->datatype;
        if (m->has_timestamp) c.timestampMs = m->timestamp;
        bool isNull = m->has_is_null && m->is_null;
        if (!isNull) {
            switch (m->value_case) {
                case SPB__PAYLOAD__METRIC__VALUE_INT_VALUE:
                    c.number = (c.datatype == Int8 || c.datatype == Int16 || c.datatype == Int32)
                                   ? static_cast<double>(static_cast<int32_t>(m->int_value))
                                   : static_cast<double>(m->int_value);
                    break;
                case SPB__PAYLOAD__METRIC__VALUE_LONG_VALUE:
                    c.number = c.datatype == Int64 ? static_cast<double>(static_cast<int64_t>(m->long_value))
                                                   : static_cast<double>(m->long_value);
                    break;
                case SPB__PAYLOAD__METRIC__VALUE_FLOAT_VALUE: c.number = m->float_value; break;
                case SPB__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE: c.number = m->double_value; break;
                case SPB__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE: c.number = m->boolean_value ? 1 : 0; break;
                default: break;
            }
        }
        out.push_back(std::move(c));
    }
    spb__payload__free_unpacked(p, nullptr);
    return true;
}

}  // namespace mqtt::spb
