#pragma once

#include <ostream>
#include <string>

#include <json/value.h>

namespace vexodl::cli {

// Writes the hosts of `hosts` (the library's JSON array) as a table: one header line, then one line
// per host with name, type, enabled state, account, version, newer version, flags and
// description, every cell escaped.
void PrintHostTable(const Json::Value& hosts, std::ostream& out);

// Writes `value` as indented JSON text followed by a newline: UTF-8 as it is, control characters
// (C1 and DEL too, which JsonCpp would write raw) as \u escapes, and a byte that is not UTF-8,
// which JSON cannot carry, as \ufffd.
void PrintJson(const Json::Value& value, std::ostream& out);

}  // namespace vexodl::cli
