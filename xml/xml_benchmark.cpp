// Throughput of the XML core on SOAP-sized inputs: parsing and writing a 1 MB
// envelope of many small elements and one holding a 1 MB base64 payload, and
// base64 encoding and decoding of 1 MB. Figures are bytes per second. Also
// hostile shapes whose times are compared by eye (see each case).
//
// Where expat and libxml2 were found at build time, the two envelopes are
// also parsed by expat (SAX, namespace processing on) and libxml2 (into its
// tree), and the run ends with the ratio of our figure to each of theirs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#if QUORVEL_BENCH_EXPAT
#include <expat.h>
#endif
#if QUORVEL_BENCH_LIBXML2
#include <libxml/parser.h>
#include <libxml/tree.h>
#endif

#include "platform/text/text.h"
#include "xml/codecs.h"
#include "xml/sax_dispatcher.h"
#include "xml/xml_parser.h"
#include "xml/xml_writer.h"

namespace {

constexpr size_t kTargetSize = 1 << 20;

std::string ManySmallElements() {
  std::string doc =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>"
      "<m:echoStructArray xmlns:m=\"urn:interop\"><inputStructArray>";
  for (int i = 0; doc.size() < kTargetSize; ++i) {
    doc += "<item><varString xsi:type=\"xsd:string\">value &amp; " + std::to_string(i) +
           "</varString><varInt xsi:type=\"xsd:int\">" + std::to_string(i) +
           "</varInt><varFloat xsi:type=\"xsd:float\">" + std::to_string(i) +
           ".5</varFloat></item>";
  }
  return doc + "</inputStructArray></m:echoStructArray></soap:Body></soap:Envelope>";
}

std::vector<uint8_t> Payload() {
  std::vector<uint8_t> bytes(kTargetSize);
  uint32_t x = 12345;
  for (uint8_t& b : bytes) {
    x = x * 1103515245 + 12345;
    b = uint8_t(x >> 16);
  }
  return bytes;
}

std::string Base64Envelope() {
  const std::vector<uint8_t> bytes = Payload();
  std::string encoded;
  xml::Base64Encode(bytes.data(), bytes.size() * 3 / 4, encoded);  // about 1 MB of text
  return "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
         "<m:put xmlns:m=\"urn:m\"><data>" +
         encoded + "</data></m:put></soap:Body></soap:Envelope>";
}

void ParseBytes(benchmark::State& state, const std::string& doc, xml::XmlContentHandler* h) {
  xml::XmlParser parser;
  for (auto _ : state) {
    parser.ParseXmlBuffer(doc.data(), doc.size(), h);
    benchmark::DoNotOptimize(parser.GetRoot());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc.size()));
}

void BM_ParseManyElementsUtf8(benchmark::State& state) {
  ParseBytes(state, ManySmallElements(), nullptr);
}
BENCHMARK(BM_ParseManyElementsUtf8)->Unit(benchmark::kMillisecond);

void BM_ParseManyElementsUtf16InPlace(benchmark::State& state) {
  const std::u16string wide = u"\uFEFF" + text::Widen(ManySmallElements());
  std::string bytes(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  ParseBytes(state, bytes, nullptr);
}
BENCHMARK(BM_ParseManyElementsUtf16InPlace)->Unit(benchmark::kMillisecond);

void BM_ParseManyElementsThroughDispatcher(benchmark::State& state) {
  xml::SaxDispatcher dispatcher;  // no root handler: every element is skipped
  ParseBytes(state, ManySmallElements(), &dispatcher);
}
BENCHMARK(BM_ParseManyElementsThroughDispatcher)->Unit(benchmark::kMillisecond);

void BM_ParseBase64Payload(benchmark::State& state) {
  ParseBytes(state, Base64Envelope(), nullptr);
}
BENCHMARK(BM_ParseBase64Payload)->Unit(benchmark::kMillisecond);

#if QUORVEL_BENCH_EXPAT
// Handlers that touch what they are given, as a reader building nothing would.
struct ExpatCounts {
  size_t elements = 0;
  size_t text = 0;
};

void ExpatParse(benchmark::State& state, const std::string& doc) {
  for (auto _ : state) {
    XML_Parser parser = XML_ParserCreateNS(nullptr, '\x01');
    ExpatCounts counts;
    XML_SetUserData(parser, &counts);
    XML_SetElementHandler(
        parser,
        [](void* data, const XML_Char*, const XML_Char**) {
          ++static_cast<ExpatCounts*>(data)->elements;
        },
        [](void*, const XML_Char*) {});
    XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char*, int length) {
      static_cast<ExpatCounts*>(data)->text += size_t(length);
    });
    if (XML_Parse(parser, doc.data(), int(doc.size()), /*isFinal=*/1) != XML_STATUS_OK) {
      state.SkipWithError("expat refused the document");
    }
    benchmark::DoNotOptimize(counts);
    XML_ParserFree(parser);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc.size()));
}

void BM_ExpatParseManyElements(benchmark::State& state) { ExpatParse(state, ManySmallElements()); }
BENCHMARK(BM_ExpatParseManyElements)->Unit(benchmark::kMillisecond);

void BM_ExpatParseBase64Payload(benchmark::State& state) { ExpatParse(state, Base64Envelope()); }
BENCHMARK(BM_ExpatParseBase64Payload)->Unit(benchmark::kMillisecond);
#endif

#if QUORVEL_BENCH_LIBXML2
void LibXml2Parse(benchmark::State& state, const std::string& doc) {
  for (auto _ : state) {
    xmlDocPtr tree = xmlReadMemory(doc.data(), int(doc.size()), nullptr, nullptr, XML_PARSE_NONET);
    if (!tree) state.SkipWithError("libxml2 refused the document");
    benchmark::DoNotOptimize(tree);
    xmlFreeDoc(tree);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc.size()));
}

void BM_LibXml2ParseManyElements(benchmark::State& state) {
  LibXml2Parse(state, ManySmallElements());
}
BENCHMARK(BM_LibXml2ParseManyElements)->Unit(benchmark::kMillisecond);

void BM_LibXml2ParseBase64Payload(benchmark::State& state) {
  LibXml2Parse(state, Base64Envelope());
}
BENCHMARK(BM_LibXml2ParseBase64Payload)->Unit(benchmark::kMillisecond);
#endif

// One tag with 100 000 attributes, then 20 000 tags with 17 attributes each
// (enough to need the repeated-name set). Run by hand: the combined case
// should cost about the huge tag plus the long tags, since a later tag must
// not pay for the bookkeeping the huge one needed.
std::string TagWithAttributes(int count) {
  std::string tag = "<x";
  for (int i = 0; i < count; ++i) tag += " a" + std::to_string(i) + "=''";
  return tag + "/>";
}

std::string LongTags() {
  const std::string tag = TagWithAttributes(17);
  std::string tags;
  for (int i = 0; i < 20000; ++i) tags += tag;
  return tags;
}

void BM_ParseOneHugeTag(benchmark::State& state) {
  ParseBytes(state, "<r>" + TagWithAttributes(100000) + "</r>", nullptr);
}
BENCHMARK(BM_ParseOneHugeTag)->Unit(benchmark::kMillisecond);

void BM_ParseLongTags(benchmark::State& state) {
  ParseBytes(state, "<r>" + LongTags() + "</r>", nullptr);
}
BENCHMARK(BM_ParseLongTags)->Unit(benchmark::kMillisecond);

void BM_ParseLongTagsAfterHugeTag(benchmark::State& state) {
  ParseBytes(state, "<r>" + TagWithAttributes(100000) + LongTags() + "</r>", nullptr);
}
BENCHMARK(BM_ParseLongTagsAfterHugeTag)->Unit(benchmark::kMillisecond);

void WriteParsed(benchmark::State& state, const std::string& doc) {
  xml::XmlParser parser;
  parser.ParseXmlBuffer(doc.data(), doc.size(), nullptr);
  size_t written = 0;
  for (auto _ : state) {
    char* out = nullptr;
    written = parser.WriteXmlDocument(&out);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(written));
}

void BM_WriteManyElements(benchmark::State& state) { WriteParsed(state, ManySmallElements()); }
BENCHMARK(BM_WriteManyElements)->Unit(benchmark::kMillisecond);

void BM_WriteBase64Payload(benchmark::State& state) { WriteParsed(state, Base64Envelope()); }
BENCHMARK(BM_WriteBase64Payload)->Unit(benchmark::kMillisecond);

void BM_Base64Encode(benchmark::State& state) {
  const std::vector<uint8_t> bytes = Payload();
  std::string out;
  for (auto _ : state) {
    xml::Base64Encode(bytes.data(), bytes.size(), out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_Base64Encode)->Unit(benchmark::kMillisecond);

void BM_Base64Decode(benchmark::State& state) {
  const std::vector<uint8_t> bytes = Payload();
  std::string text;
  xml::Base64Encode(bytes.data(), bytes.size(), text);
  std::vector<uint8_t> out(bytes.size());
  for (auto _ : state) {
    size_t count = 0;
    if (!xml::Base64Decode(text, out.data(), &count)) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond);

// Reports as usual, keeping each parse figure so the ratios can follow.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that logs and pipes get plain text.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      // With repetitions the median counts; a single run counts as it is.
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name != "median") continue;
        medians_.insert(name);
      } else if (medians_.contains(name)) {
        continue;
      }
      figures_[name] = double(it->second);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const char* const shapes[] = {"ManyElements", "Base64Payload"};
    for (const char* shape : shapes) {
      const double ours = Figure(std::string("BM_Parse") + shape + (shape[0] == 'M' ? "Utf8" : ""));
      if (ours == 0) continue;
      std::printf("%-14s ours %8.1f MB/s", shape, ours / 1e6);
      for (const char* other : {"Expat", "LibXml2"}) {
        const double theirs = Figure(std::string("BM_") + other + "Parse" + shape);
        if (theirs > 0)
          std::printf("  %s %8.1f MB/s (ratio %.2f)", other, theirs / 1e6, ours / theirs);
      }
      std::printf("\n");
    }
  }

 private:
  double Figure(const std::string& name) const {
    auto it = figures_.find(name);
    return it == figures_.end() ? 0 : it->second;
  }

  std::map<std::string, double> figures_;
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
