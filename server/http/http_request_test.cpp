#include "server/http/http_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <vector>

namespace server {
namespace {

// Feeds `input` in chunks of `step` bytes (0: whole) and returns the last result.
HeaderBlockReader::Result FeedInSteps(HeaderBlockReader& reader, std::string_view input,
                                      size_t step) {
  reader.Reset();
  if (step == 0) return reader.Feed(input);
  HeaderBlockReader::Result r = HeaderBlockReader::Result::NeedMore;
  for (size_t i = 0; i < input.size(); i += step) r = reader.Feed(input.substr(i, step));
  return r;
}

std::vector<std::string> Lines(const HeaderBlockReader& reader) {
  std::vector<std::string> out;
  for (size_t i = 0; i < reader.LineCount(); ++i) out.emplace_back(reader.Line(i));
  return out;
}

TEST(HeaderBlockReaderTest, SameLinesWholeAndByteByByte) {
  struct Case {
    std::string input;
    HeaderBlockReader::Result result;
    std::vector<std::string> lines;
    std::string rest;
  } cases[] = {
      {"GET / HTTP/1.0\r\nHost: a\r\n\r\nbody",
       HeaderBlockReader::Result::Complete,
       {"GET / HTTP/1.0", "Host: a", ""},
       "body"},
      // A carriage return followed by another byte keeps that byte.
      {"GET / HTTP/1.0\rX: 1\r\n\r\n",
       HeaderBlockReader::Result::Complete,
       {"GET / HTTP/1.0", "X: 1", ""},
       ""},
      // Bare line feeds do not end lines.
      {"GET / HTTP/1.0\r\nA: 1\nB: 2\r\n\r\n",
       HeaderBlockReader::Result::Complete,
       {"GET / HTTP/1.0", "A: 1\nB: 2", ""},
       ""},
      {"GET / HTTP/1.0\r\nHost: a\r\n",
       HeaderBlockReader::Result::NeedMore,
       {"GET / HTTP/1.0", "Host: a"},
       ""},
      {"GET / HTTP/1.0\r", HeaderBlockReader::Result::NeedMore, {}, ""},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{0}, size_t{1}, size_t{2}, size_t{7}}) {
      SCOPED_TRACE(c.input + " step " + std::to_string(step));
      HeaderBlockReader reader;
      EXPECT_EQ(FeedInSteps(reader, c.input, step), c.result);
      EXPECT_EQ(Lines(reader), c.lines);
      // Bytes after the completing chunk are the body's, not the reader's.
      if (step == 0) {
        EXPECT_EQ(reader.Rest(), c.rest);
      }
    }
  }
}

TEST(HeaderBlockReaderTest, CarriageReturnAtEndOfReceiveWaitsForNextByte) {
  HeaderBlockReader reader;
  EXPECT_EQ(reader.Feed("GET / HTTP/1.0\r\nHost: a\r"), HeaderBlockReader::Result::NeedMore);
  EXPECT_EQ(Lines(reader), (std::vector<std::string>{"GET / HTTP/1.0"}));
  EXPECT_EQ(reader.Feed("\n\r"), HeaderBlockReader::Result::NeedMore);
  EXPECT_EQ(Lines(reader), (std::vector<std::string>{"GET / HTTP/1.0", "Host: a"}));
  EXPECT_EQ(reader.Feed("\nXY"), HeaderBlockReader::Result::Complete);
  EXPECT_EQ(reader.Rest(), "XY");

  // A line feed inside the first line: no line yet, but one is pending.
  reader.Reset();
  EXPECT_EQ(reader.Feed("GET / HTTP/1.0\nX\r"), HeaderBlockReader::Result::NeedMore);
  EXPECT_EQ(reader.LineCount(), 0u);
  EXPECT_TRUE(reader.SawLineFeed() && reader.CarriageReturnPending());
  reader.Reset();
  EXPECT_EQ(reader.Feed("GET / HTTP/1.0\n"), HeaderBlockReader::Result::NeedMore);
  EXPECT_TRUE(reader.SawLineFeed() && !reader.CarriageReturnPending());
}

TEST(HeaderBlockReaderTest, NothingIsCutBeforeALineFeed) {
  HeaderBlockReader reader;
  EXPECT_EQ(reader.Feed("GET / HTTP/1.0\rA"), HeaderBlockReader::Result::NeedMore);
  EXPECT_FALSE(reader.SawLineFeed());
  EXPECT_EQ(reader.LineCount(), 0u);
  reader.Feed("\n");
  EXPECT_TRUE(reader.SawLineFeed());
  EXPECT_EQ(Lines(reader), (std::vector<std::string>{"GET / HTTP/1.0"}));
}

TEST(HeaderBlockReaderTest, OversizedBlockIsRefused) {
  HeaderBlockReader reader;
  const std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
  HeaderBlockReader::Result r = reader.Feed("GET / HTTP/1.0\r\n");
  for (int i = 0; i < 70 && r == HeaderBlockReader::Result::NeedMore; ++i) r = reader.Feed(line);
  EXPECT_EQ(r, HeaderBlockReader::Result::TooLarge);
  // One line that never ends, a byte at a time, fails as soon as it passes the cap.
  reader.Reset();
  r = HeaderBlockReader::Result::NeedMore;
  size_t fed = 0;
  while (r == HeaderBlockReader::Result::NeedMore && fed <= kMaxHeaderBlockBytes) {
    r = reader.Feed("a");
    ++fed;
  }
  EXPECT_EQ(r, HeaderBlockReader::Result::TooLarge);
  EXPECT_EQ(fed, kMaxHeaderBlockBytes + 1);
  // Too many short lines.
  reader.Reset();
  r = reader.Feed("GET / HTTP/1.0\r\n");
  for (size_t i = 0; i <= kMaxHeaderLines && r == HeaderBlockReader::Result::NeedMore; ++i) {
    r = reader.Feed("A: b\r\n");
  }
  EXPECT_EQ(r, HeaderBlockReader::Result::TooLarge);
}

// The outcome for a byte sequence does not depend on how it is split into
// receives: the shapes that once did (a carriage return ending a receive that
// the next receive, without a line feed, follows; a block whose end arrives in
// the receive that crosses the cap), and random ones, fed whole, byte by byte
// and at random splits.
TEST(HeaderBlockReaderTest, OutcomeIsTheSameHoweverTheBytesAreSplit) {
  const std::string filler = "X-Filler: " + std::string(1000, 'a') + "\r\n";
  auto blockOf = [&](size_t size) {  // a complete block of exactly `size` bytes
    std::string block = "GET / HTTP/1.0\r\n";
    while (block.size() + filler.size() + 2 <= size) block += filler;
    block += "Y: " + std::string(size - block.size() - 7, 'b') + "\r\n\r\n";
    return block;
  };
  std::vector<std::string> inputs = {
      "POST /svc HTTP/1.0\r\nContent-Length: 4\r\n\r<a/>",
      "POST /svc HTTP/1.0\r\nA: 1\r\rB: 2\r\r",
      "GET / HTTP/1.0\r\nA\rB\rC\r\r",
      blockOf(kMaxHeaderBlockBytes),
      blockOf(kMaxHeaderBlockBytes) + "body",
      blockOf(kMaxHeaderBlockBytes + 1),
      blockOf(kMaxHeaderBlockBytes + 10) + "body",
  };
  std::mt19937 rng(7);
  const std::string alphabet = "\r\n\r\rab: ";
  for (int i = 0; i < 300; ++i) {
    std::string input = "GET / HTTP/1.0\r\n";
    for (size_t n = rng() % 40; n > 0; --n) input.push_back(alphabet[rng() % alphabet.size()]);
    inputs.push_back(input);
  }
  for (size_t k = 0; k < inputs.size(); ++k) {
    const std::string& input = inputs[k];
    SCOPED_TRACE(k);
    HeaderBlockReader whole;
    const HeaderBlockReader::Result expected = FeedInSteps(whole, input, 0);
    const std::vector<std::string> lines =
        expected == HeaderBlockReader::Result::TooLarge ? std::vector<std::string>{} : Lines(whole);
    using R = HeaderBlockReader::Result;
    const R shapes[] = {R::Complete, R::Complete, R::NeedMore, R::Complete,
                        R::Complete, R::TooLarge, R::TooLarge};
    if (k < std::size(shapes)) {
      EXPECT_EQ(expected, shapes[k]);
    }
    for (int split = 0; split < 12; ++split) {
      HeaderBlockReader reader;
      HeaderBlockReader::Result r = HeaderBlockReader::Result::NeedMore;
      for (size_t at = 0; at < input.size();) {
        // Receives of one byte to a full receive buffer.
        const size_t n = split == 0 ? 1 : 1 + rng() % std::min(input.size() - at, kMaxReceiveBytes);
        r = reader.Feed(std::string_view(input).substr(at, n));
        at += n;
      }
      ASSERT_EQ(r, expected) << "split " << split;
      if (expected != HeaderBlockReader::Result::TooLarge) {
        EXPECT_EQ(Lines(reader), lines) << "split " << split;
      }
    }
  }
}

// Random bytes from an alphabet rich in line ends, fed at random splits and
// carried through every parsing step. Lines never hold a carriage return,
// and a complete block ends with its empty line.
TEST(HeaderBlockReaderTest, RandomInputKeepsItsInvariants) {
  std::mt19937 rng(20240611);
  const std::string alphabet = "\r\n\r\n: %+-;=\"aZ0/.HTP";
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    const size_t length = rng() % 200;
    for (size_t i = 0; i < length; ++i) input.push_back(alphabet[rng() % alphabet.size()]);
    if (round % 3 == 0) input = "POST /x HTTP/1.1\r\n" + input;
    HeaderBlockReader reader;
    HeaderBlockReader::Result r = HeaderBlockReader::Result::NeedMore;
    for (size_t i = 0; i < input.size() && r == HeaderBlockReader::Result::NeedMore;) {
      const size_t n = 1 + rng() % 9;
      r = reader.Feed(std::string_view(input).substr(i, n));
      i += n;
    }
    for (size_t i = 0; i < reader.LineCount(); ++i) {
      ASSERT_EQ(reader.Line(i).find('\r'), std::string_view::npos) << input;
    }
    if (reader.LineCount() > 0) {
      RequestLine line;
      (void)ParseRequestLine(reader.Line(0), &line);
    }
    if (r != HeaderBlockReader::Result::Complete) continue;
    ASSERT_TRUE(reader.Line(reader.LineCount() - 1).empty()) << input;
    RequestHeaders headers;
    headers.Parse(reader);
    BodyInfo body;
    (void)AnalyseBody(headers, &body);
    std::string path, query;
    SplitRequestUri(reader.Line(0), &path, &query);
  }
}

TEST(RequestLineTest, Table) {
  struct Case {
    const char* line;
    RequestLineResult event;
    Method method;
    const char* uri;
    int major, minor;
  } cases[] = {
      {"GET /a?b HTTP/1.1", RequestLineResult::Versioned, Method::Get, "/a?b", 1, 1},
      {"HEAD / HTTP/1.0", RequestLineResult::Versioned, Method::Head, "/", 1, 0},
      {"POST /x HTTP/2.0", RequestLineResult::Versioned, Method::Post, "/x", 2, 0},
      {"get / HTTP/1.0", RequestLineResult::Versioned, Method::None, "/", 1, 0},
      {"PUT / HTTP/1.0", RequestLineResult::Versioned, Method::None, "/", 1, 0},
      {"GET /", RequestLineResult::NoVersion, Method::Get, "/", 0, 9},
      {"GET  / HTTP/1.0", RequestLineResult::Versioned, Method::Get, "", 1, 0},  // empty token
      {"GET", RequestLineResult::Bad, Method::Get, "", 0, 0},
      {"", RequestLineResult::Bad, Method::None, "", 0, 0},
      {"GET / HTTP/1", RequestLineResult::Bad, Method::Get, "", 0, 0},
      {"GET / HTTP/", RequestLineResult::Bad, Method::Get, "", 0, 0},
      {"GET / HTTP/99999999999.1", RequestLineResult::Bad, Method::Get, "", 0, 0},
      {"GET / HTTP/x.y", RequestLineResult::Versioned, Method::Get, "/", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    RequestLine line;
    EXPECT_EQ(ParseRequestLine(c.line, &line), c.event);
    if (c.event == RequestLineResult::Bad) continue;
    EXPECT_EQ(line.method, c.method);
    EXPECT_EQ(line.uri, c.uri);
    EXPECT_EQ(line.major, c.major);
    EXPECT_EQ(line.minor, c.minor);
  }
  const std::pair<std::pair<int, int>, const char*> versions[] = {
      {{1, 1}, "HTTP/1.1"}, {{1, 0}, "HTTP/1.0"}, {{0, 9}, "HTTP/0.9"},
      {{1, 2}, "HTTP/1.2"}, {{2, 0}, "HTTP/2.0"}, {{10, 11}, "HTTP/10.11"},
  };
  for (auto [version, text] : versions) EXPECT_EQ(VersionText(version.first, version.second), text);
}

TEST(ParseDecimalIntTest, AtoiToleranceWithOverflowCaught) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  } cases[] = {
      {"42", true, 42},
      {"  17abc", true, 17},
      {"-5", true, -5},
      {"abc", true, 0},
      {"", true, 0},
      {"2147483647", true, INT_MAX},
      {"-2147483648", true, INT_MIN},
      {"2147483648", false, 0},
      {"99999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int v = -1;
    EXPECT_EQ(ParseDecimalInt(c.text, &v), c.ok);
    if (c.ok) {
      EXPECT_EQ(v, c.value);
    }
  }
}

// Parses a header block given as lines after a request line.
RequestHeaders ParseFields(HeaderBlockReader& reader, const std::string& fields) {
  reader.Reset();
  EXPECT_EQ(reader.Feed("POST / HTTP/1.0\r\n" + fields + "\r\n"),
            HeaderBlockReader::Result::Complete);
  RequestHeaders headers;
  headers.Parse(reader);
  return headers;
}

TEST(RequestHeadersTest, NamesIgnoreCaseRepeatsJoinAndFoldsAppend) {
  HeaderBlockReader reader;
  RequestHeaders h = ParseFields(
      reader,
      "Accept: a\r\naccept: b\r\nNoBlank:x\r\nX-Long: one\r\n\ttwo\r\n  three\r\nHost: h\r\n");
  EXPECT_EQ(h.Get("ACCEPT"), "a,b");
  EXPECT_EQ(h.Find("NOBLANK"), nullptr);
  EXPECT_EQ(h.Get("X-LONG"), "one\ttwo  three");
  EXPECT_EQ(h.Get("host"), "h");
  EXPECT_EQ(h.Count(), 3u);
}

// A header block at its line limit, every line the same name: the joined
// value is built in place, so what the fields hold stays near the block's
// size instead of growing with the square of the line count.
TEST(RequestHeadersTest, ManyRepeatsOfOneNameStayLinearInMemory) {
  const std::string value(50, 'v');
  std::string fields;
  size_t lines = 0;
  while (lines + 2 < kMaxHeaderLines) {
    fields += "X-Rep: " + value + "\r\n";
    ++lines;
  }
  ASSERT_LT(fields.size(), kMaxHeaderBlockBytes);
  HeaderBlockReader reader;
  RequestHeaders h = ParseFields(reader, fields);
  const std::string_view joined = h.Get("X-REP");
  EXPECT_EQ(joined.size(), lines * value.size() + lines - 1);
  EXPECT_EQ(joined.substr(0, value.size() + 2), value + "," + value[0]);
  EXPECT_LT(h.OwnedBytesForTest(), 4 * kMaxHeaderBlockBytes);
}

TEST(AnalyseBodyTest, Table) {
  struct Case {
    const char* fields;
    BodyResult event;
    ContentKind kind;
    uint64_t length;
    const char* action;
  } cases[] = {
      {"", BodyResult::NoBody, ContentKind::None, 0, ""},
      {"Content-Length: 0\r\n", BodyResult::NoBody, ContentKind::None, 0, ""},
      {"Content-Length: 10\r\nContent-Type: text/xml; charset=utf-8\r\nSOAPAction: \"urn:x\"\r\n",
       BodyResult::Body, ContentKind::SoapXml, 10, "\"urn:x\""},
      {"Content-Length: 10\r\nContent-Type: text/xml; charset=iso-8859-1\r\n", BodyResult::Bad,
       ContentKind::SoapXml, 10, ""},
      {"Content-Length: 10\r\nContent-Type: application/soap+xml; action=urn:a\r\n",
       BodyResult::Body, ContentKind::Soap12Xml, 10, "urn:a"},
      {"Content-Length: 10\r\nContent-Type: application/dime; charset=latin1\r\n", BodyResult::Body,
       ContentKind::Dime, 10, ""},
      {"Content-Length: 10\r\n", BodyResult::Bad, ContentKind::None, 10, ""},
      {"Content-Length: 10\r\nContent-Type: text/plain\r\n", BodyResult::Bad, ContentKind::None, 10,
       ""},
      {"Content-Length: 10\r\nContent-Type: text/xml; broken\r\n", BodyResult::Bad,
       ContentKind::None, 10, ""},
      {"Content-Length: -1\r\nContent-Type: text/xml\r\n", BodyResult::Bad, ContentKind::None, 0,
       ""},
      {"Content-Length: 4294967306\r\nContent-Type: text/xml\r\n", BodyResult::Bad,
       ContentKind::None, 0, ""},
      // Memory-held bodies have a lower cap than streamed DIME ones.
      {"Content-Length: 100000000\r\nContent-Type: text/xml\r\n", BodyResult::Bad,
       ContentKind::SoapXml, 100000000, ""},
      {"Content-Length: 100000000\r\nContent-Type: application/dime\r\n", BodyResult::Body,
       ContentKind::Dime, 100000000, ""},
      {"Content-Length: 5 apples\r\nContent-Type: text/xml\r\n", BodyResult::Body,
       ContentKind::SoapXml, 5, ""},
  };
  HeaderBlockReader reader;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    RequestHeaders h = ParseFields(reader, c.fields);
    BodyInfo info;
    EXPECT_EQ(AnalyseBody(h, &info), c.event);
    if (c.event == BodyResult::Bad) continue;
    EXPECT_EQ(info.kind, c.kind);
    EXPECT_EQ(info.contentLength, c.length);
    EXPECT_EQ(info.soapAction, c.action);
  }
  RequestHeaders h =
      ParseFields(reader, "Content-Length: 3\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n");
  BodyInfo info;
  ASSERT_EQ(AnalyseBody(h, &info), BodyResult::Body);
  EXPECT_EQ(info.charset, "UTF-8");
}

TEST(UrlDecodeTest, Table) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"%41%42", "AB"},
      {"a+b", "a b"},
      {"%%", "%"},
      {"%4a%4A", "JJ"},
      {"/a%zzb", "/ab"},  // a bad escape drops itself and two characters
      {"/a%", "/a"},      // cut short at the end
      {"/a%4", "/a"},
      {"/a.txt%00.htm", std::string("/a.txt\0.htm", 11)},
      {"plain/path", "plain/path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    std::string out;
    UrlDecode(c.in, &out);
    EXPECT_EQ(out, c.out);
  }
  std::string out;
  UrlDecode(std::string(3000, 'x'), &out);
  EXPECT_EQ(out.size(), kMaxDecodedPathBytes);

  std::string path, query;
  SplitRequestUri("/a%20b?x=1?y", &path, &query);
  EXPECT_EQ(path, "/a b");
  EXPECT_EQ(query, "x=1?y");
}

TEST(FindEndpointTest, ExactThenSlashBoundedWildcardPrefixes) {
  EndpointTable table;
  auto add = [&](const std::string& key, bool enabled, bool wildcard) {
    EndpointInfo e;
    e.requestURI = key;
    e.enabled = enabled;
    e.wildcard = wildcard;
    table[key] = e;
  };
  add("/svc", true, true);
  add("/svc/x", false, false);
  add("/plain", true, false);
  add("/off", false, true);

  struct Case {
    const char* path;
    const char* found;  // null: none
    const char* uri;
    const char* extra;
  } cases[] = {
      {"/svc", "/svc", "/svc", ""},
      {"/svc/a/b", "/svc", "/svc", "/a/b"},
      {"/svc/x/y", nullptr, "/svc/x", ""},  // a disabled longer key decides
      {"/svc/x", nullptr, "/svc/x", ""},
      {"/svcx", nullptr, "", ""},  // not "/"-bounded
      {"/plain", "/plain", "/plain", ""},
      {"/plain/more", nullptr, "/plain", ""},  // not a wildcard
      {"/off/a", nullptr, "/off", ""},
      {"/nothing", nullptr, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string uri = "stale", extra = "stale";
    const EndpointInfo* e = FindEndpoint(table, c.path, &uri, &extra);
    if (c.found == nullptr) {
      EXPECT_EQ(e, nullptr);
    } else {
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->requestURI, c.found);
      EXPECT_EQ(extra, c.extra);
    }
    EXPECT_EQ(uri, c.uri);
  }

  // "/*" is the empty key and catches whatever nothing longer takes.
  add("", true, true);
  std::string uri, extra;
  const EndpointInfo* e = FindEndpoint(table, "/other/x", &uri, &extra);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->requestURI, "");
  EXPECT_EQ(extra, "/other/x");
  EXPECT_EQ(FindEndpoint(table, std::string("/svc\0/a", 7), &uri, &extra), nullptr);
}

}  // namespace
}  // namespace server
