// Loading and modelling a 1 MB WSDL document (many messages, port-type and
// binding operations with SOAP extensions, and schema types) from a file, and
// the queries the message object asks per request on the loaded model.
// Figures are bytes per second for the load and calls per second for queries.
// The memory runs load a 4 MB document, a chain of four 4 MB documents each
// importing the next, and a terse 3.3 MB document of short-named struct types
// and two-part messages, and report the heap a loaded reader holds and the
// peak heap of its load, per document byte.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "wsdl/wsdl_client.h"

// ---- Counting the heap --------------------------------------------------------
// Bytes in use by the process's blocks (as the allocator sized them) and their
// peak. The sanitizers own malloc in their builds; there nothing is counted.

namespace {
std::atomic<size_t> g_in_use{0};
std::atomic<size_t> g_peak{0};
}  // namespace

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void __libc_free(void* p);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

void* Taken(void* p) {
  if (p) {
    const size_t now =
        g_in_use.fetch_add(malloc_usable_size(p), std::memory_order_relaxed) +
        malloc_usable_size(p);
    size_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
  }
  return p;
}
void Given(void* p) {
  if (p) g_in_use.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
}
bool IsPowerOfTwo(size_t n) { return n != 0 && (n & (n - 1)) == 0; }

}  // namespace

#define QV_HEAP_EXPORT extern "C" __attribute__((visibility("default")))

QV_HEAP_EXPORT void* malloc(size_t size) noexcept { return Taken(__libc_malloc(size)); }
QV_HEAP_EXPORT void* calloc(size_t count, size_t size) noexcept {
  return Taken(__libc_calloc(count, size));
}
QV_HEAP_EXPORT void* realloc(void* p, size_t size) noexcept {
  Given(p);
  void* q = __libc_realloc(p, size);
  // A failed growth leaves the old block in place.
  return Taken(q ? q : (size != 0 ? p : nullptr));
}
QV_HEAP_EXPORT void free(void* p) noexcept {
  Given(p);
  __libc_free(p);
}
QV_HEAP_EXPORT void* memalign(size_t alignment, size_t size) noexcept {
  return Taken(__libc_memalign(alignment, size));
}
QV_HEAP_EXPORT void* aligned_alloc(size_t alignment, size_t size) noexcept {
  if (!IsPowerOfTwo(alignment)) {
    errno = EINVAL;
    return nullptr;
  }
  return Taken(__libc_memalign(alignment, size));
}
QV_HEAP_EXPORT int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  if (!IsPowerOfTwo(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
  void* p = Taken(__libc_memalign(alignment, size));
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
#endif

namespace {

constexpr size_t kTargetSize = 1 << 20;
constexpr size_t kLargeSize = size_t{4} << 20;

// A document of about `target` bytes whose names start with `prefix`; it
// imports `import_location` when that is not empty, and only the document
// with `service` set has the service the loads select.
std::string LargeWsdl(int* operations, size_t target = kTargetSize, const std::string& prefix = "",
                      const std::string& import_location = "", bool service = true) {
  std::string types, messages, port_type, binding;
  int n = 0;
  size_t size = 0;
  for (; size < target; ++n) {
    const std::string i = prefix + std::to_string(n);
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
  const std::string service_element =
      service ? "<service name=\"S\"><port name=\"P\" binding=\"tns:B" + prefix +
                    "\"><soap:address location=\"http://localhost:8080/bench\"/></port>"
                    "</service>\n"
              : std::string();
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<definitions targetNamespace=\"urn:bench\" xmlns=\"http://schemas.xmlsoap.org/wsdl/\" "
         "xmlns:tns=\"urn:bench\" xmlns:t=\"urn:bench:types\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
         "xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\">\n" +
         (import_location.empty()
              ? std::string()
              : "<import namespace=\"urn:bench\" location=\"" + import_location + "\"/>\n") +
         "<types><xsd:schema targetNamespace=\"urn:bench:types\">\n" +
         types + "</xsd:schema></types>\n" + messages + "<portType name=\"PT" + prefix + "\">\n" + port_type +
         "</portType>\n<binding name=\"B" + prefix + "\" type=\"tns:PT" + prefix +
         "\"><soap:binding style=\"rpc\" "
         "transport=\"http://schemas.xmlsoap.org/soap/http\"/>\n" +
         binding + "</binding>\n" + service_element + "</definitions>\n";
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

// Documents d0 .. d<count-1> of about 4 MB each in a directory of their own,
// each importing the next; d0 has the service.
class ChainFixture {
 public:
  explicit ChainFixture(int count) {
    dir_ = (std::filesystem::temp_directory_path() / "qvwsdl_chain.XXXXXX").string();
    if (!mkdtemp(dir_.data())) return;
    for (int i = 0; i < count; ++i) {
      std::string next;
      if (i + 1 < count) next.append("d").append(std::to_string(i + 1)).append(".wsdl");
      std::string prefix("d");
      prefix.append(std::to_string(i)).append("_");
      int operations = 0;
      const std::string doc = LargeWsdl(&operations, kLargeSize, prefix, next, i == 0);
      std::ofstream(dir_ + "/d" + std::to_string(i) + ".wsdl", std::ios::binary) << doc;
      bytes_ += doc.size();
    }
  }
  // One document of `definitions` struct types of two members and messages
  // of two parts, all named B<n>: little text per record.
  static ChainFixture Terse(int definitions) {
    ChainFixture terse(0);
    std::string doc =
        "<?xml version=\"1.0\"?>\n"
        "<definitions targetNamespace=\"urn:chain\" xmlns=\"http://schemas.xmlsoap.org/wsdl/\"\n"
        "  xmlns:tns=\"urn:chain\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"\n"
        "  xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\">\n"
        "<types><xsd:schema targetNamespace=\"urn:chain:types\">\n";
    std::string messages;
    for (int i = 0; i < definitions; ++i) {
      std::string name("B");
      name.append(std::to_string(i));
      doc += "<xsd:complexType name=\"" + name +
             "\"><xsd:sequence><xsd:element name=\"a\" type=\"xsd:int\"/>"
             "<xsd:element name=\"b\" type=\"xsd:string\"/></xsd:sequence></xsd:complexType>\n";
      messages += "<message name=\"" + name +
                  "\"><part name=\"p\" type=\"xsd:int\"/><part name=\"q\" "
                  "type=\"xsd:string\"/></message>\n";
    }
    doc += "</xsd:schema></types>\n" + messages +
           "<portType name=\"PT\"><operation name=\"op\"><input message=\"tns:B7\"/>"
           "</operation></portType>\n"
           "<binding name=\"B\" type=\"tns:PT\"><soap:binding style=\"rpc\"/>\n"
           "<operation name=\"op\"><soap:operation soapAction=\"urn:op\"/></operation>"
           "</binding>\n<service name=\"S\"><port name=\"P\" binding=\"tns:B\">"
           "<soap:address location=\"http://svc.example:81/x\"/></port></service>\n"
           "</definitions>\n";
    std::ofstream(terse.dir_ + "/d0.wsdl", std::ios::binary) << doc;
    terse.bytes_ = doc.size();
    return terse;
  }
  ChainFixture(ChainFixture&& other) noexcept
      : dir_(std::exchange(other.dir_, std::string())), bytes_(other.bytes_) {}
  ~ChainFixture() {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string url() const { return "file://" + dir_ + "/d0.wsdl"; }
  size_t bytes() const { return bytes_; }

 private:
  std::string dir_;
  size_t bytes_ = 0;
};

// Heap held by the loaded reader and the load's peak, per byte of the
// documents loaded (zero where the heap is not counted).
void MeasureLoad(benchmark::State& state, const ChainFixture& chain) {
  for (auto _ : state) {
    const size_t base = g_in_use.load();
    g_peak.store(base);
    auto client = std::make_unique<wsdl::WsdlClient>();
    if (!client->LoadServiceDescription(u"S", u"P", chain.url())) {
      state.SkipWithError("load failed");
      break;
    }
    const double bytes = static_cast<double>(chain.bytes());
    state.counters["doc_MB"] = bytes / (1 << 20);
    state.counters["held/doc_byte"] = static_cast<double>(g_in_use.load() - base) / bytes;
    state.counters["peak/doc_byte"] = static_cast<double>(g_peak.load() - base) / bytes;
  }
}
void BM_Memory4MB(benchmark::State& state) { MeasureLoad(state, ChainFixture(1)); }
void BM_MemoryChainOfFour4MB(benchmark::State& state) { MeasureLoad(state, ChainFixture(4)); }
void BM_MemoryTerse3MB(benchmark::State& state) {
  MeasureLoad(state, ChainFixture::Terse(13000));
}
BENCHMARK(BM_Memory4MB)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryChainOfFour4MB)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryTerse3MB)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
