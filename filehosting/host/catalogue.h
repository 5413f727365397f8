#pragma once

// Internal to the library: the catalogues written straight into JSON. Not installed.

#include <json/value.h>

namespace vexodl::filehosting::host::internal {

// Each appends to `out` the host JSON object of every host that the kind's ListSupportedHosts
// lists, in the same order, asking the back-end with the same calls and failing the same way.
// Every host passes through a record of its kind on the stack, written with the kind's own
// fromJson and toJson, so that a listing holds no record per host and reads the back-end's
// listing only once. REQUIRES: out is null or an array.
void AppendPyloadHosts(Json::Value& out);
void AppendVexoHosts(Json::Value& out);

}  // namespace vexodl::filehosting::host::internal
