// Randomized mutation loops over the parser and the codecs: bounded, seeded
// (so a failure repeats), and run under the sanitizers like every test. Each
// loop checks properties that must hold for any input, not fixed answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "xml/codecs.h"
#include "xml/node_handler.h"
#include "xml/sax_dispatcher.h"
#include "xml/testing/tree_dump.h"
#include "xml/utf8.h"
#include "xml/xml_parser.h"
#include "xml/xml_writer.h"

namespace xml {
namespace {

constexpr int kParserIterations = 20000;
constexpr int kCodecIterations = 20000;

const char* const kSeeds[] = {
    "<?xml version='1.0'?>\n<s:Envelope xmlns:s='urn:s' xmlns='urn:d'>\n<s:Body a='1' s:b=\"2\">"
    "t&amp;&#x41;<m:op xmlns:m='urn:m' m:x='&lt;'>caf\xC3\xA9<![CDATA[<raw>]]><i/></m:op>"
    "<!-- c --><?pi data?>\xF0\x9F\x98\x80</s:Body></s:Envelope>",
    "<!DOCTYPE r [<!ELEMENT r ANY><!ENTITY e 'x'>]><r xml:lang='en'><a xmlns=''><b/></a>]]</r>",
    "<a xmlns:x='urn:ab' xmlns:y='urn:a' x:c='1' y:bc='2'>x<b/>y&#128512;</a>",
    "<p:a xmlns:p='urn:p'><p:b xmlns:p='urn:q'><c xmlns='urn:c'><d xmlns=''/></c></p:b></p:a>",
    "<!DOCTYPE a SYSTEM 'x>' [<!ENTITY e \"]>\"><?p ]>?><!-- ]> -->]>\r\n<a b='x\ty\r\nz&#13;'>"
    "l1\r\nl2\rl3&#13;&#9;<![CDATA[c\r\nd]]><p:b xmlns:p='urn:p' p:c='&#10;'/></a>",
};

// Pieces of markup that mutations splice in, so that mutants stay close to XML.
using namespace std::literals;
const std::string_view kTokens[] = {
    "<"sv,    ">"sv,    "</"sv,        "/>"sv,        "&"sv,         ";"sv,        "&#x1F600;"sv,
    "&#65;"sv, "&#"sv,  "&lt;"sv,      "="sv,         "'"sv,         "\""sv,       " "sv,
    "\n"sv,   ":"sv,   "xmlns"sv,     "xmlns:p"sv,   "p:"sv,        "xmlns=''"sv, "<![CDATA["sv,
    "]]>"sv,  "<!--"sv, "-->"sv,       "<?"sv,        "?>"sv,        "<!"sv,       "<!DOCTYPE"sv,
    "["sv,    "]"sv,    "<a>"sv,       "</a>"sv,      "<b/>"sv,      "xml:"sv,     "\0"sv,
    "\xF0\x9F\x98\x80"sv, "\xED\xA0\xBD"sv, "\xC0\x80"sv, "\xF8\x88\x80\x80"sv,
    "\xEF\xBB\xBF"sv, "\xFE\xFF"sv, "\xFF\xFE"sv, "\r"sv, "\r\n"sv, "\t"sv, "&#13;"sv,
    "&#9;"sv, "&#x1;"sv, "\x01"sv, "\x0C"sv, "\xEF\xBF\xBE"sv, "\xED\xB0\x80"sv, "'>'"sv,
    "\">\""sv, "]>"sv, "p:1"sv,
};

std::string Mutate(std::string doc, std::mt19937& rng) {
  const int edits = 1 + int(rng() % 4);
  for (int e = 0; e < edits; ++e) {
    const size_t at = doc.empty() ? 0 : rng() % (doc.size() + 1);
    switch (rng() % 6) {
      case 0:  // overwrite one byte
        if (at < doc.size()) doc[at] = char(rng());
        break;
      case 1:  // splice in a token
        doc.insert(at, kTokens[rng() % std::size(kTokens)]);
        break;
      case 2:  // delete a range
        doc.erase(at, rng() % 8);
        break;
      case 3:  // repeat a range
        doc.insert(at, doc.substr(at, rng() % 16));
        break;
      case 4:  // truncate
        doc.resize(at);
        break;
      default: {  // swap two bytes
        if (doc.empty()) break;
        std::swap(doc[at % doc.size()], doc[rng() % doc.size()]);
        break;
      }
    }
  }
  return doc;
}

std::string AsUtf16(const std::string& utf8, bool big_endian) {
  std::u16string wide;
  Utf8ToWide(utf8, wide);
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t c : wide) {
    const char hi = char(c >> 8), lo = char(c & 0xFF);
    out += big_endian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

// Declines every element, so every subtree runs through IgnoreHandlers.
class Decliner : public NodeHandler {
 public:
  NodeHandler* CreateChild(std::u16string_view, std::u16string_view, std::u16string_view,
                           const AttributeMap&, const NamespaceScope&, XmlElement&) override {
    return nullptr;
  }
};

TEST(FuzzTest, ParserSurvivesMutantsAndRoundTripsWhatItAccepts) {
  std::mt19937 rng(20240611);
  Decliner decliner;
  SaxDispatcher dispatcher;
  XmlParser parser;
  int accepted = 0;
  for (int i = 0; i < kParserIterations; ++i) {
    std::string doc = Mutate(kSeeds[i % std::size(kSeeds)], rng);
    if (i % 7 == 0) doc = AsUtf16(doc, i % 2 == 0);
    dispatcher.SetRootHandler(i % 2 ? &decliner : nullptr);
    try {
      parser.ParseXmlBuffer(doc.data(), doc.size(), &dispatcher);
    } catch (int line) {
      ASSERT_GE(line, 1) << ::testing::PrintToString(doc);
      // A CR LF counts once, so this is an upper bound.
      ASSERT_LE(line, 1 + std::count(doc.begin(), doc.end(), '\n') +
                          std::count(doc.begin(), doc.end(), '\r'))
          << ::testing::PrintToString(doc);
      ASSERT_EQ(parser.GetRoot(), nullptr);
      continue;
    }
    ++accepted;
    const std::string tree = testing::DumpTree(*parser.GetRoot());
    char* bytes = nullptr;
    const size_t size = parser.WriteXmlDocument(&bytes);
    const std::string written(bytes, size);
    std::free(bytes);
    XmlParser again;
    try {
      again.ParseXmlBuffer(written.data(), written.size(), nullptr);
    } catch (int line) {
      FAIL() << "rereading failed at line " << line << "\ninput: " << ::testing::PrintToString(doc)
             << "\nwritten: " << ::testing::PrintToString(written);
    }
    ASSERT_EQ(testing::DumpTree(*again.GetRoot()), tree)
        << "input: " << ::testing::PrintToString(doc)
        << "\nwritten: " << ::testing::PrintToString(written);
  }
  // The mutations must leave enough documents well-formed to exercise the writer.
  EXPECT_GT(accepted, kParserIterations / 20);
}

TEST(FuzzTest, Base64AndHexDecodersStayInsideTheirCount) {
  std::mt19937 rng(7);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
  const std::string hex = "0123456789abcdefABCDEFgx";
  for (int i = 0; i < kCodecIterations; ++i) {
    std::string text;
    const size_t length = rng() % 4 == 0 ? rng() % 13 : 4 * (rng() % 6);
    for (size_t k = 0; k < length; ++k) {
      text += rng() % 50 == 0 ? char(rng()) : alphabet[rng() % alphabet.size()];
    }
    size_t count = 0;
    if (Base64Decode(text, nullptr, &count)) {
      // Exactly `count` bytes on the heap, so that a write past them is caught.
      std::vector<uint8_t> out(count + 1);
      size_t written = 0;
      if (Base64Decode(text, out.data() + 1, &written)) {
        ASSERT_EQ(written, count) << text;
        std::string again;
        Base64Encode(out.data() + 1, written, again);
        size_t n = 0;
        std::vector<uint8_t> back(written + 1);
        ASSERT_TRUE(Base64Decode(again, back.data(), &n));
        ASSERT_TRUE(std::equal(back.begin(), back.begin() + long(n), out.begin() + 1)) << text;
      }
    }
    std::string digits;
    for (size_t k = 0; k < length; ++k) digits += hex[rng() % hex.size()];
    if (HexCodec::Decode(digits, nullptr, &count)) {
      std::vector<uint8_t> out(count);
      size_t written = 0;
      if (HexCodec::Decode(digits, out.data(), &written)) {
        ASSERT_EQ(written, count) << digits;
      }
    }
  }
}

TEST(FuzzTest, Utf8ConversionsAreSafeAndWideTextRoundTrips) {
  std::mt19937 rng(11);
  for (int i = 0; i < kCodecIterations; ++i) {
    std::string bytes(rng() % 24, '\0');
    for (char& b : bytes) b = char(rng() % 3 == 0 ? 0x80 | (rng() & 0x7F) : rng());
    std::u16string wide;
    const size_t units = Utf8ToWide(bytes, wide);
    ASSERT_TRUE(units == 0 || units == wide.size());
    ASSERT_LE(wide.size(), bytes.size());

    // Any UTF-16 text, lone surrogates included, survives the way out and back.
    std::u16string text(rng() % 24, u'\0');
    for (char16_t& c : text) {
      const uint32_t pick = rng() % 4;
      c = char16_t(pick == 0 ? 0xD800 + rng() % 0x800 : pick == 1 ? rng() % 0x80 : rng());
    }
    char* out = nullptr;
    const size_t size = WideToUtf8Buffer(text.data(), text.size(), &out);
    std::u16string back;
    Utf8ToWide(out, size, back);
    std::free(out);
    ASSERT_EQ(back, text);
  }
}

TEST(FuzzTest, OleDatesOfAnyBitPatternGiveFieldsInRange) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < kCodecIterations; ++i) {
    double date;
    switch (i % 3) {
      case 0:
        date = std::bit_cast<double>(uint64_t(rng()));
        break;
      case 1:
        date = double(int64_t(rng() % 4000000) - 1000000) + double(rng() % 1000000) / 1e6;
        break;
      default:
        date = i % 2 ? kMaxOleDate - double(rng() % 1000) / 1e9 : kMinOleDate + double(rng() % 1000) / 1e9;
        break;
    }
    OleTm tm;
    if (!OleDateToTm(date, &tm)) {
      ASSERT_TRUE(std::isnan(date) || date < kMinOleDate || date > kMaxOleDate) << date;
      continue;
    }
    ASSERT_TRUE(tm.year >= 100 && tm.year <= 9999) << date;
    ASSERT_TRUE(tm.month >= 1 && tm.month <= 12 && tm.day >= 1 && tm.day <= 31) << date;
    ASSERT_TRUE(tm.hour < 24 && tm.minute < 60 && tm.second < 60) << date;
    ASSERT_TRUE(tm.day_of_week >= 1 && tm.day_of_week <= 7) << date;
    ASSERT_TRUE(tm.day_of_year >= 1 && tm.day_of_year <= 366) << date;
  }
}

}  // namespace
}  // namespace xml
