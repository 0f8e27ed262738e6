// How the tag engine's samples and write outcomes read to an OPC UA client.
#pragma once

#include <open62541/types.h>

#include "tags/engine.h"

namespace opcua {

UA_StatusCode SampleStatus(const tags::Sample& sample);
UA_StatusCode WriteStatus(const tags::WriteResult& result);

// The node's data type: a scaled tag is a Double whatever the PLC holds.
const UA_DataType* TagDataType(const tags::Tag& tag);

// The sample as the client sees it: value (when the tag ever had one),
// status and source timestamp. `out` is cleared first.
void ToDataValue(const tags::Tag& tag, const tags::Sample& sample, UA_DataValue& out);

// A client's value as an engineering value for Engine::Write. False (with
// the StatusCode to answer) when it is not a finite scalar number of the
// tag's type, or, unscaled, a number the tag's type cannot hold.
bool FromVariant(const tags::Tag& tag, const UA_Variant& value, double& out, UA_StatusCode& refusal);

}  // namespace opcua
