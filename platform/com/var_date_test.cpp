#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "platform/com/oledate.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"

namespace {

using com::OleDateParts;

constexpr double kSecond = 1.0 / 86400;
constexpr double k20020304 = 37319;           // days from 1899-12-30
constexpr double k131415 = 47655.0 / 86400;  // 13:14:15

struct ParseCase {
  const char16_t* text;
  double expected;  // NAN: DISP_E_TYPEMISMATCH
};

TEST(VarDateFromStrTest, AcceptedForms) {
  const ParseCase kCases[] = {
      {u"2002-03-04", k20020304},
      {u"  2002-03-04 ", k20020304},
      {u"2002-3-4", k20020304},
      {u"2002/03/04", k20020304},
      {u"2002-03-04T13:14:15", k20020304 + k131415},
      {u"2002-03-04 13:14:15", k20020304 + k131415},
      {u"3/4/2002", k20020304},
      {u"3-4-2002", k20020304},
      {u"3/4/02", k20020304},
      {u"3/4/99", 36223},  // 1999-03-04
      {u"3/4/2002 1:14:15 PM", k20020304 + k131415},
      {u"March 4, 2002", k20020304},
      {u"march 4 2002", k20020304},
      {u"Mar. 4, 2002", k20020304},
      {u"4 March 2002", k20020304},
      {u"4-Mar-2002", k20020304},
      {u"4 Mar. 2002", k20020304},
      {u"MARCH 4, 2002 1:14:15 pm", k20020304 + k131415},
      {u"13:14:15", k131415},
      {u"05:00:00", 5.0 / 24},
      {u"13:14", k131415 - 15 * kSecond},
      {u"1:14 PM", k131415 - 15 * kSecond},
      {u"1:14PM", k131415 - 15 * kSecond},
      {u"1:14:15 pm", k131415},
      {u"1 PM", 13.0 / 24},
      {u"12:00 AM", 0},
      {u"12:30 PM", 12.5 / 24},
      {u"11:59:59 PM", 1 - kSecond},
      {u"2/29/2000", 36585},
      {u"1/1/100", -657434},
      {u"12/31/9999 11:59:59 PM", 2958465 + 1 - kSecond},
      {u"12/30/1899", 0},
      // Before day 0 the time still counts forward from midnight.
      {u"12/29/1899 6:00", -1.25},
      {u"1899-12-29T06:00:00", -1.25},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(text::Narrow(c.text));
    DATE d = -7;
    ASSERT_EQ(VarDateFromStr(c.text, LOCALE_USER_DEFAULT, 0, &d), S_OK);
    EXPECT_DOUBLE_EQ(d, c.expected);
  }
}

TEST(VarDateFromStrTest, RejectedForms) {
  const char16_t* const kCases[] = {
      u"",
      u"   ",
      u"garbage",
      u"2002",
      u"3/4",
      u"March 2002",
      u"2002-13-04",
      u"2002-00-04",
      u"2002-02-30",
      u"2/29/2001",
      u"2002-03-32",
      u"2002-03-00",
      u"24:00",
      u"13:60",
      u"12:00:60",
      u"13 PM",
      u"13:00 PM",
      u"5",
      u"1/1/99999",
      u"1/1/0099",    // four digits are taken literally: year 99
      u"1/1/10000",
      u"2002-03-04x",
      u"2002-03-04T",
      u"2002-03-04Z",
      u"2002-03-04+05:00",
      u"2002-03-04T13:14:15.5",
      u"3/4/2002T13:14",
      u"3/4/2002 5",
      u"3/4-2002",
      u"4-Mar 2002",
      u"13:14:15 2002-03-04",
      u"Smarch 4, 2002",
      u"123:14",
      u"1:2:3:4",
      u"\u0663/4/2002",
  };
  for (const char16_t* text : kCases) {
    SCOPED_TRACE(text::Narrow(text));
    DATE d = -7;
    EXPECT_EQ(VarDateFromStr(text, 0, 0, &d), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(d, -7) << "untouched";
  }
  DATE d;
  EXPECT_EQ(VarDateFromStr(nullptr, 0, 0, &d), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VarDateFromStr(u"2002-03-04", 0, 0, nullptr), E_INVALIDARG);
  // Long text is refused before any parsing.
  const std::u16string padded = std::u16string(500, u' ') + u"2002-03-04";
  EXPECT_EQ(VarDateFromStr(padded.c_str(), 0, 0, &d), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VarDateFromText(std::u16string_view(u"2002-03-04\0x", 12), 0, &d),
            DISP_E_TYPEMISMATCH);
}

TEST(VarDateFromStrTest, ValueOnlyFlags) {
  struct Case {
    const char16_t* text;
    ULONG flags;
    double expected;
  };
  const Case kCases[] = {
      {u"2002-03-04T13:14:15", VAR_DATEVALUEONLY, k20020304},
      {u"2002-03-04T13:14:15", VAR_TIMEVALUEONLY, k131415},
      {u"13:14:15", VAR_DATEVALUEONLY, 0},
      {u"2002-03-04", VAR_TIMEVALUEONLY, 0},
      {u"1899-12-29 06:00", VAR_TIMEVALUEONLY, 0.25},
      {u"1899-12-29 06:00", VAR_DATEVALUEONLY, -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(text::Narrow(c.text) + " flags " + std::to_string(c.flags));
    DATE d;
    ASSERT_EQ(VarDateFromStr(c.text, LOCALE_SYSTEM_DEFAULT, c.flags, &d), S_OK);
    EXPECT_DOUBLE_EQ(d, c.expected);
  }
  // A dropped half must still be valid.
  DATE d;
  EXPECT_EQ(VarDateFromStr(u"2002-02-30T10:00:00", 0, VAR_TIMEVALUEONLY, &d),
            DISP_E_TYPEMISMATCH);
}

TEST(OleDateTest, CivilDayNumbers) {
  EXPECT_EQ(com::DaysFromCivil(1899, 12, 30), 0);
  EXPECT_EQ(com::DaysFromCivil(1900, 1, 1), 2);
  EXPECT_EQ(com::DaysFromCivil(1900, 3, 1) - com::DaysFromCivil(1900, 2, 28), 1)
      << "1900 is no leap year";
  EXPECT_EQ(com::DaysFromCivil(2000, 3, 1) - com::DaysFromCivil(2000, 2, 28), 2);
  EXPECT_EQ(com::DaysFromCivil(2002, 3, 4), 37319);
  EXPECT_EQ(com::DaysFromCivil(100, 1, 1), -657434);
  EXPECT_EQ(com::DaysFromCivil(9999, 12, 31), 2958465);
  EXPECT_EQ(com::DaysInMonth(2000, 2), 29);
  EXPECT_EQ(com::DaysInMonth(2100, 2), 28);
  EXPECT_EQ(com::DaysInMonth(2001, 13), 0);
}

TEST(OleDateTest, PartsOfDates) {
  struct Case {
    double date;
    OleDateParts parts;
  };
  const Case kCases[] = {
      {37319.5515625, {2002, 3, 4, 13, 14, 15, 0, 1}},
      {0, {1899, 12, 30, 0, 0, 0, 0, 6}},
      {-1.25, {1899, 12, 29, 6, 0, 0, 0, 5}},
      {-0.25, {1899, 12, 30, 6, 0, 0, 0, 6}},
      {0.25, {1899, 12, 30, 6, 0, 0, 0, 6}},
      {2.0 + 1.5 / 86400, {1900, 1, 1, 0, 0, 1, 500, 1}},
      {37319.999999999, {2002, 3, 5, 0, 0, 0, 0, 2}},  // rounds to the next day
      {-657434, {100, 1, 1, 0, 0, 0, 0, 5}},
      {2958465.5, {9999, 12, 31, 12, 0, 0, 0, 5}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.date);
    OleDateParts p;
    ASSERT_TRUE(com::OleDateToParts(c.date, &p));
    EXPECT_EQ(p.year, c.parts.year);
    EXPECT_EQ(p.month, c.parts.month);
    EXPECT_EQ(p.day, c.parts.day);
    EXPECT_EQ(p.hour, c.parts.hour);
    EXPECT_EQ(p.minute, c.parts.minute);
    EXPECT_EQ(p.second, c.parts.second);
    EXPECT_EQ(p.millisecond, c.parts.millisecond);
    EXPECT_EQ(p.day_of_week, c.parts.day_of_week);
  }
  OleDateParts p;
  for (double bad : {-657435.0, 2958466.0, 1e300, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity()}) {
    EXPECT_FALSE(com::OleDateToParts(bad, &p)) << bad;
  }
  EXPECT_FALSE(com::OleDateToParts(2958465.9999999999, &p)) << "rounds into year 10000";
}

TEST(OleDateTest, PartsRoundTrip) {
  std::mt19937 rng(42);
  for (int i = 0; i < 5000; ++i) {
    OleDateParts p;
    p.year = std::uniform_int_distribution<int>(100, 9999)(rng);
    p.month = std::uniform_int_distribution<int>(1, 12)(rng);
    p.day = std::uniform_int_distribution<int>(1, com::DaysInMonth(p.year, p.month))(rng);
    p.hour = std::uniform_int_distribution<int>(0, 23)(rng);
    p.minute = std::uniform_int_distribution<int>(0, 59)(rng);
    p.second = std::uniform_int_distribution<int>(0, 59)(rng);
    p.millisecond = std::uniform_int_distribution<int>(0, 999)(rng);
    DATE d;
    ASSERT_TRUE(com::OleDateFromParts(p, &d));
    OleDateParts back;
    ASSERT_TRUE(com::OleDateToParts(d, &back)) << d;
    EXPECT_EQ(std::tie(back.year, back.month, back.day, back.hour, back.minute, back.second,
                       back.millisecond),
              std::tie(p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond))
        << d;
  }
}

TEST(OleDateTest, FieldsOutOfRangeAreRefused) {
  const OleDateParts kBad[] = {
      {1900, 2, 29}, {2001, 0, 1},  {2001, 13, 1},         {2001, 1, 0},
      {99, 12, 31},  {10000, 1, 1}, {2001, 1, 1, 24},      {2001, 1, 1, 0, 60},
      {2001, 1, 1, 0, 0, 60},       {2001, 1, 1, 0, 0, 0, 1000}, {2001, 1, 1, -1},
  };
  for (const auto& p : kBad) {
    DATE d = 5;
    EXPECT_FALSE(com::OleDateFromParts(p, &d)) << p.year << "-" << p.month << "-" << p.day;
    EXPECT_EQ(d, 5);
  }
}

TEST(OleDateTest, TextForm) {
  const std::pair<double, const char16_t*> kCases[] = {
      {37319, u"3/4/2002"},
      {37319.5515625, u"3/4/2002 1:14:15 PM"},
      {0, u"12:00:00 AM"},
      {0.5, u"12:00:00 PM"},
      {-1.25, u"12/29/1899 6:00:00 AM"},
      {-657434, u"1/1/100"},
      {37319 + 86399.6 / 86400, u"3/5/2002"},  // rounded to the second
      {2958465.99999999, u"12/31/9999 11:59:59 PM"},
  };
  for (const auto& [date, expected] : kCases) {
    std::u16string s;
    ASSERT_TRUE(com::OleDateToText(date, &s)) << date;
    EXPECT_EQ(text::Narrow(s), text::Narrow(expected));
  }
  std::u16string s;
  EXPECT_FALSE(com::OleDateToText(std::nan(""), &s));
}

}  // namespace
