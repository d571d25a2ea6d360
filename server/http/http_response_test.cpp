#include "server/http/http_response.h"

#include <gtest/gtest.h>

#include <string>

namespace server {
namespace {

// Sun, 06 Nov 1994 08:49:37 GMT
constexpr time_t kRfcExample = 784111777;

ReplyContext Reply(int major, int minor, bool head = false) {
  ReplyContext r;
  r.versionText = major == 1 && minor == 1 ? "HTTP/1.1" : "HTTP/1.0";
  r.major = major;
  r.minor = minor;
  r.headOnly = head;
  r.now = kRfcExample;
  return r;
}

TEST(HttpDateTest, FormatsInEnglishUtc) {
  EXPECT_EQ(FormatHttpDate(kRfcExample), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(FormatHttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  // Each second its own text, however the calls follow one another.
  const std::pair<time_t, const char*> seconds[] = {
      {kRfcExample, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {kRfcExample, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {kRfcExample + 1, "Sun, 06 Nov 1994 08:49:38 GMT"},
      {kRfcExample, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {kRfcExample + 86400, "Mon, 07 Nov 1994 08:49:37 GMT"},
  };
  for (auto [t, text] : seconds) EXPECT_EQ(FormatHttpDate(t), text) << t;
}

TEST(HttpDateTest, ParsesTheThreeFormsAndRefusesBrokenOnes) {
  struct Case {
    const char* text;
    bool ok;
    time_t value;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", true, kRfcExample},
      {"Sunday, 06-Nov-94 08:49:37 GMT", true, kRfcExample},
      {"Sun Nov  6 08:49:37 1994", true, kRfcExample},
      {"Sun, 06 Xyz 1994 08:49:37 GMT", true, kRfcExample - 304 * 86400},  // January
      {"Sun, 32 Nov 1994 08:49:37 GMT", true, 0},                          // day outside 1-31: 1970
      {"Sun, 00 Nov 1994 08:49:37 GMT", true, 0},
      {"x", false, 0},
      {"Sun, 06 Nov 1994 GMT", false, 0},  // tokens missing
      {"", false, 0},
      {"Sun, 06 Nov 1994 24:00:00 GMT", false, 0},
      {"Sun, 06 Nov 1994 08:60:00 GMT", false, 0},
      {"Sun, 06 Nov 1994 08:00:60 GMT", false, 0},
      {"Sun, 31 Nov 1994 08:00:00 GMT", false, 0},  // no 31st of November
      {"Sun, 29 Feb 1995 08:00:00 GMT", false, 0},
      {"Sun, 29 Feb 1996 00:00:00 GMT", true, 825552000},
      {"Sun, 06 Nov 99999999999 08:49:37 GMT", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    time_t t = -1;
    EXPECT_EQ(ParseHttpDate(c.text, &t), c.ok);
    if (c.ok) {
      EXPECT_EQ(t, c.value);
    }
  }
}

TEST(StatusPageTest, ExactBytes) {
  struct Case {
    int status;
    const char* argument;
    int major, minor;
    std::string expected;
  } cases[] = {
      {400, "", 1, 0,
       "HTTP/1.0 400 Bad Request\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>400 Badly Formed "
       "Request</TITLE></HEAD>\n<BODY><H1>400 Badly Formed Request</H1>\nThe request had bad "
       "syntax or was inherently impossible to be satisfied.<BR>\n</BODY>\r\n"},
      {403, "", 1, 1,
       "HTTP/1.0 403 Forbidden\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n<HEAD>"
       "<TITLE>403 Forbidden</TITLE></HEAD>\n<BODY><H1>403 Forbidden</H1><BODY>The request could "
       "not be serviced because Authentication with server failed.<BR>\n</BODY>\r\n"},
      {404, "/a<b>&'\"", 1, 0,
       "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>404 Not "
       "Found</TITLE></HEAD>\n<BODY><H1>404 Not Found</H1>\nThe requested resource "
       "/a&lt;b&gt;&amp;&#39;&quot; was not found.<BR>\n</BODY>\r\n"},
      {405, "PUT", 1, 0,
       "HTTP/1.0 405 Method Not Allowed\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>405 Method "
       "Not Allowed</TITLE></HEAD>\n<BODY><H1>405 Method Not Allowed</H1>\nMethod PUT not "
       "allowed.<BR>\n</BODY>\r\n"},
      {505, "HTTP/2.1", 2, 1,
       "HTTP/1.0 505 HTTP Version Not Supported\r\nContent-Type: text/html\r\nConnection: "
       "close\r\n\r\n<HEAD><TITLE>505 HTTP Version Not Supported </TITLE></HEAD>\n<BODY><H1>505 "
       "HTTP Version  HTTP/2.1 not supported.<BR>\n</BODY>\r\n"},
      {304, "", 1, 0,
       "HTTP/1.0 304 Not Modified\r\nContent-Type: text/html\r\nDate: Sun, 06 Nov 1994 08:49:37 "
       "GMT\r\nServer: Quorvel SOAP Server/3.2\r\n\r\n"},
      {500, "", 1, 0,
       "HTTP/1.0 500 Internal Server Error\r\nContent-Type: text/xml\r\n\r\n<?xml version=\"1.0\" "
       "encoding=\"UTF-8\"?>\r\n<SOAP-ENV:Envelope "
       "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n<SOAP-ENV:Body>\r\n"
       "<SOAP-ENV:Fault>\r\n<faultcode>SOAP-ENV:Server</faultcode>\r\n<faultstring>Unexpected "
       "Error 500</faultstring>\r\n</SOAP-ENV:Fault>\r\n</SOAP-ENV:Body>\r\n</SOAP-ENV:Envelope>"
       "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    std::string out;
    AppendStatusPage(&out, c.status, c.argument, Reply(c.major, c.minor));
    EXPECT_EQ(out, c.expected);
  }
}

TEST(StatusPageTest, HeadGetsHeaderBlockOnlyAndLongPagesAreCut) {
  std::string out;
  AppendStatusPage(&out, 404, "/x", Reply(1, 1, /*head=*/true));
  EXPECT_EQ(out, "HTTP/1.0 404 Not Found\r\nConnection: close\r\n\r\n");

  out.clear();
  AppendStatusPage(&out, 404, std::string(3000, 'a'), Reply(1, 0));
  const size_t header = std::string("HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n").size();
  EXPECT_EQ(out.size(), header + kMaxPageChars);
  // A NUL ends the argument as a C string would.
  out.clear();
  AppendStatusPage(&out, 404, std::string("/a\0<script>", 11), Reply(1, 0));
  EXPECT_NE(out.find("resource /a was not found"), std::string::npos);
}

TEST(ReplyHeaderTest, SoapNoContentAndEndpointPage) {
  std::string out;
  ReplyContext r = Reply(1, 1);
  AppendSoapReplyHeader(&out, 200, ContentKind::SoapXml, 12, r);
  EXPECT_EQ(out,
            "HTTP/1.1 200 OK\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nServer: Quorvel SOAP "
            "Server/3.2\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: "
            "12\r\nConnection: close\r\n\r\n");
  out.clear();
  AppendSoapReplyHeader(&out, 418, ContentKind::Dime, 5000000000ull, Reply(1, 0));
  EXPECT_EQ(out,
            "HTTP/1.0 418 Unexpected\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nServer: Quorvel "
            "SOAP Server/3.2\r\nContent-Type: application/dime\r\nContent-Length: "
            "5000000000\r\n\r\n");
  out.clear();
  AppendNoContent(&out, r);
  EXPECT_EQ(out,
            "HTTP/1.1 204 No Content\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nServer: Quorvel "
            "SOAP Server/3.2\r\nConnection: close\r\n\r\n");
  out.clear();
  AppendEndpointPage(&out, "/svc<x>", Reply(1, 0));
  const std::string page =
      "<html><head><title>SOAP Endpoint Found</title></head><body><h2>Resource '/svc&lt;x&gt;' "
      "is a SOAP Endpoint.</h2><h3>The SOAP service available here is normally accessed using "
      "HTTP POST.</h3><h3>Quorvel SOAP Server v3.1</h3></body></html>";
  EXPECT_EQ(out,
            "HTTP/1.0 200 OK\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nServer: Quorvel SOAP "
            "Server/3.2\r\nContent-Type: text/html\r\nContent-Length: " +
                std::to_string(page.size()) + "\r\n\r\n" + page);
}

TEST(StaticFileTest, HeaderNamesTypeDateAndSixtyFourBitLength) {
  std::string out;
  AppendStaticFileHeader(&out, "text/plain", kRfcExample, 6000000000ull, Reply(1, 1));
  EXPECT_EQ(out,
            "HTTP/1.0 200 OK\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nServer: Quorvel SOAP "
            "Server/3.2\r\nMIME-version: 1.0\r\nContent-Type: text/plain\r\nLast-Modified: Sun, 06 "
            "Nov 1994 08:49:37 GMT\r\nContent-Length: 6000000000\r\nConnection: close\r\n\r\n");
}

TEST(StaticFileTest, FileNamesStayUnderTheRoot) {
  ConfigSnapshot config;
  config.docBasePath = "/srv/www";
  config.defaultDocument = "index.htm";
  struct Case {
    std::string path;
    std::string file;
  } cases[] = {
      {"/", "/srv/www/index.htm"},
      {"/a/b.txt", "/srv/www/a/b.txt"},
      {"/-old/x", "/srv/www/-old/x"},  // never the sibling /srv/www-old
      {"rel.txt", "/srv/www/rel.txt"},
      {"/../etc/passwd", ""},
      {"/a/..", ""},
      {"/100%", ""},
      {std::string("/a.txt\0.htm", 11), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(StaticFileName(config, c.path), c.file);
  }
  config.docBasePath = "/srv/www/";
  EXPECT_EQ(StaticFileName(config, "/x"), "/srv/www/x");
}

TEST(StaticFileTest, MimeTypesByExtensionIgnoringCase) {
  MimeMap map = BuiltInMimeMap();
  map[".Svg"] = "image/svg+xml";  // stored as a management call gave it
  map[".BAD"] = "text/html\r\nSet-Cookie: x";
  struct Case {
    const char* file;
    const char* type;
  } cases[] = {
      {"/r/a.htm", "text/html"},          {"/r/A.HTML", "text/html"},
      {"/r/a.Txt", "text/plain"},         {"/r/pic.svg", "image/svg+xml"},
      {"/r/noext", kDefaultMimeType},     {"/r.d/noext", kDefaultMimeType},
      {"/r/a.unknown", kDefaultMimeType}, {"/r/a.bad", kDefaultMimeType},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(MimeTypeFor(map, c.file), c.type);
  }
}

}  // namespace
}  // namespace server
