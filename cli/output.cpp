#include "output.h"

#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include <json/writer.h>

#include "utf8.h"

namespace vexodl::cli {

namespace {

std::string Hex(const char* format, unsigned value) {
  char buffer[8];
  std::snprintf(buffer, sizeof(buffer), format, value);
  return buffer;
}

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
  if (value.isString() && !value.asString().empty()) return Escape(value.asString());
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

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      out += Hex("\\x%02x", c);
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (const std::size_t length = common::Utf8SequenceLength(text, i); length == 0) {
      out += Hex("\\x%02x", c);
    } else if (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
      // C1 controls, U+0080 to U+009F: some terminals act on them as on ESC sequences.
      out += Hex("\\u%04x", static_cast<unsigned char>(text[i + 1]));
      i += 2;
      continue;
    } else {
      out.append(text, i, length);
      i += length;
      continue;
    }
    ++i;
  }
  return out;
}

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
  builder["emitUTF8"] = false;
  const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  writer->write(value, &out);
  out << '\n';
}

}  // namespace vexodl::cli
