// Round trip of one cross-process call with a string argument, to the test
// local server (started on demand from a temporary registry), beside a plain
// Unix-socket ping-pong with a forked process of the same request and reply
// bytes. Run by hand (a Release build):
//   remote_call_benchmark --benchmark_filter=Beside
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/remote/testhost/remote_test_setup.h"
#include "platform/com/remote/testhost/test_remote.h"
#include "platform/com/remote/wire.h"

namespace {

using com::remote::Writer;

// Values without objects, for building frames.
class NoObjects final : public com::remote::ObjectCodec {
 public:
  HRESULT EncodeObject(Writer&, IUnknown*, int) override { return E_NOTIMPL; }
  HRESULT DecodeObject(com::remote::Reader&, bool, IUnknown**, int) override { return E_NOTIMPL; }
};

// The frames an Echo call of `text` sends and gets back, byte for byte in
// size and layout.
void EchoFrames(BSTR text, std::string* request, std::string* reply) {
  NoObjects none;
  Writer call;
  call.buffer().resize(com::remote::kFrameHeaderBytes);
  call.U64(1);  // object
  call.U32(1);  // dispid
  call.U32(0);  // lcid
  call.U16(DISPATCH_METHOD);
  call.U8(1);  // a result is wanted
  call.U32(1);  // one argument
  Variant arg;
  arg.vt = VT_BSTR;
  arg.bstrVal = text;
  com::remote::EncodeVariant(call, arg, none, true);
  arg.Detach();
  call.U32(0);  // no named arguments
  *request = call.buffer();

  Writer back;
  back.buffer().resize(com::remote::kFrameHeaderBytes);
  back.U32(0);  // S_OK
  back.U8(1);
  Variant result;
  result.vt = VT_BSTR;
  result.bstrVal = text;
  com::remote::EncodeVariant(back, result, none, false);
  result.Detach();
  back.U8(0);   // no exception
  back.U32(0);  // argument error
  back.U32(0);  // no out values
  *reply = back.buffer();
}

// Context switches (voluntary and not) of every thread of `pid` so far: a
// figure the machine's load does not blur as it blurs times.
long long SwitchesOf(pid_t pid) {
  long long total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (!dir) return 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream status(tasks + "/" + e->d_name + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos) {
        total += std::stoll(line.substr(line.find(':') + 1));
      }
    }
  }
  closedir(dir);
  return total;
}

bool ReadExactly(int fd, char* p, size_t n) {
  while (n > 0) {
    const ssize_t got = recv(fd, p, n, 0);
    if (got <= 0) return false;
    p += got;
    n -= size_t(got);
  }
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

// A forked process answering each request with the reply, both blocking on
// one stream socket: the floor a cross-process call cannot go below.
class PlainPeer {
 public:
  PlainPeer(const std::string& request, const std::string& reply)
      : request_(request), reply_(reply) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
    child_ = fork();
    if (child_ == 0) {
      close(fds[0]);
      std::string in(request.size(), '\0');
      while (ReadExactly(fds[1], in.data(), in.size()) && WriteAll(fds[1], reply)) {
      }
      _exit(0);
    }
    close(fds[1]);
    fd_ = fds[0];
  }
  ~PlainPeer() {
    if (fd_ >= 0) close(fd_);
    if (child_ > 0) waitpid(child_, nullptr, 0);
  }
  bool ok() const { return fd_ >= 0 && child_ > 0; }
  pid_t pid() const { return child_; }
  bool RoundTrip() {
    std::string answer(reply_.size(), '\0');
    return WriteAll(fd_, request_) && ReadExactly(fd_, answer.data(), answer.size());
  }

 private:
  const std::string request_;
  const std::string reply_;
  int fd_ = -1;
  pid_t child_ = -1;
};

// The test host, started on demand and held for one benchmark; calls run on
// the thread that made it.
class TestHost {
 public:
  explicit TestHost(benchmark::State& state) : setup_(/*linger_ms=*/2000) {
    if (!setup_.error().empty()) {
      state.SkipWithError(setup_.error().c_str());
      return;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    initialized_ = true;
    ComPtr<IDispatch> object;
    if (FAILED(CoCreateInstance(CLSID_TestRemote, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                object.ReceiveVoid()))) {
      state.SkipWithError("the test host could not be reached");
      return;
    }
    remote_ = com::MakeDispatchProxy<ITestRemote>(object.Get());
  }
  ~TestHost() {
    remote_.Reset();
    if (initialized_) CoUninitialize();
  }
  ITestRemote* remote() const { return remote_.Get(); }

 private:
  com::testing::RemoteTestSetup setup_;
  bool initialized_ = false;
  ComPtr<ITestRemote> remote_;
};

void BM_EchoRoundTrip(benchmark::State& state) {
  TestHost host(state);
  if (!host.remote()) return;
  Bstr text(std::u16string(size_t(state.range(0)), u'x'));
  for (auto _ : state) {
    Bstr echoed;
    if (FAILED(host.remote()->Echo(text.Get(), echoed.Receive()))) {
      state.SkipWithError("call failed");
      break;
    }
    benchmark::DoNotOptimize(echoed.Get());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0) * 2);
}
BENCHMARK(BM_EchoRoundTrip)->Arg(16)->Arg(4096);

// Our call and the plain ping-pong, interleaved call by call so that both see
// the same machine load: µs per round trip of each and their ratio.
void BM_EchoBesidePlainPingPong(benchmark::State& state) {
  Bstr text(std::u16string(size_t(state.range(0)), u'x'));
  std::string request, reply;
  EchoFrames(text.Get(), &request, &reply);
  PlainPeer plain(request, reply);  // forked before any thread of ours starts
  if (!plain.ok()) {
    state.SkipWithError("no plain peer");
    return;
  }
  TestHost host(state);
  if (!host.remote()) return;
  using Clock = std::chrono::steady_clock;
  Clock::duration ours{}, theirs{};
  for (auto _ : state) {
    const auto start = Clock::now();
    Bstr echoed;
    if (FAILED(host.remote()->Echo(text.Get(), echoed.Receive()))) {
      state.SkipWithError("call failed");
      break;
    }
    const auto middle = Clock::now();
    if (!plain.RoundTrip()) {
      state.SkipWithError("plain round trip failed");
      break;
    }
    const auto end = Clock::now();
    ours += middle - start;
    theirs += end - middle;
  }
  const double n = double(std::max<int64_t>(state.iterations(), 1));
  const double ours_us = std::chrono::duration<double, std::micro>(ours).count() / n;
  const double plain_us = std::chrono::duration<double, std::micro>(theirs).count() / n;
  state.counters["ours_us"] = ours_us;
  state.counters["plain_us"] = plain_us;
  state.counters["ratio"] = plain_us > 0 ? ours_us / plain_us : 0;
  // Switches per round trip in both processes, each kind on its own.
  constexpr int kCounted = 2000;
  LONG host_pid = 0;
  host.remote()->GetProcessId(&host_pid);
  long long before = SwitchesOf(getpid()) + SwitchesOf(pid_t(host_pid));
  for (int i = 0; i < kCounted; ++i) {
    Bstr echoed;
    host.remote()->Echo(text.Get(), echoed.Receive());
  }
  const long long ours_switches = SwitchesOf(getpid()) + SwitchesOf(pid_t(host_pid)) - before;
  before = SwitchesOf(getpid()) + SwitchesOf(plain.pid());
  for (int i = 0; i < kCounted; ++i) plain.RoundTrip();
  const long long plain_switches = SwitchesOf(getpid()) + SwitchesOf(plain.pid()) - before;
  state.counters["ours_switches"] = double(ours_switches) / kCounted;
  state.counters["plain_switches"] = double(plain_switches) / kCounted;
  state.counters["request_bytes"] = double(request.size());
  state.counters["reply_bytes"] = double(reply.size());
}
BENCHMARK(BM_EchoBesidePlainPingPong)->Arg(16)->Arg(256)->Arg(4096)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
