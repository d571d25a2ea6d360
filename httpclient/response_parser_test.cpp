#include "httpclient/response_parser.h"

#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace httpclient {
namespace {

// Feeds `bytes` in chunks cut at `cuts` (ascending offsets).
void Feed(ResponseParser& p, std::string_view bytes, const std::vector<size_t>& cuts, bool* ok) {
  size_t at = 0;
  for (size_t cut : cuts) {
    *ok = p.Append(bytes.substr(at, cut - at)) && *ok;
    at = cut;
  }
  *ok = p.Append(bytes.substr(at)) && *ok;
}

void ExpectSame(const ResponseParser& a, const ResponseParser& b, const std::string& where) {
  EXPECT_EQ(a.head_complete(), b.head_complete()) << where;
  EXPECT_EQ(a.status_code_text(), b.status_code_text()) << where;
  EXPECT_EQ(a.reason_text(), b.reason_text()) << where;
  EXPECT_EQ(a.major_version(), b.major_version()) << where;
  EXPECT_EQ(a.minor_version(), b.minor_version()) << where;
  EXPECT_EQ(a.header_lines(), b.header_lines()) << where;
  EXPECT_EQ(a.body(), b.body()) << where;
}

TEST(ResponseParserTest, StatusLineParts) {
  const struct {
    const char* response;
    int status;
    const char* reason;
    int major, minor;
    bool head_complete;
    const char* body;
  } cases[] = {
      {"HTTP/1.1 404 Not Found\r\n\r\nx", 404, "Not", 1, 1, true, "x"},
      // No reason phrase: the head still completes on the empty line that
      // arrived in the same read.
      {"HTTP/1.0 200\r\n\r\n<a/>", 200, "", 1, 0, true, "<a/>"},
      // Bare line feeds: no character of the line is lost.
      {"HTTP/1.0 302 Found\nLocation: /x\n\nb", 302, "Found", 1, 0, true, "b"},
      {"HTTP/1.0  500   Oops  \r\n\r\n", 500, "Oops", 1, 0, true, ""},
      // No version: all bytes are body.
      {"<doc>\n</doc>", 0, "", 0, 9, true, "<doc>\n</doc>"},
      // Starts with a line feed: an empty status line, so no version.
      {"\nHTTP/1.0 200 OK\r\n\r\n", 0, "", 0, 9, true, "\nHTTP/1.0 200 OK\r\n\r\n"},
      // A head that has not ended keeps every byte as body.
      {"HTTP/1.0 200 OK\r\nA: b\r\n", 200, "OK", 1, 0, false, "HTTP/1.0 200 OK\r\nA: b\r\n"},
      // A version without a number: no status, but the head still ends.
      {"HTTP/x.1 200 OK\r\n\r\nb", 0, "", 1, 0, true, "b"},
  };
  for (const auto& c : cases) {
    ResponseParser p;
    ASSERT_TRUE(p.Append(c.response)) << c.response;
    EXPECT_EQ(p.GetStatusCode(), c.status) << c.response;
    EXPECT_EQ(p.reason_text(), c.reason) << c.response;
    EXPECT_EQ(p.major_version(), c.major) << c.response;
    EXPECT_EQ(p.minor_version(), c.minor) << c.response;
    EXPECT_EQ(p.head_complete(), c.head_complete) << c.response;
    EXPECT_EQ(p.body(), c.body) << c.response;
  }
}

TEST(ResponseParserTest, HeadersContinuationsAndEntityHeaders) {
  ResponseParser p;
  ASSERT_TRUE(p.Append(
      "HTTP/1.0 200 OK\r\n"
      "Content-Type: text/xml\r\n"
      "X-A: one\r\n"
      " two\r\n"
      "\tthree\r\n"
      "content-length: 5\r\n"
      "Odd:no-blank\r\n"
      "\r\n"
      "hello"));
  ASSERT_TRUE(p.head_complete());
  EXPECT_EQ(p.header_lines(), (std::vector<std::string>{"Content-Type: text/xml",
                                                        "X-A: one two\tthree",
                                                        "content-length: 5", "Odd:no-blank"}));
  EXPECT_EQ(p.GetHeader("content-type"), " text/xml");
  EXPECT_EQ(p.GetHeader("X-A"), " one two\tthree");
  EXPECT_EQ(p.GetHeader("ODD"), "no-blank");
  EXPECT_EQ(p.GetHeader("Location"), "");
  EXPECT_EQ(p.content_type(), "text/xml");
  EXPECT_TRUE(p.has_content_length());
  EXPECT_EQ(p.content_length(), 5u);
  EXPECT_EQ(p.body(), "hello");
}

TEST(ResponseParserTest, ContentLengthPresentOnlyAsANumber) {
  const struct {
    const char* value;
    bool present;
    uint64_t length;
  } cases[] = {
      {"12", true, 12},   {"  7", true, 7},  {"3x", true, 3}, {"x", false, 0},
      {"-1", false, 0},   {"", false, 0},    {"99999999999999999999999", true, UINT64_MAX},
  };
  for (const auto& c : cases) {
    ResponseParser p;
    p.SetMaxBodyLength(SIZE_MAX);
    ASSERT_TRUE(p.Append(std::string("HTTP/1.0 200 OK\r\nContent-Length: ") + c.value + "\r\n\r\n"))
        << c.value;
    EXPECT_EQ(p.has_content_length(), c.present) << c.value;
    EXPECT_EQ(p.content_length(), c.length) << c.value;
  }
}

TEST(ResponseParserTest, EverySplitParsesLikeTheWhole) {
  const std::string response =
      "HTTP/1.1 200 OK\r\n"
      "Content-Type: text/xml\r\n"
      "X-A: one\r\n"
      " two\r\n"
      "Content-Length: 6\r\n"
      "\r\n"
      "<a/>\r\n";
  ResponseParser whole;
  ASSERT_TRUE(whole.Append(response));
  ASSERT_TRUE(whole.head_complete());
  ASSERT_EQ(whole.body(), "<a/>\r\n");

  for (size_t cut = 1; cut < response.size(); ++cut) {
    ResponseParser p;
    bool ok = true;
    Feed(p, response, {cut}, &ok);
    ASSERT_TRUE(ok);
    ExpectSame(whole, p, "cut at " + std::to_string(cut));
  }
  std::vector<size_t> every;
  for (size_t i = 1; i < response.size(); ++i) every.push_back(i);
  ResponseParser bytewise;
  bool ok = true;
  Feed(bytewise, response, every, &ok);
  ASSERT_TRUE(ok);
  ExpectSame(whole, bytewise, "one byte at a time");
}

TEST(ResponseParserTest, CrAsLastByteWaitsForItsLineFeed) {
  ResponseParser p;
  ASSERT_TRUE(p.Append("HTTP/1.0 200 OK\r\nA: 1\r"));
  EXPECT_FALSE(p.head_complete());
  ASSERT_TRUE(p.Append("\nB: 2\r"));
  ASSERT_TRUE(p.Append("\n\r"));
  EXPECT_FALSE(p.head_complete());
  ASSERT_TRUE(p.Append("\nbody"));
  ASSERT_TRUE(p.head_complete());
  EXPECT_EQ(p.header_lines(), (std::vector<std::string>{"A: 1", "B: 2"}));
  EXPECT_EQ(p.body(), "body");
}

TEST(ResponseParserTest, HeadLongerThanTheLimitFails) {
  ResponseParser p;
  ASSERT_TRUE(p.Append("HTTP/1.0 200 OK\r\n"));
  const std::string line = "X: " + std::string(1000, 'v') + "\r\n";
  bool ok = true;
  for (size_t i = 0; ok && i < 2 * kMaxResponseHeadLength / line.size(); ++i) ok = p.Append(line);
  EXPECT_FALSE(ok);
  EXPECT_EQ(p.error(), ResponseParser::Error::HeadTooLong);
  EXPECT_FALSE(p.Append("\r\n")) << "a failed response stays failed";
}

TEST(ResponseParserTest, BodyLimit) {
  {
    ResponseParser p;
    p.SetMaxBodyLength(10);
    ASSERT_TRUE(p.Append("HTTP/1.0 200 OK\r\n\r\n12345"));
    ASSERT_TRUE(p.Append("67890"));
    EXPECT_FALSE(p.Append("1"));
    EXPECT_EQ(p.error(), ResponseParser::Error::BodyTooLong);
    EXPECT_EQ(p.body().size(), 10u);
  }
  {
    // Over the limit in the same read that completes the head.
    ResponseParser p;
    p.SetMaxBodyLength(3);
    EXPECT_FALSE(p.Append("HTTP/1.0 200 OK\r\n\r\n1234"));
    EXPECT_EQ(p.error(), ResponseParser::Error::BodyTooLong);
  }
  {
    // An announced length above the default limit is refused before any body arrives.
    ResponseParser p;
    EXPECT_FALSE(p.Append("HTTP/1.0 200 OK\r\nContent-Length: 99999999999\r\n\r\n"));
    EXPECT_EQ(p.error(), ResponseParser::Error::BodyTooLong);
  }
}

TEST(ResponseParserTest, ResetForgetsTheResponseButNotTheLimit) {
  ResponseParser p;
  p.SetMaxBodyLength(2);
  EXPECT_FALSE(p.Append("HTTP/1.0 200 OK\r\nA: b\r\n\r\nabc"));
  p.Reset();
  EXPECT_EQ(p.GetStatusCode(), 0);
  EXPECT_TRUE(p.header_lines().empty());
  EXPECT_TRUE(p.body().empty());
  EXPECT_TRUE(p.Append("HTTP/1.0 204 No\r\n\r\nab"));
  EXPECT_FALSE(p.Append("c"));
}

// Mutated responses fed whole and in random pieces: never a crash or a read
// past the data (ASan), the same outcome however the bytes are cut, and the
// body always the bytes after the head (or every byte while it is open).
TEST(ResponseParserTest, MutatedResponsesInRandomPiecesParseLikeTheWhole) {
  const std::string seeds[] = {
      "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 6\r\n\r\n<a/>\r\n",
      "HTTP/1.0 302 Found\r\nLocation: http://h:81/x\r\nX-A: one\r\n two\r\n\r\nmoved",
      "HTTP/1.0 200\nA: b\n\nbody",
      "<doc>\n</doc>",
  };
  static constexpr char kInteresting[] = {'\r', '\n', ' ', '\t', ':', '\0', '\xFF', '.', '/', '9'};
  std::mt19937 rng(20240611);
  auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  for (int round = 0; round < 4000; ++round) {
    std::string r = seeds[below(std::size(seeds))];
    for (size_t edits = 1 + below(4); edits > 0 && !r.empty(); --edits) {
      const size_t at = below(r.size());
      const char c = below(2) ? kInteresting[below(std::size(kInteresting))]
                              : static_cast<char>(below(256));
      switch (below(4)) {
        case 0: r[at] = c; break;
        case 1: r.insert(at, 1, c); break;
        case 2: r.erase(at, 1 + below(4)); break;
        default: r.resize(at); break;
      }
    }
    ResponseParser whole;
    const bool whole_ok = whole.Append(r);
    ASSERT_TRUE(whole_ok) << "round " << round;
    if (!whole.head_complete()) {
      EXPECT_EQ(whole.body(), r) << "round " << round;
    } else {
      ASSERT_LE(whole.body().size(), r.size());
      EXPECT_EQ(whole.body(), r.substr(r.size() - whole.body().size())) << "round " << round;
    }
    (void)whole.GetStatusCode();
    (void)whole.GetHeader("LOCATION");

    std::vector<size_t> cuts;
    for (size_t at = 1 + below(r.size() / 4 + 1); at < r.size();
         at += 1 + below(r.size() / 4 + 1)) {
      cuts.push_back(at);
    }
    ResponseParser pieces;
    bool ok = true;
    Feed(pieces, r, cuts, &ok);
    ASSERT_TRUE(ok) << "round " << round;
    ExpectSame(whole, pieces, "round " + std::to_string(round));
    EXPECT_EQ(whole.GetStatusCode(), pieces.GetStatusCode()) << "round " << round;
    EXPECT_EQ(whole.content_length(), pieces.content_length()) << "round " << round;
    if (HasFailure()) break;
  }
}

TEST(AToITest, BehavesLikeAtoiWithoutOverflow) {
  const struct {
    const char* s;
    int v;
  } cases[] = {{"42", 42}, {"  -7x", -7}, {"+3", 3}, {"x1", 0}, {"", 0},
               {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}};
  for (const auto& c : cases) EXPECT_EQ(AToI(c.s), c.v) << c.s;
}

}  // namespace
}  // namespace httpclient
