#include "server/soap/wsdl_cache.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <condition_variable>
#include <thread>
#include <vector>

#include "interfaces/dorvish.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/registry/testing/temp_registry.h"

namespace server {
namespace {

#define QV_STUB_PARAM(dir, t, name) [[maybe_unused]] QV_PTYPE_##dir(t) name
#define QV_STUB_METHOD(name, dispid, ...) \
  HRESULT name(QV_FOR_EACH(QV_STUB_PARAM, __VA_ARGS__)) override { return E_NOTIMPL; }

class StubReader : public com::Dispatch<Idorvish2> {
 public:
  QV_IDORVISH2_METHODS(QV_STUB_METHOD)
};

#undef QV_STUB_METHOD
#undef QV_STUB_PARAM

// A reader standing in for the WSDL reader: it counts the live readers and
// answers one query from state it never changes.
class FakeReader final : public com::ComObject<FakeReader, StubReader> {
 public:
  explicit FakeReader(std::string name) : name_(std::move(name)) { ++live; }
  ~FakeReader() override { --live; }
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = static_cast<UINT>(name_.size());  // the query
    return S_OK;
  }
  static inline std::atomic<int> live{0};

 private:
  std::string name_;
};

class WsdlCacheTest : public ::testing::Test {
 protected:
  WsdlCache MakeCache(int capacity) {
    return WsdlCache(
        lock_, capacity, [this](const std::string& line) { lines_.push_back(line); },
        [this](const EndpointInfo& e) -> ComPtr<IDispatch> {
          ++loads_;
          if (e.wsdlDocURL == "fail") return nullptr;
          return ComPtr<IDispatch>(com::MakeComObject<FakeReader>(e.wsdlDocURL).Get());
        },
        [this] { return now_; });
  }
  EndpointInfo Endpoint(std::string url) {
    EndpointInfo e;
    e.wsdlDocURL = std::move(url);
    return e;
  }
  void TearDown() override { EXPECT_EQ(FakeReader::live.load(), 0); }

  std::mutex lock_;
  std::vector<std::string> lines_;
  int loads_ = 0;
  uint64_t now_ = 1000;
};

TEST_F(WsdlCacheTest, ThirdEndpointEvictsLeastRecentlyUsedAndLogs) {
  WsdlCache cache = MakeCache(2);
  const EndpointInfo e = Endpoint("same.wsdl");  // one document, separate entries
  ASSERT_TRUE(cache.GetServiceDescription("/a", e));
  ++now_;
  ASSERT_TRUE(cache.GetServiceDescription("/b", e));
  ++now_;
  ASSERT_TRUE(cache.GetServiceDescription("/a", e));  // hit: /b is now the oldest
  EXPECT_EQ(loads_, 2);
  ++now_;
  ASSERT_TRUE(cache.GetServiceDescription("/c", e));
  EXPECT_TRUE(cache.Contains("/a"));
  EXPECT_FALSE(cache.Contains("/b"));
  EXPECT_TRUE(cache.Contains("/c"));
  EXPECT_EQ(lines_, std::vector<std::string>{"WSDL cache limit hit...dropping LRU entry!"});
}

TEST_F(WsdlCacheTest, ExistingKeyKeepsStoredReaderAndReleasesTheNewOne) {
  WsdlCache cache = MakeCache(1);
  ComPtr<IDispatch> first(com::MakeComObject<FakeReader>("x").Get());
  ComPtr<IDispatch> second(com::MakeComObject<FakeReader>("x").Get());
  ASSERT_TRUE(cache.Insert("/a", &first));
  IDispatch* const stored = first.Get();
  ASSERT_TRUE(cache.Insert("/a", &second));  // a full cache, but the key exists
  EXPECT_EQ(second.Get(), stored);
  EXPECT_EQ(FakeReader::live.load(), 1);
  EXPECT_TRUE(lines_.empty());  // nothing evicted for it
}

// A failed load is not cached, and not retried by every request either: it is
// remembered for a back-off, for that endpoint record only.
TEST_F(WsdlCacheTest, FailedLoadIsNotCachedAndRetriedAfterTheBackOff) {
  WsdlCache cache = MakeCache(2);
  EXPECT_FALSE(cache.GetServiceDescription("/a", Endpoint("fail")));
  EXPECT_FALSE(cache.GetServiceDescription("/a", Endpoint("fail")));
  EXPECT_EQ(loads_, 1);
  now_ += kWsdlFailureBackoffMs;
  EXPECT_FALSE(cache.GetServiceDescription("/a", Endpoint("fail")));
  EXPECT_EQ(loads_, 2);
  EXPECT_EQ(cache.Size(), 0u);
  // The endpoint, changed, loads at once.
  EXPECT_TRUE(cache.GetServiceDescription("/a", Endpoint("x")));
  EXPECT_EQ(loads_, 3);
}

// An entry serves only the endpoint record it was loaded for: a change of the
// WSDL URL, service or port is seen by the next request.
TEST_F(WsdlCacheTest, ChangedEndpointRecordGetsItsOwnReader) {
  WsdlCache cache = MakeCache(4);
  EndpointInfo e = Endpoint("x");
  ASSERT_TRUE(cache.GetServiceDescription("/a", e));
  EndpointInfo changed[3] = {Endpoint("yy"), e, e};
  changed[1].wsdlService = u"S2";
  changed[2].wsdlPort = u"P2";
  int expectedLoads = 1;
  for (const EndpointInfo& c : changed) {
    ComPtr<IDispatch> reader = cache.GetServiceDescription("/a", c);
    ASSERT_TRUE(reader);
    EXPECT_EQ(loads_, ++expectedLoads);
    UINT n = 0;
    reader->GetTypeInfoCount(&n);
    EXPECT_EQ(n, c.wsdlDocURL.size());
    EXPECT_TRUE(cache.GetServiceDescription("/a", c));  // now a hit
    EXPECT_EQ(loads_, expectedLoads);
  }
  EXPECT_EQ(cache.Size(), 1u);
  EXPECT_EQ(FakeReader::live.load(), 1);  // every replaced reader was released
}

// One load per endpoint at a time. A request arriving meanwhile starts no
// load of its own: over HTTP it waits only briefly and gets the endpoint's
// failure, rather than holding its worker for the whole load; a file's load
// it waits out and shares.
TEST_F(WsdlCacheTest, RequestDuringALoadSharesItOrFailsAtOnce) {
  struct Case {
    const char* url;
    bool shares;
  };
  for (const Case& c : {Case{"http://127.0.0.1:1/x.wsdl", false}, Case{"file:///x.wsdl", true}}) {
    SCOPED_TRACE(c.url);
    std::mutex gateMu;
    std::condition_variable gateCv;
    bool open = false;
    std::atomic<int> loads{0};
    std::atomic<bool> loading{false};
    std::mutex lock;
    WsdlCache cache(lock, 2, nullptr, [&](const EndpointInfo& e) -> ComPtr<IDispatch> {
      ++loads;
      loading = true;
      std::unique_lock<std::mutex> gate(gateMu);
      gateCv.wait(gate, [&] { return open; });
      return ComPtr<IDispatch>(com::MakeComObject<FakeReader>(e.wsdlDocURL).Get());
    });
    const EndpointInfo e = Endpoint(c.url);
    ComPtr<IDispatch> first;
    std::thread loader([&] { first = cache.GetServiceDescription("/a", e); });
    while (!loading) std::this_thread::yield();
    ComPtr<IDispatch> second;
    std::thread waiter([&] { second = cache.GetServiceDescription("/a", e); });
    if (!c.shares) waiter.join();  // answered while the load still runs
    {
      std::lock_guard<std::mutex> gate(gateMu);
      open = true;
    }
    gateCv.notify_all();
    loader.join();
    if (c.shares) waiter.join();
    ASSERT_TRUE(first);
    EXPECT_EQ(second.Get(), c.shares ? first.Get() : nullptr);
    EXPECT_EQ(cache.GetServiceDescription("/a", e).Get(), first.Get());
    EXPECT_EQ(loads.load(), 1);
    first.Reset();
    second.Reset();
    cache.Flush();
  }
}

TEST_F(WsdlCacheTest, UncachableReaderStillServesTheRequest) {
  struct Case {
    const char* name;
    int capacity;
    bool clockBack;
  };
  for (const Case& c : {Case{"no room", 0, false}, Case{"clock went back", 2, true}}) {
    SCOPED_TRACE(c.name);
    WsdlCache cache = MakeCache(c.capacity);
    if (c.clockBack) now_ -= 10;
    EXPECT_TRUE(cache.GetServiceDescription("/a", Endpoint("x")));
    EXPECT_EQ(cache.Size(), 0u);
    EXPECT_EQ(cache.FlushPending(), c.clockBack);
    now_ = 1000;
  }
}

TEST_F(WsdlCacheTest, FlushWaitsForNoActiveConnection) {
  WsdlCache cache = MakeCache(2);
  ComPtr<IDispatch> held = cache.GetServiceDescription("/a", Endpoint("x"));
  cache.RequestFlush();
  cache.FlushIfPending(1);
  EXPECT_EQ(cache.Size(), 1u);
  cache.FlushIfPending(0);
  EXPECT_EQ(cache.Size(), 0u);
  EXPECT_FALSE(cache.FlushPending());
  EXPECT_EQ(lines_.back(), "WSDL cache flushed");
  // The request's own reference outlives the flush.
  UINT n = 0;
  EXPECT_EQ(held->GetTypeInfoCount(&n), S_OK);
  EXPECT_EQ(n, 1u);
}

// Requests on several threads take readers while others evict and flush:
// each keeps a reference of its own, so no reader dies under a query.
TEST_F(WsdlCacheTest, ReadersSurviveConcurrentEvictionAndFlush) {
  std::mutex lock;
  WsdlCache cache(lock, 1, nullptr, [](const EndpointInfo& e) -> ComPtr<IDispatch> {
    return ComPtr<IDispatch>(com::MakeComObject<FakeReader>(e.wsdlDocURL).Get());
  });
  const char* const uris[] = {"/a", "/b", "/c"};
  std::atomic<bool> bad{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      const EndpointInfo e = Endpoint(std::string(uris[t % 3]) + ".wsdl");
      for (int i = 0; i < 2000; ++i) {
        ComPtr<IDispatch> reader = cache.GetServiceDescription(uris[(t + i) % 3], e);
        UINT n = 0;
        if (!reader || reader->GetTypeInfoCount(&n) != S_OK || n != 7) bad = true;
        if (t == 0 && i % 100 == 0) cache.Flush();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_FALSE(bad);
  cache.Flush();
}

}  // namespace
}  // namespace server

namespace server {
namespace {

// The real WSDL reader, registered into a registry of the test's own.
class WsdlCacheReaderTest : public registry::testing::RegistryTest {
 protected:
  void SetUp() override {
    const std::string command =
        std::string(QV_REGCOMP) + " -s " + QV_DORVISH_COMPONENT + " 2>/dev/null";
    const int status = system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    endpoint_.wsdlDocURL = std::string("file://") + QV_SERVER_TESTDATA + "/echo.wsdl";
    endpoint_.wsdlService = u"EchoService";
    endpoint_.wsdlPort = u"EchoPort";
  }
  void TearDown() override { CoUninitialize(); }

  std::mutex lock_;
  EndpointInfo endpoint_;
};

// What several threads ask one reader, and the answer each must get.
std::u16string Ask(Idorvish2* reader, int question) {
  Bstr a, b;
  LONG position = 0;
  VARIANT_BOOL ok = VARIANT_FALSE;
  switch (question % 4) {
    case 0:
      reader->GetMethodSOAPAction(Bstr(u"echoString").Get(), a.Receive(), &ok);
      break;
    case 1:
      reader->GetInputMsgPartType(Bstr(u"echoStruct").Get(), Bstr(u"inputStruct").Get(),
                                  a.Receive(), b.Receive(), &ok);
      break;
    case 2:
      reader->GetFirstInParamName(Bstr(u"echoStringArray").Get(), a.Receive(), &position, &ok);
      break;
    case 3:
      reader->GetArrayType(Bstr(u"ArrayOfstring").Get(), Bstr(u"urn:qvtest:echo:types").Get(),
                           a.Receive(), b.Receive(), &ok);
      break;
  }
  return (ok == VARIANT_TRUE ? u"+" : u"-") + std::u16string(a.View()) + u"|" +
         std::u16string(b.View());
}

TEST_F(WsdlCacheReaderTest, OneCachedReaderAnswersManyThreadsAlike) {
  WsdlCache cache(lock_, 2, nullptr);
  ComPtr<IDispatch> loaded = cache.GetServiceDescription("/echo", endpoint_);
  ASSERT_TRUE(loaded);
  ComPtr<Idorvish2> reader = com::QueryInterfacePtr<Idorvish2>(loaded.Get());
  ASSERT_TRUE(reader);
  std::vector<std::u16string> expected;
  for (int q = 0; q < 4; ++q) expected.push_back(Ask(reader.Get(), q));
  EXPECT_EQ(expected[0], u"+\"urn:qvtest:echo#echoString\"|");
  for (const std::u16string& e : expected) EXPECT_EQ(e.substr(0, 1), u"+");

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        ComPtr<IDispatch> mine = cache.GetServiceDescription("/echo", endpoint_);
        ComPtr<Idorvish2> r = com::QueryInterfacePtr<Idorvish2>(mine.Get());
        const int q = t + i;
        if (!r || Ask(r.Get(), q) != expected[q % 4]) ++mismatches;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(cache.Size(), 1u);
}

TEST_F(WsdlCacheReaderTest, ReaderThatCannotLoadIsNotCached) {
  WsdlCache cache(lock_, 2, nullptr);
  endpoint_.wsdlPort = u"NoSuchPort";
  EXPECT_FALSE(cache.GetServiceDescription("/echo", endpoint_));
  EXPECT_EQ(cache.Size(), 0u);
}

}  // namespace
}  // namespace server
