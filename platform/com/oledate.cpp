// OLE date arithmetic over the proleptic Gregorian calendar.
#include "platform/com/oledate.h"

#include <cmath>
#include <cstdio>

#include "platform/text/text.h"

namespace com {
namespace {

constexpr int64_t kMsPerDay = 86400000;

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Civil date of day `z` counted from 1970-01-01 (era-based: 400-year cycles).
void CivilFromEpochDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;                                  // 0..146096
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0..399
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);           // 0..365
  const int64_t mp = (5 * doy + 2) / 153;                                // March = 0
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yoe + era * 400 + (*month <= 2));
}

int64_t EpochDaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = FloorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

constexpr int64_t kOleEpochFromUnix = -25569;  // 1899-12-30 in days from 1970-01-01

}  // namespace

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

int64_t DaysFromCivil(int64_t year, int month, int day) {
  return EpochDaysFromCivil(year, month, day) - kOleEpochFromUnix;
}

void CivilFromDays(int64_t days, int* year, int* month, int* day) {
  CivilFromEpochDays(days + kOleEpochFromUnix, year, month, day);
}

bool IsValidOleDate(DATE d) { return d > kOleDateMin - 1.0 && d < kOleDateMax + 1.0; }

bool OleDateFromParts(const OleDateParts& p, DATE* out) {
  if (p.year < 100 || p.year > 9999 || p.day < 1 || p.day > DaysInMonth(p.year, p.month) ||
      p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59 || p.second < 0 ||
      p.second > 59 || p.millisecond < 0 || p.millisecond > 999) {
    return false;
  }
  const double days = static_cast<double>(DaysFromCivil(p.year, p.month, p.day));
  const double time =
      ((p.hour * 60.0 + p.minute) * 60.0 + p.second + p.millisecond / 1000.0) / 86400.0;
  *out = days >= 0 ? days + time : days - time;
  return true;
}

namespace {

// Milliseconds from the epoch, the time of day always added to the day's
// start; false outside the valid range or for a NaN.
bool ToLinearMs(DATE d, int64_t* ms) {
  if (!IsValidOleDate(d)) return false;  // NaN fails every comparison
  const double whole = std::trunc(d);
  const double frac = std::fabs(d - whole);
  *ms = static_cast<int64_t>(whole) * kMsPerDay +
        std::llround(frac * static_cast<double>(kMsPerDay));
  return true;
}

// False when rounding carried the last instant into year 10000.
bool PartsFromLinearMs(int64_t ms, OleDateParts* out) {
  const int64_t day = FloorDiv(ms, kMsPerDay);
  int64_t rest = ms - day * kMsPerDay;
  OleDateParts p;
  const int64_t unix_day = day + kOleEpochFromUnix;
  CivilFromEpochDays(unix_day, &p.year, &p.month, &p.day);
  if (p.year > 9999) return false;
  p.millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  p.second = static_cast<int>(rest % 60);
  rest /= 60;
  p.minute = static_cast<int>(rest % 60);
  p.hour = static_cast<int>(rest / 60);
  p.day_of_week = static_cast<int>(((unix_day + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
  *out = p;
  return true;
}

}  // namespace

bool OleDateToParts(DATE d, OleDateParts* out) {
  int64_t ms;
  return ToLinearMs(d, &ms) && PartsFromLinearMs(ms, out);
}

bool OleDateToText(DATE d, std::u16string* out) {
  int64_t ms;
  OleDateParts p;
  if (!ToLinearMs(d, &ms)) return false;
  // The last half second of 9999 rounds down rather than into year 10000.
  if (!PartsFromLinearMs(FloorDiv(ms + 500, 1000) * 1000, &p) &&
      !PartsFromLinearMs(FloorDiv(ms, 1000) * 1000, &p)) {
    return false;
  }
  const bool has_date = !(p.year == 1899 && p.month == 12 && p.day == 30);
  const bool has_time = p.hour != 0 || p.minute != 0 || p.second != 0;
  std::string s;
  if (has_date) s = text::Format("%d/%d/%d", p.month, p.day, p.year);
  if (has_time || !has_date) {
    if (!s.empty()) s += ' ';
    const int h12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
    s += text::Format("%d:%02d:%02d %s", h12, p.minute, p.second, p.hour < 12 ? "AM" : "PM");
  }
  out->assign(s.begin(), s.end());
  return true;
}

}  // namespace com
