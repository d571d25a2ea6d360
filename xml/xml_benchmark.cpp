// Throughput of the XML core on SOAP-sized inputs: parsing and writing a 1 MB
// envelope of many small elements and one holding a 1 MB base64 payload, and
// base64 encoding and decoding of 1 MB. Figures are bytes per second.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

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
           "</varInt><varFloat xsi:type=\"xsd:float\">" + std::to_string(i) + ".5</varFloat></item>";
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

}  // namespace

BENCHMARK_MAIN();
