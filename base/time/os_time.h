// Time module: today's date and the current time of day, as ISO texts for messages.
// Thread safety: values; safe from any thread.
#pragma once

#include <string>

class os_date {
 public:
  static os_date today();
  // "YYYY-MM-DD" in local time.
  std::string to_string() const;

 private:
  int year_ = 1970, month_ = 1, day_ = 1;
};

class os_time {
 public:
  static os_time now();
  // "HH:MM:SS" in local time.
  std::string to_string() const;

 private:
  int hour_ = 0, minute_ = 0, second_ = 0;
};
