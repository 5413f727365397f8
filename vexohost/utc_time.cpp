#include "utc_time.h"

#include <cstdio>

namespace vexodl::vexohost::internal {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::int64_t> ParseUtcTime(const std::string& text) {
  // Computed here rather than with the C library, whose time functions depend on the locale, the
  // time zone or the width of time_t.
  static constexpr char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != sizeof kForm - 1) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kForm[i] == 'd' ? !IsDigit(text[i]) : text[i] != kForm[i]) return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t length) {
    std::int64_t value = 0;
    for (std::size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const std::int64_t year = number(0, 4);
  const std::int64_t month = number(5, 2);
  const std::int64_t day = number(8, 2);
  const std::int64_t hour = number(11, 2);
  const std::int64_t minute = number(14, 2);
  const std::int64_t second = number(17, 2);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 ||
      day > kMonthDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 || minute > 59 ||
      second > 59) {
    return std::nullopt;
  }
  // Days since 1970-01-01 in the proleptic Gregorian calendar, counted in 400-year eras that
  // begin on 1 March, so that a leap day ends its year.
  const std::int64_t march_year = month <= 2 ? year - 1 : year;
  const std::int64_t era = (march_year >= 0 ? march_year : march_year - 399) / 400;
  const std::int64_t year_of_era = march_year - era * 400;
  const std::int64_t day_of_year = (153 * ((month + 9) % 12) + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  const std::int64_t days = era * 146097 + day_of_era - 719468;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::optional<std::string> FormatUtcTime(std::int64_t seconds) {
  // ParseUtcTime's calendar backwards: days since 1970-01-01, then the year, month and day in
  // 400-year eras that begin on 1 March.
  const std::int64_t days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
  const std::int64_t second_of_day = seconds - days * 86400;
  const std::int64_t from_era_start = days + 719468;
  const std::int64_t era =
      (from_era_start >= 0 ? from_era_start : from_era_start - 146096) / 146097;
  const std::int64_t day_of_era = from_era_start - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t march_month = (5 * day_of_year + 2) / 153;  // 0 for March
  const std::int64_t day = day_of_year - (153 * march_month + 2) / 5 + 1;
  const std::int64_t month = march_month < 10 ? march_month + 3 : march_month - 9;
  const std::int64_t year = era * 400 + year_of_era + (month <= 2 ? 1 : 0);
  if (year < 0 || year > 9999) return std::nullopt;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(year),
                static_cast<int>(month), static_cast<int>(day),
                static_cast<int>(second_of_day / 3600), static_cast<int>(second_of_day / 60 % 60),
                static_cast<int>(second_of_day % 60));
  return text;
}

}  // namespace vexodl::vexohost::internal
