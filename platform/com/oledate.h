// OLE dates (DATE): days since 30 December 1899 in the proleptic Gregorian
// calendar, with the time of day as the fraction. For a negative date the
// fraction still counts forward from midnight: -1.25 is 29 December 1899,
// 06:00, and -0.25 is the same instant as 0.25. Valid dates run from
// 1 January 100 to 31 December 9999, as in OLE Automation.
#pragma once

#include <string>

#include "platform/base/base.h"

namespace com {

inline constexpr DATE kOleDateMin = -657434.0;  // 100-01-01 00:00:00
inline constexpr DATE kOleDateMax = 2958465.0;  // 9999-12-31 00:00:00; its day runs to +1.0

struct OleDateParts {
  int year = 1899;   // 100..9999
  int month = 12;    // 1..12
  int day = 30;      // 1..days in month
  int hour = 0;      // 0..23
  int minute = 0;    // 0..59
  int second = 0;    // 0..59
  int millisecond = 0;  // 0..999
  int day_of_week = 0;  // 0 = Sunday; written by OleDateToParts, ignored on input
};

// True when `d` lies in the valid range (the whole last day included).
bool IsValidOleDate(DATE d);

// Builds the date of `parts`. False (and *out untouched) when any field is out
// of its range, e.g. 30 February or hour 24.
[[nodiscard]] bool OleDateFromParts(const OleDateParts& parts, DATE* out);

// Splits `d`, rounded to the nearest millisecond. False (and *out untouched)
// for a date outside the valid range or a NaN.
[[nodiscard]] bool OleDateToParts(DATE d, OleDateParts* out);

// Days from 30 December 1899 to the given civil date (no range checks beyond
// what the arithmetic needs; month 1..12).
int64_t DaysFromCivil(int64_t year, int month, int day);
// The civil date of day `days` counted from 30 December 1899 (the inverse).
void CivilFromDays(int64_t days, int* year, int* month, int* day);
int DaysInMonth(int year, int month);  // 0 for a month outside 1..12

// The fixed, locale-free text form used when a date becomes a string:
// "M/D/YYYY h:mm:ss AM" rounded to the second, the date alone when the time is
// midnight and the time alone on day 0 (30 December 1899), e.g. "3/4/2002",
// "1:14:15 PM", "3/4/2002 1:14:15 PM". VarDateFromStr reads every such form
// back. False for a date outside the valid range or a NaN.
[[nodiscard]] bool OleDateToText(DATE d, std::u16string* out);

}  // namespace com
