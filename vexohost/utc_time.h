#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vexodl::vexohost::internal {

// Seconds since 1970-01-01T00:00:00Z of a UTC time written "YYYY-MM-DDTHH:MM:SSZ"; nullopt for
// anything else, impossible dates (2023-02-29) and times (24:00:00) included.
std::optional<std::int64_t> ParseUtcTime(const std::string& text);

// `seconds` since 1970-01-01T00:00:00Z written as ParseUtcTime reads it; nullopt for a time before
// the year 0000 or after 9999, which that form cannot hold.
std::optional<std::string> FormatUtcTime(std::int64_t seconds);

}  // namespace vexodl::vexohost::internal
