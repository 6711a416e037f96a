// Local-time conversion under the process time zone.
#pragma once

#include <cstdint>

namespace localtime_ {

struct CalendarFields {
  int nYear = 0, nMonth = 0, nDay = 0, nHour = 0, nMinute = 0, nSecond = 0;
};

// Seconds since 1970-01-01 00:00 UTC to local calendar fields. False for times the
// conversion rejects (before 1970, or beyond what the calendar can hold).
bool ToLocal(int64_t t, CalendarFields& out);
// Local calendar fields to seconds since 1970; false when they do not form a time.
bool FromLocal(const CalendarFields& in, int64_t& t);
// The current time, seconds since 1970.
int64_t Now();

}  // namespace localtime_
