// VarDateFromStr: the date and time forms the system meets, read without any
// locale: ISO "2002-03-04[T| ]13:14:15", US "3/4/2002" and "3-4-02", month
// names "March 4, 2002" / "4 March 2002" / "4-Mar-2002", and times "13:14",
// "13:14:15", "1:14 PM", "1 PM", each alone or after a date. A field out of
// its range fails rather than being reinterpreted.
#include <string>

#include "platform/com/oledate.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"

namespace {

constexpr size_t kMaxDateText = 128;  // longer text is no date we write or read
constexpr int kMaxTokens = 16;
constexpr int kMaxNumberDigits = 9;
constexpr size_t kMaxWord = 12;

struct Token {
  enum class Kind { Number, Word, Sep } kind;
  int value = 0;   // Number
  int digits = 0;  // Number
  char sep = 0;    // Sep
  std::string word;  // Word, lower case
};

bool Tokenize(std::u16string_view s, Token* tokens, int* count) {
  int n = 0;
  size_t i = 0;
  while (i < s.size()) {
    const char16_t c = s[i];
    if (text::IsSpace(c)) {
      ++i;
      continue;
    }
    if (n == kMaxTokens) return false;
    Token& t = tokens[n++];
    if (c >= u'0' && c <= u'9') {
      t.kind = Token::Kind::Number;
      for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
        if (++t.digits > kMaxNumberDigits) return false;
        t.value = t.value * 10 + (s[i] - u'0');
      }
    } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) {
      t.kind = Token::Kind::Word;
      for (; i < s.size() && ((s[i] >= u'a' && s[i] <= u'z') || (s[i] >= u'A' && s[i] <= u'Z'));
           ++i) {
        if (t.word.size() == kMaxWord) return false;
        t.word += text::AsciiToLower(static_cast<char>(s[i]));
      }
    } else if (c == u'/' || c == u'-' || c == u':' || c == u',' || c == u'.') {
      t.kind = Token::Kind::Sep;
      t.sep = static_cast<char>(c);
      ++i;
    } else {
      return false;
    }
  }
  *count = n;
  return true;
}

// 1..12 for a month's full name or its first three letters ("sept" too).
int MonthOf(const std::string& w) {
  static constexpr const char* kMonths[] = {"january", "february", "march",     "april",
                                            "may",     "june",     "july",      "august",
                                            "september", "october", "november", "december"};
  for (int m = 0; m < 12; ++m) {
    const std::string_view full = kMonths[m];
    if (w == full || w == full.substr(0, 3) || (m == 8 && w == "sept")) return m + 1;
  }
  return 0;
}

// Two-digit years: 00..29 are 2000..2029, 30..99 are 1930..1999.
int YearOf(const Token& t) {
  if (t.digits <= 2) return t.value < 30 ? 2000 + t.value : 1900 + t.value;
  return t.value;
}

class DateParser {
 public:
  DateParser(const Token* tokens, int count) : t_(tokens), n_(count) {}

  bool Parse(com::OleDateParts* p, bool* has_date, bool* has_time) {
    bool iso = false;
    const int start = pos_;
    *has_date = ParseDate(p, &iso);
    if (!*has_date) pos_ = start;
    if (*has_date && iso && AtWord("t")) {
      ++pos_;
      if (pos_ == n_) return false;
    }
    *has_time = pos_ < n_;
    if (*has_time && !ParseTime(p)) return false;
    return pos_ == n_ && (*has_date || *has_time);
  }

 private:
  bool AtNumber() const { return pos_ < n_ && t_[pos_].kind == Token::Kind::Number; }
  bool AtWord(const char* w) const {
    return pos_ < n_ && t_[pos_].kind == Token::Kind::Word && t_[pos_].word == w;
  }
  bool AtSep(char c) const {
    return pos_ < n_ && t_[pos_].kind == Token::Kind::Sep && t_[pos_].sep == c;
  }
  bool TakeSep(char c) { return AtSep(c) ? (++pos_, true) : false; }
  const Token* TakeNumber() { return AtNumber() ? &t_[pos_++] : nullptr; }
  int TakeMonth() {
    if (pos_ >= n_ || t_[pos_].kind != Token::Kind::Word) return 0;
    const int m = MonthOf(t_[pos_].word);
    if (m) ++pos_;
    return m;
  }

  bool ParseDate(com::OleDateParts* p, bool* iso) {
    if (const Token* a = TakeNumber()) {
      char sep = 0;
      if (TakeSep('/')) {
        sep = '/';
      } else if (TakeSep('-')) {
        sep = '-';
      }
      if (const int month = TakeMonth()) {  // "4 March 2002", "4-Mar-2002"
        if (sep) {
          if (!TakeSep(sep)) return false;
        } else if (!TakeSep('.')) {
          TakeSep(',');
        }
        const Token* y = TakeNumber();
        if (!y) return false;
        *p = {YearOf(*y), month, a->value};
        return true;
      }
      const Token* b = sep ? TakeNumber() : nullptr;
      if (!b || !TakeSep(sep)) return false;
      const Token* c = TakeNumber();
      if (!c) return false;
      if (a->digits >= 3) {  // year first: "2002-03-04", "2002/3/4"
        *p = {a->value, b->value, c->value};
        *iso = sep == '-';
      } else {
        *p = {YearOf(*c), a->value, b->value};
      }
      return true;
    }
    if (const int month = TakeMonth()) {  // "March 4, 2002", "Mar. 4 2002"
      TakeSep('.');
      const Token* d = TakeNumber();
      if (!d) return false;
      TakeSep(',');
      const Token* y = TakeNumber();
      if (!y) return false;
      *p = {YearOf(*y), month, d->value};
      return true;
    }
    return false;
  }

  bool ParseTime(com::OleDateParts* p) {
    const Token* h = TakeNumber();
    if (!h || h->digits > 2) return false;
    const Token* m = nullptr;
    const Token* s = nullptr;
    if (TakeSep(':')) {
      if (!(m = TakeNumber()) || m->digits > 2) return false;
      if (TakeSep(':') && (!(s = TakeNumber()) || s->digits > 2)) return false;
    }
    const bool am = AtWord("am"), pm = AtWord("pm");
    if (am || pm) {
      ++pos_;
      if (h->value > 12) return false;
      p->hour = pm ? (h->value % 12) + 12 : h->value % 12;
    } else {
      if (!m) return false;  // a lone number is no time
      p->hour = h->value;
    }
    p->minute = m ? m->value : 0;
    p->second = s ? s->value : 0;
    return true;
  }

  const Token* t_;
  int n_;
  int pos_ = 0;
};

}  // namespace

HRESULT VarDateFromText(std::u16string_view text, ULONG flags, DATE* out) {
  if (!out) return E_INVALIDARG;
  if (text.size() > kMaxDateText) return DISP_E_TYPEMISMATCH;
  Token tokens[kMaxTokens];
  int count = 0;
  if (!Tokenize(text, tokens, &count)) return DISP_E_TYPEMISMATCH;
  com::OleDateParts p;
  bool has_date = false, has_time = false;
  if (!DateParser(tokens, count).Parse(&p, &has_date, &has_time)) return DISP_E_TYPEMISMATCH;
  com::OleDateParts time_only = p;
  time_only.year = 1899, time_only.month = 12, time_only.day = 30;
  DATE date = 0, time = 0;
  // Each half is checked even when the flags drop it.
  if ((has_date && !com::OleDateFromParts({p.year, p.month, p.day}, &date)) ||
      !com::OleDateFromParts(time_only, &time)) {
    return DISP_E_TYPEMISMATCH;
  }
  if (flags & VAR_TIMEVALUEONLY) {
    *out = time;
  } else if (flags & VAR_DATEVALUEONLY) {
    *out = date;
  } else {
    *out = date >= 0 ? date + time : date - time;
  }
  return S_OK;
}

HRESULT VarDateFromStr(LPCOLESTR text, LCID, ULONG flags, DATE* out) {
  if (!out) return E_INVALIDARG;
  if (!text) return DISP_E_TYPEMISMATCH;
  size_t n = 0;
  while (n <= kMaxDateText && text[n]) ++n;
  return VarDateFromText({text, n}, flags, out);
}
