#pragma once

#include <ostream>
#include <string>

#include <json/value.h>

namespace vexodl::cli {

// `text` made safe for a terminal, by the one escaper that everything the tool prints goes
// through: UTF-8 stays as it is where it is text, control characters (C0, DEL and C1) become the
// escapes that JSON writes for them (\n, \t, \u001b, \u007f, \u009b), so that a name reads the
// same in the table as in the JSON, and bytes that are not UTF-8 become \xNN. Names,
// descriptions and messages come from plug-ins, from pyLoad and from back-ends, so none is
// printed raw. A backslash stays as it is: it moves no terminal, a name that holds one shows it as
// written, and a back-end's message that already escapes its names (as ours do, with \x1b) is not
// escaped a second time.
std::string Escape(const std::string& text);

// Writes the hosts of `hosts` (the library's JSON array) as a table: one header line, then one line
// per host with name, type, enabled state, account, version, newer version, flags and
// description, every cell escaped.
void PrintHostTable(const Json::Value& hosts, std::ostream& out);

// Writes `value` as indented JSON text followed by a newline: UTF-8 as it is, control characters
// (C1 and DEL too, which JsonCpp would write raw) as \u escapes, and a byte that is not UTF-8,
// which JSON cannot carry, as \ufffd.
void PrintJson(const Json::Value& value, std::ostream& out);

}  // namespace vexodl::cli
