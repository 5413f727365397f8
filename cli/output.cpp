#include "output.h"

#include <cstdio>
#include <memory>
#include <sstream>
#include <string_view>
#include <vector>

#include <json/writer.h>

#include "escape.h"

namespace vexodl::cli {

namespace {

// Characters on a terminal: escapes and code points count one each.
std::size_t Width(std::string_view escaped) {
  std::size_t width = 0;
  for (const char c : escaped) {
    if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) ++width;
  }
  return width;
}

std::string Cell(const Json::Value& host, const char* key) {
  const Json::Value& value = host[key];
  if (value.isString() && !value.asString().empty()) return common::Escape(value.asString());
  return "-";
}

std::string Flags(const Json::Value& host) {
  std::vector<const char*> flags;
  if (host["auth_needed"].asBool()) flags.push_back("account-needed");
  if (host["removable"].asBool()) flags.push_back("removable");
  if (host["premium"].asBool()) flags.push_back("premium");
  if (host.isMember("valid")) flags.push_back(host["valid"].asBool() ? "valid" : "invalid");
  if (host.isMember("can_be_disabled") && !host["can_be_disabled"].asBool()) {
    flags.push_back("always-on");
  }
  if (host["experimental"].asBool()) flags.push_back("experimental");
  std::string text;
  for (const char* flag : flags) text += (text.empty() ? "" : ",") + std::string(flag);
  return text.empty() ? "-" : text;
}

}  // namespace

void PrintHostTable(const Json::Value& hosts, std::ostream& out) {
  std::vector<std::vector<std::string>> rows = {
      {"NAME", "TYPE", "ENABLED", "ACCOUNT", "VERSION", "NEW VERSION", "FLAGS", "DESCRIPTION"}};
  for (const Json::Value& host : hosts) {
    rows.push_back({Cell(host, "name"), Cell(host, "type"), host["enabled"].asBool() ? "yes" : "no",
                    Cell(host, "username"), Cell(host, "version"), Cell(host, "newversion"),
                    Flags(host), Cell(host, "description")});
  }
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], Width(row[column]));
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t column = 0; column < row.size(); ++column) {
      line += row[column];
      if (column + 1 < row.size()) line.append(widths[column] - Width(row[column]) + 2, ' ');
    }
    out << line << '\n';
  }
}

void PrintJson(const Json::Value& value, std::ostream& out) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  std::ostringstream text;
  writer->write(value, &text);
  out << common::Escape(text.str(), common::Notation::kJson) << '\n';
}

}  // namespace vexodl::cli
