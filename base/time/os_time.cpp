// Time module: local date and time of day from the system clock.
#include "os_time.h"

#include <cstdio>
#include <ctime>

namespace {
std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  return parts;
}
}  // namespace

os_date os_date::today() {
  const std::tm parts = LocalNow();
  os_date date;
  date.year_ = parts.tm_year + 1900;
  date.month_ = parts.tm_mon + 1;
  date.day_ = parts.tm_mday;
  return date;
}

std::string os_date::to_string() const {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year_, month_, day_);
  return text;
}

os_time os_time::now() {
  const std::tm parts = LocalNow();
  os_time time;
  time.hour_ = parts.tm_hour;
  time.minute_ = parts.tm_min;
  time.second_ = parts.tm_sec;
  return time;
}

std::string os_time::to_string() const {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", hour_, minute_, second_);
  return text;
}
