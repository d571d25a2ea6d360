// Round trip of one cross-process call with a string argument, to the test
// local server (started on demand from a temporary registry). Run by hand.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/remote/testhost/remote_test_setup.h"
#include "platform/com/remote/testhost/test_remote.h"

namespace {

void BM_EchoRoundTrip(benchmark::State& state) {
  com::testing::RemoteTestSetup setup(/*linger_ms=*/2000);
  if (!setup.error().empty()) {
    state.SkipWithError(setup.error().c_str());
    return;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    ComPtr<IDispatch> object;
    if (FAILED(CoCreateInstance(CLSID_TestRemote, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                object.ReceiveVoid()))) {
      state.SkipWithError("the test host could not be reached");
    } else {
      ComPtr<ITestRemote> remote = com::MakeDispatchProxy<ITestRemote>(object.Get());
      Bstr text(std::u16string(size_t(state.range(0)), u'x'));
      for (auto _ : state) {
        Bstr echoed;
        if (FAILED(remote->Echo(text.Get(), echoed.Receive()))) {
          state.SkipWithError("call failed");
          break;
        }
        benchmark::DoNotOptimize(echoed.Get());
      }
      state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0) * 2);
    }
  }
  CoUninitialize();
}
BENCHMARK(BM_EchoRoundTrip)->Arg(16)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
