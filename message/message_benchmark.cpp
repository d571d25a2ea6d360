// One server exchange of the message object, without sockets: parse an
// echoStructArray request (rpc/encoded, SOAP 1.1) of 1 to 30,000 structs, RPC-decode it, echo the
// array as the return value and serialize the response. Reports messages per second and, per
// message, the calls to the heap and the bytes asked of it: malloc and its kin are interposed in
// this binary, so operator new, SysAllocString, SAFEARRAYs and the envelope
// buffers are all counted, in every library of the process.
//
// A reference from outside the system is measured in the same run: libxml2
// building its tree of the same request. Only the parse is comparable (our
// parse also checks the SOAP structure and records the accessors), so the
// ratio printed at the end compares our parse alone with it. The closing
// table gives time and heap per item, which stay flat when the cost is linear,
// and the resident set once every run is over (memory not given back shows
// there).
//
// Run by hand on a Release build:
//   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/release --target message_benchmark -j3
//   build/release/message/message_benchmark
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#if defined(QV_HAVE_LIBXML2)
#include <libxml/parser.h>
#include <libxml/tree.h>
#endif

#include "message/internal/parse_blocks.h"
#include "message/message_parser.h"
#include "message/rpc_decoder.h"
#include "message/soap_message.h"
#include "message/testing/fake_dorvish.h"
#include "platform/com/activation.h"
#include "xml/namespaces.h"

// ---- Counting the heap --------------------------------------------------------
// The sanitizers own malloc in their builds; there nothing is interposed and
// the heap figures are not reported.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QV_COUNT_HEAP 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QV_COUNT_HEAP 0
#endif
#endif
#ifndef QV_COUNT_HEAP
#define QV_COUNT_HEAP 1
#endif

namespace {

// Counted per thread, without locked instructions: each benchmark's loop
// runs, and allocates, on one thread, which reads its own counts.
struct HeapCount {
  uint64_t calls;
  uint64_t bytes;
};
thread_local HeapCount g_heap __attribute__((tls_model("initial-exec"))) = {0, 0};

}  // namespace

#if QV_COUNT_HEAP
// glibc's own entry points, under the names it exports for allocators that
// wrap it.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void __libc_free(void* p);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
}

namespace {

inline void Count(size_t bytes) {
  ++g_heap.calls;
  g_heap.bytes += bytes;
}

bool IsPowerOfTwo(size_t n) { return n != 0 && (n & (n - 1)) == 0; }

}  // namespace

// Exported, so that every library of the process calls these.
#define QV_HEAP_EXPORT extern "C" __attribute__((visibility("default")))

QV_HEAP_EXPORT void* malloc(size_t size) noexcept {
  Count(size);
  return __libc_malloc(size);
}
QV_HEAP_EXPORT void* calloc(size_t count, size_t size) noexcept {
  size_t total = 0;
  if (__builtin_mul_overflow(count, size, &total)) {
    errno = ENOMEM;
    return nullptr;
  }
  Count(total);
  return __libc_calloc(count, size);
}
QV_HEAP_EXPORT void* realloc(void* p, size_t size) noexcept {
  // A growth copies into a new block of the new size; count it whole.
  Count(size);
  return __libc_realloc(p, size);
}
QV_HEAP_EXPORT void free(void* p) noexcept { __libc_free(p); }
QV_HEAP_EXPORT void* memalign(size_t alignment, size_t size) noexcept {
  Count(size);
  return __libc_memalign(alignment, size);
}
QV_HEAP_EXPORT void* aligned_alloc(size_t alignment, size_t size) noexcept {
  if (!IsPowerOfTwo(alignment)) {
    errno = EINVAL;
    return nullptr;
  }
  Count(size);
  return __libc_memalign(alignment, size);
}
QV_HEAP_EXPORT int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  if (!IsPowerOfTwo(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
  Count(size);
  void* p = __libc_memalign(alignment, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
QV_HEAP_EXPORT void* valloc(size_t size) noexcept {
  Count(size);
  return __libc_valloc(size);
}
QV_HEAP_EXPORT void* pvalloc(size_t size) noexcept {
  Count(size);
  return __libc_pvalloc(size);
}
#undef QV_HEAP_EXPORT
#endif  // QV_COUNT_HEAP

namespace {

using message::testing::FakeDorvish;
using message::testing::Key;

// Heap use between construction and Report(), per iteration of `state`. The
// arena blocks a parse takes back from those earlier parses left (see
// message/internal/parse_blocks.h) count as asked: they are the parse's
// memory as much as a fresh block would be.
class HeapMeter {
 public:
  HeapMeter()
      : calls_(g_heap.calls + Reused().reused_calls),
        bytes_(g_heap.bytes + Reused().reused_bytes) {}
  void Report(benchmark::State& state) const {
    if (!QV_COUNT_HEAP) return;
    const double n = static_cast<double>(state.iterations());
    const message::internal::ParseBlockCounts reused = Reused();
    state.counters["heap_calls/msg"] =
        static_cast<double>(g_heap.calls + reused.reused_calls - calls_) / n;
    state.counters["heap_bytes/msg"] =
        static_cast<double>(g_heap.bytes + reused.reused_bytes - bytes_) / n;
  }

 private:
  static message::internal::ParseBlockCounts Reused() {
    return message::internal::CountParseBlocks();
  }

  uint64_t calls_, bytes_;
};

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

// The request as the server hands it over: a malloc'd copy the message owns.
void GiveRequest(message::SoapMessage& m, const std::string& request) {
  char* bytes = static_cast<char*>(malloc(request.size()));
  memcpy(bytes, request.data(), request.size());
  m.SetEnvelopeBytes(bytes, static_cast<uint32_t>(request.size()));
}

// Items per request. A large size fits one or two iterations in the default
// time, and its first exchange pays the page faults of a heap the process has
// never touched (about four times the work itself here): unwarmed, 30,000
// items looked superlinear beside 10,000, which ran 13 mostly warm iterations.
// Every size is measured warm, so that the figures compare the work alone.
void Sizes(benchmark::internal::Benchmark* b) {
  for (int items : {1, 100, 1000, 10000, 30000}) b->Arg(items);
  b->MinWarmUpTime(0.3)->MinTime(1.0);
}

void Exchange(benchmark::State& state) {
  const std::string request = Request(static_cast<int>(state.range(0)));
  ComPtr<FakeDorvish> reader = Reader();
  uint64_t bytes_out = 0;
  const HeapMeter heap;
  for (auto _ : state) {
    message::SoapMessage m;
    m.Initialize(u"Svc", u"Port", u"urn:node", u"", u"", false, false, reader.Get());
    GiveRequest(m, request);
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
  heap.Report(state);
  state.counters["request_bytes"] = static_cast<double>(request.size());
  state.counters["response_bytes"] = static_cast<double>(bytes_out) / n;
}
BENCHMARK(Exchange)->Apply(Sizes)->Unit(benchmark::kMicrosecond);

// Our parse alone: the request parser building the tree and the accessors.
void Parse(benchmark::State& state) {
  const std::string request = Request(static_cast<int>(state.range(0)));
  ComPtr<FakeDorvish> reader = Reader();
  const HeapMeter heap;
  for (auto _ : state) {
    message::SoapMessage m;
    m.Initialize(u"Svc", u"Port", u"urn:node", u"", u"", false, false, reader.Get());
    GiveRequest(m, request);
    if (!m.Deserialize()) state.SkipWithError("parse failed");
  }
  state.counters["msgs/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  heap.Report(state);
}
BENCHMARK(Parse)->Apply(Sizes)->Unit(benchmark::kMicrosecond);

#if defined(QV_HAVE_LIBXML2)
// The reference: libxml2 building its tree of the same bytes, from a copy
// made per message as ours is.
void Libxml2Parse(benchmark::State& state) {
  const std::string request = Request(static_cast<int>(state.range(0)));
  const HeapMeter heap;
  for (auto _ : state) {
    char* bytes = static_cast<char*>(malloc(request.size()));
    memcpy(bytes, request.data(), request.size());
    xmlDocPtr doc = xmlReadMemory(bytes, static_cast<int>(request.size()), "request.xml", nullptr,
                                  XML_PARSE_NONET);
    if (!doc) state.SkipWithError("libxml2 parse failed");
    benchmark::DoNotOptimize(doc);
    xmlFreeDoc(doc);
    free(bytes);
  }
  state.counters["msgs/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  heap.Report(state);
}
BENCHMARK(Libxml2Parse)->Apply(Sizes)->Unit(benchmark::kMicrosecond);
#endif

// A line of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when absent.
long StatusKib(const char* field) {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long value = -1;
  const size_t len = strlen(field);
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, field, len) == 0 && line[len] == ':') {
      value = strtol(line + len + 1, nullptr, 10);
      break;
    }
  }
  fclose(f);
  return value;
}

// The console report, then per item figures of our parse and exchange beside
// the reference's parse, for each size.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  struct Figures {
    double us_per_msg = 0;
    double heap_bytes = -1;
    double heap_calls = -1;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // With repetitions the median stands for the size; it comes last.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median)) continue;
      Figures f;
      f.us_per_msg = run.GetAdjustedRealTime();
      if (auto it = run.counters.find("heap_bytes/msg"); it != run.counters.end()) {
        f.heap_bytes = it->second.value;
      }
      if (auto it = run.counters.find("heap_calls/msg"); it != run.counters.end()) {
        f.heap_calls = it->second.value;
      }
      figures_[run.run_name.function_name][std::stol(run.run_name.args)] = f;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    if (!QV_COUNT_HEAP) {
      printf("\nHeap figures are not reported: the sanitizers own malloc in this build.\n");
    }
    printf(
        "\nPer item (struct): our parse, libxml2 (xmlReadMemory, tree built) on the same\n"
        "request, and our whole exchange. Only the parse is comparable: ours also checks the\n"
        "SOAP structure and records accessors.\n");
    printf("%7s | %9s %9s %6s | %9s %7s %9s %7s | %9s %9s %7s\n", "items", "parse us", "libxml us",
           "ratio", "parse B", "allocs", "libxml B", "allocs", "exch us", "exch B", "allocs");
    auto find = [this](const char* name, long items) -> const Figures* {
      auto f = figures_.find(name);
      if (f == figures_.end()) return nullptr;
      auto it = f->second.find(items);
      return it == f->second.end() ? nullptr : &it->second;
    };
    auto parse = figures_.find("Parse");
    if (parse == figures_.end()) return;
    for (const auto& [items, ours] : parse->second) {
      const double n = static_cast<double>(items);
      printf("%7ld | %9.3f", items, ours.us_per_msg / n);
      if (const Figures* r = find("Libxml2Parse", items)) {
        printf(" %9.3f %6.2f", r->us_per_msg / n, ours.us_per_msg / r->us_per_msg);
      } else {
        printf(" %9s %6s", "-", "-");
      }
      printf(" | %9.0f %7.1f", ours.heap_bytes / n, ours.heap_calls / n);
      if (const Figures* r = find("Libxml2Parse", items)) {
        printf(" %9.0f %7.1f", r->heap_bytes / n, r->heap_calls / n);
      } else {
        printf(" %9s %7s", "-", "-");
      }
      if (const Figures* e = find("Exchange", items)) {
        printf(" | %9.3f %9.0f %7.1f\n", e->us_per_msg / n, e->heap_bytes / n, e->heap_calls / n);
      } else {
        printf(" | %9s %9s %7s\n", "-", "-", "-");
      }
    }
    // What the allocator holds beside what is in use tells retained free
    // pages from live data.
    const struct mallinfo2 heap = mallinfo2();
    printf(
        "\nResident set before the runs: %ld KiB; after them: %ld KiB (peak %ld KiB);\n"
        "heap in use %zu KiB, held by the allocator %zu KiB.\n",
        rss_at_start_, StatusKib("VmRSS"), StatusKib("VmHWM"), heap.uordblks >> 10,
        (heap.arena + heap.hblkhd) >> 10);
    // The server trims so once a load has ended (its watchdog's idle pass).
    message::ReleaseKeptParseMemory();
    malloc_trim(0);
    printf("Resident set once the free pages are given back (the server's idle trim): %ld KiB.\n",
           StatusKib("VmRSS"));
  }

  void NoteStart() { rss_at_start_ = StatusKib("VmRSS"); }

 private:
  std::map<std::string, std::map<long, Figures>> figures_;
  long rss_at_start_ = -1;
};

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
#if defined(QV_HAVE_LIBXML2)
  xmlInitParser();
#endif
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  reporter.NoteStart();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
#if defined(QV_HAVE_LIBXML2)
  xmlCleanupParser();
#endif
  CoUninitialize();
  std::filesystem::remove_all(dir);
  return 0;
}
