// ResponseParser: the receiving half of an HTTP/1.x exchange. Bytes are
// appended as they arrive; the status line and header lines are taken off
// the front once the empty line that ends them has arrived, and everything
// after it is the body. It never reads past the bytes it was given and keeps
// the head and the body within named limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace httpclient {

// Longest status line plus header block; a longer head fails the response.
inline constexpr size_t kMaxResponseHeadLength = 64 * 1024;
// Default limit of a response body, far above any document we fetch.
inline constexpr size_t kMaxResponseBodyLength = size_t{256} << 20;

class ResponseParser {
 public:
  enum class Error {
    None,
    HeadTooLong,  // no end of head within kMaxResponseHeadLength bytes
    BodyTooLong,  // body, or its announced Content-Length, above the body limit
  };

  // Forgets the response; the body limit and the HEAD setting stay.
  void Reset();
  void SetMaxBodyLength(size_t limit) { max_body_length_ = limit; }
  size_t max_body_length() const { return max_body_length_; }
  // The request was HEAD: the answer's Content-Length describes a body that
  // is not sent.
  void SetHeadRequest(bool head) { head_request_ = head; }

  // Appends received bytes and, while the head is incomplete, parses as much
  // of it as has arrived. False (and error() says why) when a limit is
  // exceeded; the response then stays failed and takes no more bytes.
  [[nodiscard]] bool Append(std::string_view bytes);

  // True once the empty line after the headers arrived (or at once for a
  // response without a version, whose bytes are all body).
  bool head_complete() const { return head_complete_; }
  Error error() const { return error_; }

  // atoi of the status code text: 0 when no status line was read.
  int GetStatusCode() const;
  const std::string& status_code_text() const { return status_code_; }
  // The third blank-separated part of the status line only.
  const std::string& reason_text() const { return reason_; }
  int major_version() const { return major_; }
  int minor_version() const { return minor_; }

  // Content-Length as announced; present only when it is a decimal number.
  bool has_content_length() const { return has_content_length_; }
  // The bytes the body must hold: the Content-Length of a complete head,
  // unless the answer has no body (a HEAD request; status 1xx, 204 or 304).
  bool AnnouncesBodyLength() const;
  uint64_t content_length() const { return content_length_; }
  const std::string& content_type() const { return content_type_; }

  // Header lines in arrival order, continuation lines joined, without the
  // status line.
  const std::vector<std::string>& header_lines() const { return lines_; }
  // The text after the first ':' of the first header line whose name equals
  // `name` ignoring ASCII case (leading blanks kept); "" when there is none.
  std::string GetHeader(std::string_view name) const;

  // The body once the head is complete; until then every byte received.
  const std::string& body() const { return buffer_; }
  // Drops the body bytes held so far (a reader that consumes them itself).
  void ClearBody() { buffer_.clear(); }

 private:
  void ParseHead();
  // Reads the version, status code and reason; false when a part is missing
  // or malformed (what was read before stays).
  bool ParseStatusLine(std::string_view line);
  void ReadEntityHeaders();

  std::string buffer_;
  size_t scan_ = 0;  // start of the first header line not yet taken
  std::vector<std::string> lines_;
  bool status_line_parsed_ = false;
  bool head_complete_ = false;
  Error error_ = Error::None;
  std::string status_code_;
  std::string reason_;
  int major_ = 1;
  int minor_ = 0;
  bool has_content_length_ = false;
  uint64_t content_length_ = 0;
  std::string content_type_;
  size_t max_body_length_ = kMaxResponseBodyLength;
  bool head_request_ = false;
};

// The C library's atoi without its undefined overflow: leading blanks, a
// sign, decimal digits; anything else ends the number; saturates.
int AToI(std::string_view s);

}  // namespace httpclient
