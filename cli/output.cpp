#include "output.h"

#include <cstdio>
#include <memory>
#include <sstream>
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

enum class Notation {
  kTerminal,  // text for a terminal line
  kJson,      // JsonCpp's output, which escapes C0 controls, quotes and backslashes itself
};

// The one escaper (output.h, Escape). In JSON text, a C0 control is either escaped already or the
// writer's own line break, and a byte that is not UTF-8 has no escape: it becomes U+FFFD.
std::string EscapeAs(const std::string& text, Notation notation) {
  const bool json = notation == Notation::kJson;
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = common::Utf8SequenceLength(text, i);
    const bool c1 = length == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0;
    if (length == 0) {
      out += json ? "\\ufffd" : Hex("\\x%02x", c);
    } else if (c1) {
      // C1 controls, U+0080 to U+009F: some terminals act on them as on ESC sequences.
      out += Hex("\\u%04x", static_cast<unsigned char>(text[i + 1]));
    } else if (c == 0x7f || (c < 0x20 && !json)) {
      switch (c) {
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          out += Hex("\\u%04x", c);
      }
    } else {
      out.append(text, i, length);
    }
    i += length == 0 ? 1 : length;
  }
  return out;
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

std::string Escape(const std::string& text) { return EscapeAs(text, Notation::kTerminal); }

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
  out << EscapeAs(text.str(), Notation::kJson) << '\n';
}

}  // namespace vexodl::cli
