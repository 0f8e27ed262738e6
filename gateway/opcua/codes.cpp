#include "gateway/opcua/codes.h"

#include <cmath>
#include <limits>

namespace opcua {

using tags::Cause;

UA_StatusCode SampleStatus(const tags::Sample& sample) {
    if (sample.quality == tags::Quality::Good) return UA_STATUSCODE_GOOD;
    switch (sample.cause) {
        case Cause::WaitingForInitialData: return UA_STATUSCODE_BADWAITINGFORINITIALDATA;
        case Cause::NoReply:
        case Cause::Demoted:
        case Cause::PortDown: return UA_STATUSCODE_BADNOCOMMUNICATION;
        case Cause::ErrorBlock: return UA_STATUSCODE_BADDEVICEFAILURE;
        case Cause::Garbled: return UA_STATUSCODE_BADCOMMUNICATIONERROR;
        case Cause::Overdue: return UA_STATUSCODE_UNCERTAINLASTUSABLEVALUE;
        case Cause::None: break;
    }
    return sample.quality == tags::Quality::Uncertain ? UA_STATUSCODE_UNCERTAIN : UA_STATUSCODE_BAD;
}

UA_StatusCode WriteStatus(const tags::WriteResult& result) {
    using S = tags::WriteResult::Status;
    switch (result.status) {
        case S::Done: return UA_STATUSCODE_GOOD;
        case S::ReadOnly: return UA_STATUSCODE_BADNOTWRITABLE;
        case S::OutOfRange: return UA_STATUSCODE_BADOUTOFRANGE;
        case S::Demoted:
        case S::PortDown: return UA_STATUSCODE_BADNOCOMMUNICATION;
        case S::Stopped: return UA_STATUSCODE_BADSHUTDOWN;
        case S::Failed: break;
    }
    switch (result.cause) {
        case Cause::NoReply: return UA_STATUSCODE_BADTIMEOUT;
        case Cause::ErrorBlock: return UA_STATUSCODE_BADDEVICEFAILURE;
        default: return UA_STATUSCODE_BADCOMMUNICATIONERROR;
    }
}

const UA_DataType* TagDataType(const tags::Tag& tag) {
    if (tag.scaled) return &UA_TYPES[UA_TYPES_DOUBLE];
    switch (tag.type) {
        case tags::Type::Bool: return &UA_TYPES[UA_TYPES_BOOLEAN];
        case tags::Type::Int8: return &UA_TYPES[UA_TYPES_SBYTE];
        case tags::Type::UInt8: return &UA_TYPES[UA_TYPES_BYTE];
        case tags::Type::Int16: return &UA_TYPES[UA_TYPES_INT16];
        case tags::Type::UInt16: return &UA_TYPES[UA_TYPES_UINT16];
        case tags::Type::Int32: return &UA_TYPES[UA_TYPES_INT32];
        case tags::Type::UInt32: return &UA_TYPES[UA_TYPES_UINT32];
        case tags::Type::Float32: return &UA_TYPES[UA_TYPES_FLOAT];
    }
    return &UA_TYPES[UA_TYPES_DOUBLE];
}

namespace {

template <typename T>
T Clamp(double v) {
    if (std::isnan(v)) return T{};
    if (v <= static_cast<double>(std::numeric_limits<T>::lowest())) return std::numeric_limits<T>::lowest();
    if (v >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(v);
}

template <typename T>
void Set(UA_Variant& variant, T value, const UA_DataType* type) {
    UA_Variant_setScalarCopy(&variant, &value, type);
}

// The range an unscaled tag's type holds; writes outside it never reach the line.
bool Fits(tags::Type type, double v) {
    auto within = [v](double lo, double hi) { return v >= lo && v <= hi && std::floor(v) == v; };
    switch (type) {
        case tags::Type::Bool: return v == 0 || v == 1;
        case tags::Type::Int8: return within(-128, 127);
        case tags::Type::UInt8: return within(0, 255);
        case tags::Type::Int16: return within(-32768, 32767);
        case tags::Type::UInt16: return within(0, 65535);
        case tags::Type::Int32: return within(-2147483648.0, 2147483647.0);
        case tags::Type::UInt32: return within(0, 4294967295.0);
        case tags::Type::Float32: return std::fabs(v) <= std::numeric_limits<float>::max();
    }
    return false;
}

}  // namespace

void ToDataValue(const tags::Tag& tag, const tags::Sample& sample, UA_DataValue& out) {
    UA_DataValue_clear(&out);
    out.status = SampleStatus(sample);
    out.hasStatus = out.status != UA_STATUSCODE_GOOD;
    if (sample.sourceTime.time_since_epoch().count() != 0) {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(sample.sourceTime.time_since_epoch());
        out.sourceTimestamp = UA_DATETIME_UNIX_EPOCH + us.count() * UA_DATETIME_USEC;
        out.hasSourceTimestamp = true;
    }
    if (sample.cause == tags::Cause::WaitingForInitialData) return;
    const UA_DataType* type = TagDataType(tag);
    const double v = sample.value;
    if (tag.scaled) {
        Set<UA_Double>(out.value, v, type);
    } else {
        switch (tag.type) {
            case tags::Type::Bool: Set<UA_Boolean>(out.value, v != 0, type); break;
            case tags::Type::Int8: Set(out.value, Clamp<UA_SByte>(v), type); break;
            case tags::Type::UInt8: Set(out.value, Clamp<UA_Byte>(v), type); break;
            case tags::Type::Int16: Set(out.value, Clamp<UA_Int16>(v), type); break;
            case tags::Type::UInt16: Set(out.value, Clamp<UA_UInt16>(v), type); break;
            case tags::Type::Int32: Set(out.value, Clamp<UA_Int32>(v), type); break;
            case tags::Type::UInt32: Set(out.value, Clamp<UA_UInt32>(v), type); break;
            case tags::Type::Float32: Set(out.value, static_cast<UA_Float>(v), type); break;
        }
    }
    out.hasValue = true;
}

bool FromVariant(const tags::Tag& tag, const UA_Variant& value, double& out, UA_StatusCode& refusal) {
    refusal = UA_STATUSCODE_BADTYPEMISMATCH;
    if (!UA_Variant_isScalar(&value) || !value.data) return false;
    const UA_DataType* t = value.type;
    const void* d = value.data;
    if (t == &UA_TYPES[UA_TYPES_BOOLEAN]) out = *static_cast<const UA_Boolean*>(d) ? 1 : 0;
    else if (t == &UA_TYPES[UA_TYPES_SBYTE]) out = *static_cast<const UA_SByte*>(d);
    else if (t == &UA_TYPES[UA_TYPES_BYTE]) out = *static_cast<const UA_Byte*>(d);
    else if (t == &UA_TYPES[UA_TYPES_INT16]) out = *static_cast<const UA_Int16*>(d);
    else if (t == &UA_TYPES[UA_TYPES_UINT16]) out = *static_cast<const UA_UInt16*>(d);
    else if (t == &UA_TYPES[UA_TYPES_INT32]) out = *static_cast<const UA_Int32*>(d);
    else if (t == &UA_TYPES[UA_TYPES_UINT32]) out = *static_cast<const UA_UInt32*>(d);
    else if (t == &UA_TYPES[UA_TYPES_INT64]) out = static_cast<double>(*static_cast<const UA_Int64*>(d));
    else if (t == &UA_TYPES[UA_TYPES_UINT64]) out = static_cast<double>(*static_cast<const UA_UInt64*>(d));
    else if (t == &UA_TYPES[UA_TYPES_FLOAT]) out = *static_cast<const UA_Float*>(d);
    else if (t == &UA_TYPES[UA_TYPES_DOUBLE]) out = *static_cast<const UA_Double*>(d);
    else return false;
    // A boolean tag takes booleans only, and a number tag numbers only.
    const bool isBool = t == &UA_TYPES[UA_TYPES_BOOLEAN];
    if (isBool != (tag.type == tags::Type::Bool && !tag.scaled)) return false;
    refusal = UA_STATUSCODE_BADOUTOFRANGE;
    if (!std::isfinite(out)) return false;
    if (!tag.scaled && !Fits(tag.type, out)) return false;
    refusal = UA_STATUSCODE_GOOD;
    return true;
}

}  // namespace opcua
