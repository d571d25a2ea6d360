// One server exchange of the message object, without sockets: parse an
// echoStructArray request (rpc/encoded, SOAP 1.1) of 1, 100 and 10,000
// structs, RPC-decode it, echo the array as the return value and serialize
// the response. Reports messages per second and the bytes requested from
// operator new per message (SysAllocString, SAFEARRAYs and the envelope
// buffers come from malloc and are not counted).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <filesystem>
#include <new>
#include <string>

#include "message/message_parser.h"
#include "message/rpc_decoder.h"
#include "message/soap_message.h"
#include "message/testing/fake_dorvish.h"
#include "platform/com/activation.h"
#include "xml/namespaces.h"

namespace {

std::atomic<uint64_t> g_new_bytes{0};

}  // namespace

// Counting replacements of the global allocation functions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  g_new_bytes.fetch_add(size, std::memory_order_relaxed);
  if (void* p = malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  g_new_bytes.fetch_add(size, std::memory_order_relaxed);
  return malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete[](void* p) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }
#pragma GCC diagnostic pop

namespace {

using message::testing::FakeDorvish;
using message::testing::Key;

std::string Request(int items) {
  std::string doc =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:t=\"urn:t\" "
      "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><SOAP-ENV:Body>"
      "<m:echoStructArray xmlns:m=\"urn:interop\"><inputStructArray "
      "SOAP-ENC:arrayType=\"t:SOAPStruct[" +
      std::to_string(items) + "]\">";
  for (int i = 0; i < items; ++i) {
    doc += "<item><varString>value " + std::to_string(i) + "</varString><varInt>" +
           std::to_string(i) + "</varInt><varFloat>" + std::to_string(i) + ".5</varFloat></item>";
  }
  return doc + "</inputStructArray></m:echoStructArray></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

ComPtr<FakeDorvish> Reader() {
  ComPtr<FakeDorvish> reader = com::MakeComObject<FakeDorvish>();
  auto& w = reader->wsdl;
  const std::u16string xsd(xml::kXmlSchemaNamespace), enc(xml::kSoap11EncodingNamespace);
  w.binding_version = xml::kWsdlSoap11Namespace;
  w.input_parts[Key({u"echoStructArray", u"inputStructArray"})] = {u"ArrayOfSOAPStruct", u"urn:t"};
  w.output_parts[Key({u"echoStructArray", u"return"})] = {u"ArrayOfSOAPStruct", u"urn:t"};
  w.output_uses[u"echoStructArray"] = u"encoded";
  w.complex_base[Key({u"ArrayOfSOAPStruct", u"urn:t"})] = {u"Array", enc};
  w.array_types[Key({u"ArrayOfSOAPStruct", u"urn:t"})] = {u"SOAPStruct", u"urn:t"};
  w.array_dims[Key({u"ArrayOfSOAPStruct", u"urn:t"})] = 1;
  w.complex_base[Key({u"SOAPStruct", u"urn:t"})] = {u"Struct", enc};
  w.struct_members[Key({u"SOAPStruct", u"urn:t", u"varString", u""})] = {u"string", xsd};
  w.struct_members[Key({u"SOAPStruct", u"urn:t", u"varInt", u""})] = {u"int", xsd};
  w.struct_members[Key({u"SOAPStruct", u"urn:t", u"varFloat", u""})] = {u"float", xsd};
  return reader;
}

void Exchange(benchmark::State& state) {
  const std::string request = Request(static_cast<int>(state.range(0)));
  ComPtr<FakeDorvish> reader = Reader();
  uint64_t bytes_out = 0;
  const uint64_t new_before = g_new_bytes.load();
  for (auto _ : state) {
    message::SoapMessage m;
    m.Initialize(u"Svc", u"Port", u"urn:node", u"", u"", false, false, reader.Get());
    char* bytes = static_cast<char*>(malloc(request.size()));
    memcpy(bytes, request.data(), request.size());
    m.SetEnvelopeBytes(bytes, static_cast<uint32_t>(request.size()));
    if (!m.Deserialize()) state.SkipWithError("parse failed");
    message::DecodeRpcRequestEncoded(m.GetRequestParser(), m, reader.Get());
    if (m.MethodParams().empty()) state.SkipWithError("decode failed");
    m.SetRequestPhase(false);
    m.SetReturnValueName(u"return");
    m.SetReturnValue(m.MethodParams()[0]->content);
    m.ClearMethodParams();
    if (!m.Serialize()) state.SkipWithError("serialize failed");
    bytes_out += m.EnvelopeLength();
    benchmark::DoNotOptimize(m.EnvelopeBytes());
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["msgs/s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["new_bytes/msg"] = static_cast<double>(g_new_bytes.load() - new_before) / n;
  state.counters["request_bytes"] = static_cast<double>(request.size());
  state.counters["response_bytes"] = static_cast<double>(bytes_out) / n;
}
BENCHMARK(Exchange)->Arg(1)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

// Structs are created through the registry: the struct component is
// registered into a private one first.
int main(int argc, char** argv) {
  std::string dir = (std::filesystem::temp_directory_path() / "qvmsgbench.XXXXXX").string();
  if (!mkdtemp(dir.data())) return 1;
  setenv("QUORVEL_REGISTRY", (dir + "/registry").c_str(), 1);
  const std::string command =
      std::string(QV_REGCOMP) + " -s " + QV_SOAPSTRUCT_COMPONENT + " >/dev/null";
  if (system(command.c_str()) != 0) return 1;
  CoInitialize(nullptr);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  CoUninitialize();
  std::filesystem::remove_all(dir);
  return 0;
}
