// Loading and modelling a 1 MB WSDL document (many messages, port-type and
// binding operations with SOAP extensions, and schema types) from a file, and
// the queries the message object asks per request on the loaded model.
// Figures are bytes per second for the load and calls per second for queries.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "wsdl/wsdl_client.h"

namespace {

constexpr size_t kTargetSize = 1 << 20;

std::string LargeWsdl(int* operations) {
  std::string types, messages, port_type, binding;
  int n = 0;
  size_t size = 0;
  for (; size < kTargetSize; ++n) {
    const std::string i = std::to_string(n);
    types += "<xsd:complexType name=\"Struct" + i +
             "\"><xsd:sequence>"
             "<xsd:element name=\"a\" type=\"xsd:int\"/><xsd:element name=\"b\" "
             "type=\"xsd:string\"/><xsd:element name=\"c\" type=\"t:Struct" +
             i +
             "\"/></xsd:sequence></xsd:complexType>"
             "<xsd:element name=\"Elem" +
             i +
             "\"><xsd:complexType><xsd:sequence>"
             "<xsd:element name=\"v\" type=\"xsd:double\" maxOccurs=\"unbounded\"/>"
             "</xsd:sequence></xsd:complexType></xsd:element>\n";
    messages += "<message name=\"In" + i + "\"><part name=\"x\" type=\"t:Struct" + i +
                "\"/><part name=\"y\" type=\"xsd:int\"/></message>"
                "<message name=\"Out" +
                i + "\"><part name=\"return\" element=\"t:Elem" + i + "\"/></message>\n";
    port_type += "<operation name=\"op" + i + "\" parameterOrder=\"x y\"><input message=\"tns:In" +
                 i + "\"/><output message=\"tns:Out" + i + "\"/></operation>\n";
    binding += "<operation name=\"op" + i + "\"><soap:operation soapAction=\"urn:bench#op" + i +
               "\"/><input><soap:body use=\"encoded\" namespace=\"urn:bench\" "
               "encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"/></input>"
               "<output><soap:body use=\"encoded\" namespace=\"urn:bench\" "
               "encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"/></output>"
               "</operation>\n";
    size = types.size() + messages.size() + port_type.size() + binding.size();
  }
  *operations = n;
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<definitions targetNamespace=\"urn:bench\" xmlns=\"http://schemas.xmlsoap.org/wsdl/\" "
         "xmlns:tns=\"urn:bench\" xmlns:t=\"urn:bench:types\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
         "xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\">\n"
         "<types><xsd:schema targetNamespace=\"urn:bench:types\">\n" +
         types + "</xsd:schema></types>\n" + messages + "<portType name=\"PT\">\n" + port_type +
         "</portType>\n<binding name=\"B\" type=\"tns:PT\"><soap:binding style=\"rpc\" "
         "transport=\"http://schemas.xmlsoap.org/soap/http\"/>\n" +
         binding +
         "</binding>\n<service name=\"S\"><port name=\"P\" binding=\"tns:B\">"
         "<soap:address location=\"http://localhost:8080/bench\"/></port></service>\n"
         "</definitions>\n";
}

class Fixture {
 public:
  Fixture() {
    const std::string doc = LargeWsdl(&operations_);
    size_ = doc.size();
    path_ = (std::filesystem::temp_directory_path() / "qvwsdl_bench.XXXXXX").string();
    const int fd = mkstemp(path_.data());
    if (fd >= 0) close(fd);
    std::ofstream(path_, std::ios::binary) << doc;
  }
  ~Fixture() { std::remove(path_.c_str()); }
  std::string url() const { return "file://" + path_; }
  size_t size() const { return size_; }
  int operations() const { return operations_; }

 private:
  std::string path_;
  size_t size_ = 0;
  int operations_ = 0;
};

Fixture& Document() {
  static Fixture fixture;
  return fixture;
}

void BM_LoadAndModel1MB(benchmark::State& state) {
  const Fixture& f = Document();
  for (auto _ : state) {
    wsdl::WsdlClient client;
    if (!client.LoadServiceDescription(u"S", u"P", f.url())) {
      state.SkipWithError("load failed");
      break;
    }
    benchmark::DoNotOptimize(client.HasDocument());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.size()));
  state.counters["operations"] = f.operations();
}
BENCHMARK(BM_LoadAndModel1MB)->Unit(benchmark::kMillisecond);

void BM_QueriesOnLoadedModel(benchmark::State& state) {
  const Fixture& f = Document();
  wsdl::WsdlClient client;
  if (!client.LoadServiceDescription(u"S", u"P", f.url())) {
    state.SkipWithError("load failed");
    return;
  }
  const std::u16string op = u"op" + std::u16string(u"1");
  for (auto _ : state) {
    std::u16string text;
    wsdl::QName type;
    benchmark::DoNotOptimize(client.GetMethodSOAPAction(op, &text));
    benchmark::DoNotOptimize(client.GetMethodNamespaceURI(op, &text));
    benchmark::DoNotOptimize(client.GetMsgPartType(wsdl::Direction::Input, op, u"x", &type));
    benchmark::DoNotOptimize(
        client.GetStructMemberType(u"Struct1", u"urn:bench:types", u"b", u"", &type));
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * 4);
}
BENCHMARK(BM_QueriesOnLoadedModel);

}  // namespace

BENCHMARK_MAIN();
