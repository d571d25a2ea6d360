// Throughput of SoapProxy posting a 64 MB attachment as DIME to a braskel on
// a loopback port (scripts/client_dime_bench.sh starts it and passes
// QV_BENCH_PORT): "Upload" posts to an endpoint that answers with a small
// text envelope, "Echo" to the DIME echo, which sends the attachment back.
// The download rate is the echo's time less the upload's. Afterwards the
// client's peak resident memory, which must not grow with the attachment.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "client/soap_proxy.h"
#include "dime/resources.h"
#include "dime/testing/dime_testing.h"
#include "interfaces/quenlin.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/storage/storage.h"

namespace {

constexpr size_t kAttachmentBytes = size_t{64} << 20;
constexpr char kEnvelope[] =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<SOAP-ENV:Body><ask xmlns=\"urn:q\">bench</ask></SOAP-ENV:Body></SOAP-ENV:Envelope>";

double g_upload_seconds = 0;

int Port() {
  const char* port = std::getenv("QV_BENCH_PORT");
  return port != nullptr ? std::atoi(port) : 0;
}

// One exchange with a fresh message; false (and the reason on stderr) when
// it failed.
bool PostOnce(client::SoapProxy& proxy, IStorage* attachment, const char* path) {
  ComPtr<Iquenlin2> message;
  if (FAILED(CoCreateInstance(CLSID_quenlin2, nullptr, CLSCTX_SERVER, IID_Iquenlin2,
                              message.ReceiveVoid()))) {
    std::fprintf(stderr, "no message object: register quenlin first\n");
    return false;
  }
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, sizeof kEnvelope - 1);
  void* data = nullptr;
  SafeArrayAccessData(array, &data);
  std::copy(kEnvelope, kEnvelope + sizeof kEnvelope - 1, static_cast<char*>(data));
  SafeArrayUnaccessData(array);
  Variant buffer;
  buffer.vt = VT_ARRAY | VT_UI1;
  buffer.parray = array;
  VARIANT_BOOL ok = VARIANT_FALSE;
  message->SetBuffer(buffer, &ok);
  Variant no_options;
  message->AddDIMEAttachmentReq(Bstr(u"big").Get(), Bstr(u"application/octet-stream").Get(), 1,
                                static_cast<IUnknown*>(attachment), no_options, &ok);
  try {
    if (proxy.Post("\"urn:a\"", true, "127.0.0.1", Port(), "POST", path, "", "qv-bench",
                   message.Get(), 11, false)) {
      return true;
    }
    std::fprintf(stderr, "no answer (status %d)\n", proxy.HttpStatus());
  } catch (client::QVSOAPDIMEProxyFault* fault) {
    const std::unique_ptr<client::QVSOAPDIMEProxyFault> owned(fault);
    std::fprintf(stderr, "post failed: %zu-character fault\n", owned->Text().size());
  }
  return false;
}

void Run(benchmark::State& state, const char* path, bool echo) {
  ComPtr<IStorage> attachment = dime::testing::PatternStorage(kAttachmentBytes);
  client::SoapProxy proxy;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!PostOnce(proxy, attachment.Get(), path)) {
      state.SkipWithError("post failed");
      return;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double per_post = seconds / static_cast<double>(state.iterations());
  const double mb = static_cast<double>(kAttachmentBytes) / 1e6;
  if (!echo) {
    g_upload_seconds = per_post;
    state.counters["up_MB/s"] = mb / per_post;
  } else if (per_post > g_upload_seconds && g_upload_seconds > 0) {
    state.counters["down_MB/s"] = mb / (per_post - g_upload_seconds);
  }
}

void BM_Upload(benchmark::State& state) { Run(state, "/up", false); }
void BM_Echo(benchmark::State& state) { Run(state, "/svc", true); }
BENCHMARK(BM_Upload)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Echo)->Unit(benchmark::kMillisecond)->Iterations(5);

long PeakResidentKb() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (Port() <= 0) {
    std::fprintf(stderr, "QV_BENCH_PORT must name the port of a running braskel\n");
    return 2;
  }
  CoInitialize(nullptr);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  CoUninitialize();
  std::printf("client peak resident memory: %ld kB\n", PeakResidentKb());
  return 0;
}
