#include "httpclient/response_parser.h"

#include <algorithm>
#include <climits>

#include "platform/text/text.h"

namespace httpclient {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A Content-Length value: blanks, then at least one digit; saturates.
bool ParseLength(std::string_view s, uint64_t* out) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  if (i == s.size() || !IsDigit(s[i])) return false;
  uint64_t v = 0;
  for (; i < s.size() && IsDigit(s[i]); ++i) {
    const unsigned d = static_cast<unsigned>(s[i] - '0');
    v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
  }
  *out = v;
  return true;
}

}  // namespace

int AToI(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && text::IsAsciiSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int64_t v = 0;
  for (; i < s.size() && IsDigit(s[i]); ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > int64_t{INT_MAX} + 1) v = int64_t{INT_MAX} + 1;
  }
  if (negative) return static_cast<int>(-v);
  return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

void ResponseParser::Reset() {
  buffer_.clear();
  scan_ = 0;
  lines_.clear();
  status_line_parsed_ = false;
  head_complete_ = false;
  error_ = Error::None;
  status_code_.clear();
  reason_.clear();
  major_ = 1;
  minor_ = 0;
  has_content_length_ = false;
  content_length_ = 0;
  content_type_.clear();
}

bool ResponseParser::Append(std::string_view bytes) {
  if (error_ != Error::None) return false;
  if (head_complete_) {
    if (bytes.size() > max_body_length_ - buffer_.size()) {
      error_ = Error::BodyTooLong;
      return false;
    }
    buffer_.append(bytes);
    return true;
  }
  // The head is held within kMaxResponseHeadLength, so this cannot wrap.
  buffer_.append(bytes);
  ParseHead();
  if (!head_complete_) {
    if (buffer_.size() > kMaxResponseHeadLength) error_ = Error::HeadTooLong;
  } else if (buffer_.size() > max_body_length_ ||
             (AnnouncesBodyLength() && content_length_ > max_body_length_)) {
    error_ = Error::BodyTooLong;
  }
  return error_ == Error::None;
}

void ResponseParser::ParseHead() {
  if (!status_line_parsed_) {
    const size_t lf = buffer_.find('\n');
    if (lf == std::string::npos) return;
    std::string_view line(buffer_.data(), lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    status_line_parsed_ = true;
    // A line that fails to parse (no reason phrase, say) still goes on to
    // the headers now: waiting for another read would make the outcome
    // depend on how the response was cut into segments.
    if (ParseStatusLine(line) && major_ == 0) {
      head_complete_ = true;  // no headers: every byte is body
      return;
    }
  }
  // A line is taken only once its line feed has arrived; a CR that is the
  // last byte so far stays until then.
  for (;;) {
    const size_t lf = buffer_.find('\n', scan_);
    if (lf == std::string::npos) return;
    std::string_view line(buffer_.data() + scan_, lf - scan_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    scan_ = lf + 1;
    if (!line.empty()) {
      lines_.emplace_back(line);
      continue;
    }
    head_complete_ = true;
    buffer_.erase(0, scan_);
    scan_ = 0;
    // Continuation lines join the line before them; the first line is the
    // status line, which goes once they are joined.
    size_t kept = 0;
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (i > 0 && (lines_[i][0] == ' ' || lines_[i][0] == '\t')) {
        lines_[kept - 1] += lines_[i];
      } else {
        if (kept != i) lines_[kept] = std::move(lines_[i]);
        ++kept;
      }
    }
    lines_.resize(kept);
    if (!lines_.empty()) lines_.erase(lines_.begin());
    if (major_ > 0) ReadEntityHeaders();
    return;
  }
}

bool ResponseParser::ParseStatusLine(std::string_view line) {
  std::string_view parts[3];
  size_t count = 0;
  size_t i = 0;
  while (count < 3) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i == line.size()) break;
    const size_t end = std::min(line.find(' ', i), line.size());
    parts[count++] = line.substr(i, end - i);
    i = end;
  }
  const size_t http = parts[0].find("HTTP/");
  if (http == std::string_view::npos) {
    major_ = 0;
    minor_ = 9;
    return true;
  }
  const std::string_view version = parts[0].substr(http + 5);
  const size_t dot = version.find('.');
  const std::string_view first = version.substr(0, dot);
  if (first.empty() || !IsDigit(first[0])) return false;
  major_ = AToI(first);
  if (dot == std::string_view::npos || dot + 1 == version.size() || !IsDigit(version[dot + 1])) {
    return false;
  }
  minor_ = AToI(version.substr(dot + 1));
  if (count < 2) return false;
  status_code_ = parts[1];
  if (count < 3) return false;
  reason_ = parts[2];
  return true;
}

void ResponseParser::ReadEntityHeaders() {
  for (const std::string& line : lines_) {
    const size_t sep = line.find(": ");
    if (sep == std::string::npos) continue;
    const std::string_view name(line.data(), sep);
    const std::string_view value = std::string_view(line).substr(sep + 2);
    if (text::AsciiIEquals(name, "CONTENT-LENGTH")) {
      has_content_length_ = ParseLength(value, &content_length_);
      if (!has_content_length_) content_length_ = 0;
    } else if (text::AsciiIEquals(name, "CONTENT-TYPE")) {
      content_type_.assign(value);
    }
  }
}

int ResponseParser::GetStatusCode() const { return AToI(status_code_); }

bool ResponseParser::AnnouncesBodyLength() const {
  if (!head_complete_ || !has_content_length_ || head_request_) return false;
  const int status = GetStatusCode();
  return !((status >= 100 && status < 200) || status == 204 || status == 304);
}

std::string ResponseParser::GetHeader(std::string_view name) const {
  for (const std::string& line : lines_) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (text::AsciiIEquals(std::string_view(line.data(), colon), name)) return line.substr(colon + 1);
  }
  return {};
}

}  // namespace httpclient
