// The reply side of the server's HTTP: the status pages with their fixed
// texts, the header blocks of SOAP, no-content, endpoint-page and static-file
// replies, HTTP dates, and where a static path lives inside the document
// root. Builders append to a caller's string so one buffer carries a reply.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/http/config.h"
#include "server/http/http_request.h"

namespace server {

inline constexpr char kServerBanner[] = "Server: Quorvel SOAP Server/3.2\r\n";
inline constexpr char kMimeVersionLine[] = "MIME-version: 1.0\r\n";
inline constexpr char kDefaultMimeType[] = "application/octet-stream";
// Formatted page texts are cut here.
inline constexpr size_t kMaxPageChars = 1023;
// At most this many characters of a date header are read.
inline constexpr size_t kMaxHttpDateChars = 48;

// What a reply needs to know of its request.
struct ReplyContext {
  std::string_view versionText = "HTTP/0.9";  // the request's, for SOAP replies
  int major = 0;
  int minor = 0;
  bool headOnly = false;  // HEAD: header block only
  time_t now = 0;         // for the Date line

  // "Connection: close" is sent only when both numbers are at least 1.
  bool ConnectionClose() const { return major >= 1 && minor >= 1; }
};

// "%a, %d %b %Y %H:%M:%S GMT" of `t` in UTC, in English whatever the locale.
std::string FormatHttpDate(time_t t);

// Reads a date in any of the three HTTP forms (the first kMaxHttpDateChars
// characters, tokens cut at blanks, dashes and colons). An unknown month
// name counts as January; a day outside 1-31 gives 1 January 1970. False
// (nothing set) when tokens are missing, the hour, minute or second is out
// of range, the day does not exist in its month, or the year is outside
// 1601-30827.
[[nodiscard]] bool ParseHttpDate(std::string_view text, time_t* out);

// Replaces & < > " ' by their character references.
void AppendHtmlEscaped(std::string* out, std::string_view s);

// A status page: the status line ("HTTP/1.0"), Content-Type, the connection
// rule and, unless head-only, the page text formatted with `argument` (the
// URI for 404, the method for 405, the version text for 505, the date for
// 304; HTML-escaped where it lands in HTML) and cut at kMaxPageChars. A
// status outside the table gives "500 Internal Server Error" with the SOAP
// fault page that names the status asked for.
void AppendStatusPage(std::string* out, int status, std::string_view argument,
                      const ReplyContext& reply);

// A "500 Internal Server Error" status page holding a SOAP 1.1 fault with
// `code` (Client, Server) and `text` (escaped), for requests refused before
// any message object saw them.
void AppendSoapFaultPage(std::string* out, std::string_view code, std::string_view text,
                         const ReplyContext& reply);

// The header block of a SOAP reply: status line with the request's version,
// Date, banner, the content type of `kind` (Dime gives application/dime),
// Content-Length and the connection rule.
void AppendSoapReplyHeader(std::string* out, int status, ContentKind kind, uint64_t length,
                           const ReplyContext& reply);

// The whole 204 reply.
void AppendNoContent(std::string* out, const ReplyContext& reply);

// The whole "SOAP Endpoint Found" reply for the (escaped) request path.
void AppendEndpointPage(std::string* out, std::string_view path, const ReplyContext& reply);

// The header block of a static file ("HTTP/1.0 200 OK"). Last-Modified is
// left out when `lastModified` is empty.
void AppendStaticFileHeader(std::string* out, std::string_view mimeType,
                            std::optional<time_t> lastModified, uint64_t size,
                            const ReplyContext& reply);

// The file a decoded path names: "/" is the default document; the document
// root gets a "/" when it lacks one. Empty when the path holds "..", "%" or
// NUL (404).
std::string StaticFileName(const ConfigSnapshot& config, std::string_view path);

// The MIME type of a file name by its extension (from the last "." of the
// last path component, dot included), compared without regard to ASCII case;
// kDefaultMimeType when absent or when the stored type holds a control
// character.
std::string_view MimeTypeFor(const MimeMap& map, std::string_view fileName);

}  // namespace server
