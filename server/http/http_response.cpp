#include "server/http/http_response.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/com/oledate.h"
#include "platform/text/text.h"
#include "server/http/internal/http_text.h"

namespace server {

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
using internal::AppendNumber;
using internal::kMonthNames;

// A page is a text with one place for its argument.
struct PageText {
  std::string_view before;
  std::string_view after;
  bool escape;  // the argument lands in HTML
};

struct StatusEntry {
  int status;
  const char* reason;
  PageText page;
};

constexpr StatusEntry kStatusTable[] = {
    {304,
     "Not Modified",
     {"Date: ",
      "\r\n"
      "Server: Quorvel SOAP Server/3.2\r\n"
      "\r\n",  // the header ends here: a 304 has no body
      false}},
    {400,
     "Bad Request",
     {"\r\n<HEAD><TITLE>400 Badly Formed Request</TITLE></HEAD>\n<BODY><H1>400 Badly Formed "
      "Request</H1>\nThe request had bad syntax or was inherently impossible to be "
      "satisfied.<BR>\n</BODY>\r\n",
      "", false}},
    {401, "Unauthorized", {"WWW-Authenticate: Basic realm=\"", "\"\r\n\r\n", true}},
    {403,
     "Forbidden",
     {"\r\n<HEAD><TITLE>403 Forbidden</TITLE></HEAD>\n<BODY><H1>403 Forbidden</H1><BODY>The "
      "request could not be serviced because Authentication with server failed.<BR>\n</BODY>\r\n",
      "", false}},
    {404,
     "Not Found",
     {"\r\n<HEAD><TITLE>404 Not Found</TITLE></HEAD>\n<BODY><H1>404 Not Found</H1>\nThe requested "
      "resource ",
      " was not found.<BR>\n</BODY>\r\n", true}},
    {405,
     "Method Not Allowed",
     {"\r\n<HEAD><TITLE>405 Method Not Allowed</TITLE></HEAD>\n<BODY><H1>405 Method Not "
      "Allowed</H1>\nMethod ",
      " not allowed.<BR>\n</BODY>\r\n", true}},
    {501,
     "Not Implemented",
     {"\r\n<HEAD><TITLE>501 Unknown Method</TITLE></HEAD>\n<BODY><H1>501 Unknown "
      "Method</H1>\nThe requested method ",
      " is not supported.<BR>\n</BODY>\r\n", true}},
    {503,
     "Service Unavailable",
     {"\r\n<HEAD><TITLE>503 Service Unavailable</TITLE></HEAD>\n<BODY><H1>503 Service "
      "Unavailable</H1>\nThe Server is paused or is down for maintenance. \nPlease try again "
      "later...<BR>\n</BODY>\r\n",
      "", false}},
    {505,
     "HTTP Version Not Supported",
     {"\r\n<HEAD><TITLE>505 HTTP Version Not Supported </TITLE></HEAD>\n<BODY><H1>505 HTTP "
      "Version  ",
      " not supported.<BR>\n</BODY>\r\n", true}},
};

// For statuses outside the table: a SOAP 1.1 fault naming the status.
constexpr std::string_view kFaultPageStart =
    "\r\n"
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n"
    "<SOAP-ENV:Body>\r\n"
    "<SOAP-ENV:Fault>\r\n"
    "<faultcode>SOAP-ENV:";
constexpr std::string_view kFaultPageEnd =
    "</faultstring>\r\n"
    "</SOAP-ENV:Fault>\r\n"
    "</SOAP-ENV:Body>\r\n"
    "</SOAP-ENV:Envelope>\r\n";

constexpr std::string_view kEndpointPageBefore =
    "<html><head><title>SOAP Endpoint Found</title></head><body><h2>Resource '";
constexpr std::string_view kEndpointPageAfter =
    "' is a SOAP Endpoint.</h2><h3>The SOAP service available here is normally accessed using "
    "HTTP POST.</h3><h3>Quorvel SOAP Server v3.1</h3></body></html>";

const StatusEntry* FindStatus(int status) {
  for (const StatusEntry& e : kStatusTable) {
    if (e.status == status) return &e;
  }
  return nullptr;
}

// The page with its argument in place, cut at kMaxPageChars as the fixed
// page buffer did. The argument ends at a NUL, as a C string would.
void AppendPage(std::string* out, const PageText& page, std::string_view argument) {
  argument = argument.substr(0, argument.find('\0'));
  const size_t start = out->size();
  out->append(page.before);
  if (page.escape) {
    AppendHtmlEscaped(out, argument);
  } else {
    out->append(argument);
  }
  out->append(page.after);
  if (out->size() - start > kMaxPageChars) out->resize(start + kMaxPageChars);
}

// The date text of second `t`. Replies come many to a second: each thread
// formats a second once, and no lock is taken for it.
std::string_view HttpDateOf(time_t t) {
  struct Cached {
    time_t second = 0;
    bool valid = false;
    char text[64];
    size_t length = 0;
  };
  thread_local Cached cached;
  if (cached.valid && cached.second == t) return {cached.text, cached.length};
  cached.valid = false;
  struct tm tm;
  if (gmtime_r(&t, &tm) == nullptr) return {};
  const int n = std::snprintf(
      cached.text, sizeof cached.text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7],
      tm.tm_mday, kMonthNames[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  cached.length = n > 0 ? std::min(static_cast<size_t>(n), sizeof cached.text - 1) : 0;
  cached.second = t;
  cached.valid = true;
  return {cached.text, cached.length};
}

void AppendDateLine(std::string* out, time_t now) {
  out->append("Date: ");
  out->append(HttpDateOf(now));
  out->append("\r\n");
}

void AppendConnectionRule(std::string* out, const ReplyContext& reply) {
  out->append(reply.ConnectionClose() ? "Connection: close\r\n\r\n" : "\r\n");
}

void AppendStatusLine(std::string* out, std::string_view version, int status,
                      std::string_view reason) {
  out->append(version);
  out->push_back(' ');
  AppendNumber(out, static_cast<uint64_t>(status < 0 ? 0 : status));
  out->push_back(' ');
  out->append(reason);
  out->append("\r\n");
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysSinceUnixEpoch(int year, int month, int day) {
  return com::DaysFromCivil(year, month, day) - com::DaysFromCivil(1970, 1, 1);
}

int AtoiClamped(std::string_view s) {
  int v = 0;
  if (!ParseDecimalInt(s, &v)) {
    // Out of int: its sign is enough to fail every range check below.
    size_t i = 0;
    while (i < s.size() && text::IsAsciiSpace(s[i])) ++i;
    return i < s.size() && s[i] == '-' ? INT_MIN : INT_MAX;
  }
  return v;
}

}  // namespace

std::string FormatHttpDate(time_t t) { return std::string(HttpDateOf(t)); }

bool ParseHttpDate(std::string_view input, time_t* out) {
  input = input.substr(0, kMaxHttpDateChars);
  std::string_view tokens[8];
  size_t count = 0;
  size_t i = 0;
  auto separator = [](char c) { return c == ' ' || c == '-' || c == ':'; };
  while (i < input.size() && count < 8) {
    while (i < input.size() && separator(input[i])) ++i;
    const size_t start = i;
    while (i < input.size() && !separator(input[i])) ++i;
    if (i > start) tokens[count++] = input.substr(start, i - start);
  }
  if (count < 7) return false;
  const bool gmt = input.find("GMT") != std::string_view::npos;
  std::string_view month_name;
  int day, year, hour, minute, second;
  if (gmt) {
    day = AtoiClamped(tokens[1]);
    month_name = tokens[2];
    year = AtoiClamped(tokens[3]);
    hour = AtoiClamped(tokens[4]);
    minute = AtoiClamped(tokens[5]);
    second = AtoiClamped(tokens[6]);
  } else {
    month_name = tokens[1];
    day = AtoiClamped(tokens[2]);
    hour = AtoiClamped(tokens[3]);
    minute = AtoiClamped(tokens[4]);
    second = AtoiClamped(tokens[5]);
    year = AtoiClamped(tokens[6]);
  }
  int month = 1;  // an unknown name counts as January
  for (int m = 0; m < 12; ++m) {
    if (month_name == kMonthNames[m]) month = m + 1;
  }
  if (year < 100 && year >= 0) year += 1900;
  if (day < 1 || day > 31) {
    *out = 0;
    return true;
  }
  if (year < 1601 || year > 30827 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59 || day > com::DaysInMonth(year, month)) {
    return false;
  }
  const int64_t days = DaysSinceUnixEpoch(year, month, day);
  *out = static_cast<time_t>(days * 86400 + hour * 3600 + minute * 60 + second);
  return true;
}

void AppendHtmlEscaped(std::string* out, std::string_view s) {
  for (char c : s) {
    switch (c) {
      case '&':
        out->append("&amp;");
        break;
      case '<':
        out->append("&lt;");
        break;
      case '>':
        out->append("&gt;");
        break;
      case '"':
        out->append("&quot;");
        break;
      case '\'':
        out->append("&#39;");
        break;
      default:
        out->push_back(c);
    }
  }
}

void AppendSoapFaultPage(std::string* out, std::string_view code, std::string_view text,
                         const ReplyContext& reply) {
  AppendStatusLine(out, "HTTP/1.0", 500, "Internal Server Error");
  if (!reply.headOnly) out->append("Content-Type: text/xml\r\n");
  if (reply.ConnectionClose()) out->append("Connection: close\r\n");
  if (reply.headOnly) {
    out->append("\r\n");
    return;
  }
  const size_t start = out->size();
  out->append(kFaultPageStart);
  out->append(code);
  out->append("</faultcode>\r\n<faultstring>");
  AppendHtmlEscaped(out, text);
  out->append(kFaultPageEnd);
  if (out->size() - start > kMaxPageChars) out->resize(start + kMaxPageChars);
}

void AppendStatusPage(std::string* out, int status, std::string_view argument,
                      const ReplyContext& reply) {
  const StatusEntry* entry = FindStatus(status);
  if (entry == nullptr) {
    char text[48];
    const int n = std::snprintf(text, sizeof text, "Unexpected Error %d", status);
    AppendSoapFaultPage(out, "Server", std::string_view(text, static_cast<size_t>(n)), reply);
    return;
  }
  AppendStatusLine(out, "HTTP/1.0", status, entry->reason);
  if (!reply.headOnly) out->append("Content-Type: text/html\r\n");
  if (reply.ConnectionClose()) out->append("Connection: close\r\n");
  if (reply.headOnly) {
    out->append("\r\n");
    return;
  }
  if (status == 304) {
    AppendPage(out, entry->page, FormatHttpDate(reply.now));
  } else {
    AppendPage(out, entry->page, argument);
  }
}

void AppendSoapReplyHeader(std::string* out, int status, ContentKind kind, uint64_t length,
                           const ReplyContext& reply) {
  const char* reason = "Unexpected";
  switch (status) {
    case 200:
      reason = "OK";
      break;
    case 400:
      reason = "Bad Request";
      break;
    case 404:
      reason = "Not Found";
      break;
    case 500:
      reason = "Internal Server Error";
      break;
  }
  AppendStatusLine(out, reply.versionText, status, reason);
  AppendDateLine(out, reply.now);
  out->append(kServerBanner);
  switch (kind) {
    case ContentKind::SoapXml:
      out->append("Content-Type: text/xml; charset=\"utf-8\"\r\n");
      break;
    case ContentKind::Dime:
      out->append("Content-Type: application/dime\r\n");
      break;
    default:
      out->append("Content-Type: application/soap+xml; charset=\"utf-8\"\r\n");
  }
  out->append("Content-Length: ");
  AppendNumber(out, length);
  out->append("\r\n");
  AppendConnectionRule(out, reply);
}

void AppendNoContent(std::string* out, const ReplyContext& reply) {
  AppendStatusLine(out, reply.versionText, 204, "No Content");
  AppendDateLine(out, reply.now);
  out->append(kServerBanner);
  AppendConnectionRule(out, reply);
}

void AppendEndpointPage(std::string* out, std::string_view path, const ReplyContext& reply) {
  std::string page;
  AppendPage(&page, PageText{kEndpointPageBefore, kEndpointPageAfter, true}, path);
  AppendStatusLine(out, reply.versionText, 200, "OK");
  AppendDateLine(out, reply.now);
  out->append(kServerBanner);
  out->append("Content-Type: text/html\r\n");
  out->append("Content-Length: ");
  AppendNumber(out, page.size());
  out->append("\r\n");
  AppendConnectionRule(out, reply);
  if (!reply.headOnly) out->append(page);
}

void AppendStaticFileHeader(std::string* out, std::string_view mimeType,
                            std::optional<time_t> lastModified, uint64_t size,
                            const ReplyContext& reply) {
  AppendStatusLine(out, "HTTP/1.0", 200, "OK");
  AppendDateLine(out, reply.now);
  out->append(kServerBanner);
  out->append(kMimeVersionLine);
  out->append("Content-Type: ");
  out->append(mimeType);
  out->append("\r\n");
  if (lastModified) {
    const std::string date = FormatHttpDate(*lastModified);
    if (!date.empty()) {
      out->append("Last-Modified: ");
      out->append(date);
      out->append("\r\n");
    }
  }
  out->append("Content-Length: ");
  AppendNumber(out, size);
  out->append("\r\n");
  AppendConnectionRule(out, reply);
}

std::string StaticFileName(const ConfigSnapshot& config, std::string_view path) {
  if (path.find("..") != std::string_view::npos || path.find('%') != std::string_view::npos ||
      path.find('\0') != std::string_view::npos) {
    return std::string();
  }
  std::string file = config.docBasePath;
  // Without it "/srv/www" and "/-old/x" would name a sibling directory.
  if (file.empty() || file.back() != '/') file.push_back('/');
  if (path == "/") {
    file.append(config.defaultDocument);
  } else if (!path.empty() && path.front() == '/') {
    file.append(path.substr(1));
  } else {
    file.append(path);
  }
  return file;
}

std::string_view MimeTypeFor(const MimeMap& map, std::string_view fileName) {
  const size_t slash = fileName.rfind('/');
  const std::string_view base =
      slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
  const size_t dot = base.rfind('.');
  if (dot == std::string_view::npos) return kDefaultMimeType;
  const std::string_view ext = base.substr(dot);
  const std::string* type = nullptr;
  for (const auto& [key, value] : map) {
    if (text::AsciiIEquals(key, ext)) {
      type = &value;
      break;
    }
  }
  if (type == nullptr) return kDefaultMimeType;
  for (char c : *type) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return kDefaultMimeType;
  }
  return *type;
}

}  // namespace server
