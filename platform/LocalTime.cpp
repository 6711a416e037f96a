#include "platform/LocalTime.h"

#include <ctime>

namespace localtime_ {

bool ToLocal(int64_t t, CalendarFields& out) {
  // Times before 1970 are rejected like the calendar conversion the tree texts are
  // defined by; so are years past 3000.
  if (t < 0 || t > 32503680000LL) return false;
  time_t tt = static_cast<time_t>(t);
  struct tm tmv {};
  if (!localtime_r(&tt, &tmv)) return false;
  out.nYear = tmv.tm_year + 1900;
  out.nMonth = tmv.tm_mon + 1;
  out.nDay = tmv.tm_mday;
  out.nHour = tmv.tm_hour;
  out.nMinute = tmv.tm_min;
  out.nSecond = tmv.tm_sec;
  return true;
}

bool FromLocal(const CalendarFields& in, int64_t& t) {
  struct tm tmv {};
  tmv.tm_year = in.nYear - 1900;
  tmv.tm_mon = in.nMonth - 1;
  tmv.tm_mday = in.nDay;
  tmv.tm_hour = in.nHour;
  tmv.tm_min = in.nMinute;
  tmv.tm_sec = in.nSecond;
  tmv.tm_isdst = -1;
  time_t r = mktime(&tmv);
  if (r == static_cast<time_t>(-1)) return false;
  t = static_cast<int64_t>(r);
  return true;
}

int64_t Now() { return static_cast<int64_t>(time(nullptr)); }

}  // namespace localtime_
