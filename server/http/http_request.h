// The request side of the server's HTTP: gathering the header block as bytes
// arrive (lines cut at carriage returns), the request line, the header fields
// with Content-Length, SOAPAction and Content-Type, URL decoding and the
// endpoint lookup on a configuration snapshot. Everything here is pure and
// works on views into the connection's own buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/http/config.h"

namespace server {

// A header block (request line and fields, line ends included) beyond this is
// refused with the 400 page.
inline constexpr size_t kMaxHeaderBlockBytes = 64 * 1024;
// One receive brings at most this many bytes.
inline constexpr size_t kMaxReceiveBytes = 4096;
// Header lines beyond this many are refused with the 400 page.
inline constexpr size_t kMaxHeaderLines = 1000;
// A body that is not DIME (and so is held in memory) beyond this is refused
// with the 400 page. DIME bodies stream to temporary storage instead.
inline constexpr uint64_t kMaxBodyBytes = 64ull * 1024 * 1024;
// Announced length of any body, DIME included.
inline constexpr uint64_t kMaxContentLength = 0x7FFFFFFF;
// At most this many bytes of decoded path.
inline constexpr size_t kMaxDecodedPathBytes = 2000;
// At most this many characters after "HTTP/" are read for the version.
inline constexpr size_t kMaxVersionChars = 16;

enum class Method : uint8_t { None = 0, Get = 1, Head = 2, Post = 3 };

// By the media type of Content-Type.
enum class ContentKind : uint8_t {
  None = 0,
  SoapXml = 1,    // "TEXT/XML": SOAP 1.1
  Soap12Xml = 2,  // "APPLICATION/SOAP+XML": SOAP 1.2
  Dime = 3,       // "APPLICATION/DIME"
};

// The exact, case-sensitive method table; anything else is Method::None.
Method MethodFromText(std::string_view method);

// atoi with its tolerance of leading blanks and trailing text, but telling
// overflow apart: false when the value does not fit an int (then *value is
// not set). Text without digits is 0.
[[nodiscard]] bool ParseDecimalInt(std::string_view text, int* value);

// Gathers the header block of one request from the bytes of successive
// receives. Lines are cut at carriage returns only; the byte after a carriage
// return is skipped only when it is a line feed, and a carriage return that
// is the last byte so far waits for the next byte. Cutting starts only once
// a line feed has arrived and stops at the first empty line.
class HeaderBlockReader {
 public:
  enum class Result {
    NeedMore,  // no empty line yet; feed the next receive
    Complete,  // the empty line arrived; Lines() and Rest() are final
    TooLarge,  // a block of more than kMaxHeaderBlockBytes (its empty line included)
               // or kMaxHeaderLines lines
  };

  // Empties the reader, keeping its storage for the next request.
  void Reset();
  // Appends the bytes (copied) and cuts what lines it can. After Complete or
  // TooLarge, further input is ignored and the result repeats.
  Result Feed(std::string_view bytes);

  // Whether a line feed has arrived in the bytes not yet cut into lines (or
  // ever, once a line was cut); before that nothing is cut.
  bool SawLineFeed() const { return saw_lf_; }
  // Whether the bytes so far end in a carriage return whose line waits for
  // the next byte.
  bool CarriageReturnPending() const {
    return result_ == Result::NeedMore && !buffer_.empty() && scan_ + 1 == buffer_.size() &&
           buffer_.back() == '\r';
  }
  size_t LineCount() const { return lines_.size(); }
  // Line i, without its line end; valid until the next Feed or Reset.
  std::string_view Line(size_t i) const {
    return std::string_view(buffer_).substr(lines_[i].first, lines_[i].second);
  }
  // Bytes after the empty line (the start of the body) once Complete.
  std::string_view Rest() const;
  size_t CapacityForTest() const { return buffer_.capacity(); }

 private:
  void Cut();

  std::string buffer_;
  std::vector<std::pair<uint32_t, uint32_t>> lines_;  // offset, length
  size_t scan_ = 0;                                   // next byte to examine for a carriage return
  size_t line_start_ = 0;                             // start of the line being gathered
  bool saw_lf_ = false;
  Result result_ = Result::NeedMore;
};

struct RequestLine {
  std::string_view methodText;
  Method method = Method::None;
  std::string_view uri;  // as received, query included
  int major = 0;
  int minor = 0;            // 0.9 when there is no version
  bool hasVersion = false;  // "HTTP/" was present
};

enum class RequestLineResult {
  Versioned,  // "HTTP/" and a version
  NoVersion,  // no "HTTP/": version 0.9
  Bad,        // the version lacks a number or one overflows, or there is no URI token
};

// Reads the first line. *out is filled as far as it got; its views point into
// `line`.
RequestLineResult ParseRequestLine(std::string_view line, RequestLine* out);

// "HTTP/%d.%d" of the numbers.
std::string VersionText(int major, int minor);

// Upper-cased media type and parameters of a Content-Type value.
struct MediaType {
  std::string type;                                         // trimmed, upper-cased
  std::vector<std::pair<std::string, std::string>> params;  // NAME, value
  // The value of a parameter by its upper-cased name; null when absent.
  const std::string* Param(std::string_view upperName) const;
};
// False when a parameter has no "=".
[[nodiscard]] bool ParseMediaType(std::string_view value, MediaType* out);

// The header fields of a request. Names compare without regard to ASCII
// case; a repeated name gets "," and the new value appended.
class RequestHeaders {
 public:
  void Clear();
  // Parses lines 1.. of `block` (the request line is skipped), folding
  // continuation lines onto the line before them. Lines without ": " are
  // ignored.
  void Parse(const HeaderBlockReader& block);
  // Null when absent. The view stays valid until Clear, Parse, or the
  // block's next Feed or Reset.
  const std::string_view* Find(std::string_view name) const;
  std::string_view Get(std::string_view name) const {
    const std::string_view* v = Find(name);
    return v != nullptr ? *v : std::string_view();
  }
  size_t Count() const { return fields_.size(); }
  // Bytes held in joined and folded values.
  size_t OwnedBytesForTest() const;

 private:
  struct Field {
    std::string_view name;
    std::string_view value;
    std::string* joined = nullptr;  // in owned_ once the name repeats
  };
  std::vector<Field> fields_;
  std::deque<std::string> owned_;  // folded lines and joined values
};

// What AnalyseRequestHeaders learns from the fields.
struct BodyInfo {
  uint64_t contentLength = 0;
  ContentKind kind = ContentKind::None;
  std::string charset;     // upper-cased
  std::string soapAction;  // SOAPAction, or the ACTION parameter of SOAP 1.2
};

enum class BodyResult {
  NoBody,  // the request is complete without one
  Body,    // a body is announced and acceptable
  Bad,     // a negative or oversized length, a body without, or with an unparsable or
           // unrecognised, Content-Type, or a bad charset for SOAP XML
};

// Content-Length, SOAPAction and Content-Type.
BodyResult AnalyseBody(const RequestHeaders& headers, BodyInfo* out);

// Decodes `source` into `out` (replaced), writing at most `limit` bytes: "+"
// is a blank, "%%" one "%", "%" and two hexadecimal digits that byte; "%"
// followed by anything else drops itself and the two characters after it,
// and an escape cut short by the end of the source ends the walk.
void UrlDecode(std::string_view source, std::string* out, size_t limit = kMaxDecodedPathBytes);

// Splits the query string off at the first "?" and decodes the rest.
void SplitRequestUri(std::string_view uri, std::string* path, std::string* query);

// The endpoint taking `path` in `endpoints` (null when none): the exact key
// when it is enabled (a disabled exact match ends the search), else the
// longest "/"-bounded prefix that is a key, when that endpoint is enabled and
// wildcard. *endpointUri gets the key that decided (empty when none did) and
// *extraPath the rest of the path behind a wildcard endpoint. A path holding
// NUL matches nothing.
const EndpointInfo* FindEndpoint(const EndpointTable& endpoints, std::string_view path,
                                 std::string* endpointUri, std::string* extraPath);

}  // namespace server
