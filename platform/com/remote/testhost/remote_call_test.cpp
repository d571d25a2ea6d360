#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/quenlin.h"
#include "interfaces/soapstruct.h"
#include "platform/com/activation.h"
#include "platform/com/module.h"
#include "platform/com/remote/connection.h"
#include "platform/com/remote/remote.h"
#include "platform/com/remote/testhost/remote_test_setup.h"
#include "platform/com/remote/testhost/test_remote.h"
#include "platform/com/remote/wire.h"
#include "platform/thread/message_loop.h"

namespace {

using com::testing::RemoteTestSetup;

// One registry and runtime directory for the whole binary, so that a host
// started by one test may serve the next.
RemoteTestSetup* g_setup = nullptr;

class SetupEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { g_setup = new RemoteTestSetup(/*linger_ms=*/3000); }
  void TearDown() override {
    delete g_setup;
    g_setup = nullptr;
  }
};
[[maybe_unused]] auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new SetupEnvironment);

size_t CountEntries(const char* dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// What a /proc descriptor link names ("pipe:[1234]").
std::string Target(const std::string& link) {
  char buf[256];
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

// Runs the messages posted to this thread (a client that is an apartment
// pumps them between calls).
void Pump() {
  MSG msg;
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
}

// What the caller hands the remote class: a name, a record and notes.
class Caller final : public com::ComObject<Caller, com::Dispatch<ITestCaller>> {
 public:
  HRESULT FinalConstruct() {
    HRESULT hr = CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_INPROC_SERVER,
                                  ISoapStruct::kIid, record_.ReceiveVoid());
    if (FAILED(hr)) return hr;
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr count(u"Count");
    return record_->AddMember(count.Get(), nullptr, Variant::FromI4(41), &ok);
  }
  HRESULT GetName(BSTR* name) override {
    *name = SysAllocString(u"caller");
    return S_OK;
  }
  HRESULT GetRecord(VARIANT* record) override {
    VariantInit(record);
    record->vt = VT_DISPATCH;
    record->pdispVal = record_.Get();
    record_->AddRef();
    return S_OK;
  }
  HRESULT PutRecord(VARIANT record) override {
    ComPtr<ISoapStruct> fields = com::QueryInterfacePtr<ISoapStruct>(record.pdispVal);
    if (record.vt != VT_DISPATCH || !fields) return DISP_E_TYPEMISMATCH;
    put_was_a_copy_ = fields.Get() != record_.Get();
    record_ = fields;
    return S_OK;
  }
  HRESULT AddNote(BSTR note) override {
    notes_ += std::u16string(BstrView(note)) + u";";
    return S_OK;
  }
  HRESULT Bounce(IDispatch* peer, LONG depth, LONG* count) override {
    *count = 0;
    if (GetCurrentThreadId() != home_) off_thread_ = true;
    if (depth <= 0) return S_OK;
    ComPtr<ITestRemote> remote = com::MakeDispatchProxy<ITestRemote>(peer);
    LONG inner = 0;
    if (HRESULT hr = remote->Bounce(this, depth - 1, &inner); FAILED(hr)) return hr;
    *count = inner + 1;
    return S_OK;
  }

  ComPtr<ISoapStruct> record_;
  std::u16string notes_;
  bool put_was_a_copy_ = false;
  bool off_thread_ = false;
  DWORD home_ = GetCurrentThreadId();
};

class RemoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_setup && g_setup->error().empty()) << (g_setup ? g_setup->error() : "");
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  }
  void TearDown() override {
    Pump();
    CoUninitialize();
  }

  ComPtr<ITestRemote> Create() {
    ComPtr<IDispatch> object;
    EXPECT_EQ(CoCreateInstance(CLSID_TestRemote, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               object.ReceiveVoid()),
              S_OK);
    return com::MakeDispatchProxy<ITestRemote>(object.Get());
  }
};

TEST_F(RemoteTest, StartedOnDemandCallsRunOnTheRegisteringThread) {
  ComPtr<ITestRemote> remote = Create();
  ASSERT_TRUE(remote);
  LONG pid = 0;
  ASSERT_EQ(remote->GetProcessId(&pid), S_OK);
  EXPECT_NE(pid, LONG(getpid()));
  VARIANT_BOOL on_loop = VARIANT_FALSE;
  ASSERT_EQ(remote->OnLoopThread(&on_loop), S_OK);
  EXPECT_EQ(on_loop, VARIANT_TRUE);
  Bstr echoed;
  ASSERT_EQ(remote->Echo(Bstr(u"h\u00e9llo").Get(), echoed.Receive()), S_OK);
  EXPECT_EQ(echoed.View(), u"h\u00e9llo");

  // Names resolve remotely; the typed interface itself does not cross.
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"Echo"), const_cast<LPOLESTR>(u"bstrText"),
                      const_cast<LPOLESTR>(u"NoSuch")};
  DISPID ids[3] = {};
  EXPECT_EQ(remote->GetIDsOfNames(GUID_NULL, names, 2, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], 0);
  EXPECT_EQ(remote->GetIDsOfNames(GUID_NULL, names + 2, 1, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  ComPtr<IUnknown> typed;
  EXPECT_EQ(CoCreateInstance(CLSID_TestRemote, nullptr, CLSCTX_LOCAL_SERVER, IID_ITestRemote,
                             typed.ReceiveVoid()),
            E_NOINTERFACE);
}

TEST_F(RemoteTest, TheRemoteSideWorksOnTheCallersObject) {
  ComPtr<ITestRemote> remote = Create();
  ASSERT_TRUE(remote);
  ComPtr<Caller> caller = com::MakeComObject<Caller>();
  ASSERT_EQ(caller->FinalConstruct(), S_OK);
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(remote->VisitCaller(caller.Get(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(caller->notes_, u"visited caller;");
  // The record went there and back by value: a new struct holding the changes.
  EXPECT_TRUE(caller->put_was_a_copy_);
  Variant count;
  VARIANT_BOOL found = VARIANT_FALSE;
  ASSERT_EQ(caller->record_->GetMember(Bstr(u"Count").Get(), count.Receive(), &found), S_OK);
  ASSERT_EQ(found, VARIANT_TRUE);
  EXPECT_EQ(count.vt, VT_I4);
  EXPECT_EQ(count.lVal, 42);
  Variant seen;
  Bstr ns;
  ASSERT_EQ(caller->record_->GetMember(Bstr(u"SeenBy").Get(), seen.Receive(), &found), S_OK);
  ASSERT_EQ(found, VARIANT_TRUE);
  EXPECT_EQ(BstrView(seen.bstrVal), u"caller");
  caller->record_->GetMemberNamespace(Bstr(u"SeenBy").Get(), ns.Receive(), &found);
  EXPECT_EQ(ns.View(), u"urn:test");
}

ComPtr<ISoapStruct> NewStruct() {
  ComPtr<ISoapStruct> s;
  EXPECT_EQ(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_INPROC_SERVER, ISoapStruct::kIid,
                             s.ReceiveVoid()),
            S_OK);
  return s;
}

// A real message object handed to the other process: what the remote class
// reads, adds and sets through its dispatch proxy lands in the caller's own.
TEST_F(RemoteTest, TheRemoteSideWorksOnTheCallersMessage) {
  ComPtr<ITestRemote> remote = Create();
  ASSERT_TRUE(remote);
  ComPtr<Iquenlin2> message;
  ASSERT_EQ(CoCreateInstance(CLSID_quenlin2, nullptr, CLSCTX_INPROC_SERVER, IID_Iquenlin2,
                             message.ReceiveVoid()),
            S_OK);
  ComPtr<ISoapStruct> session = NewStruct();
  ASSERT_TRUE(session);
  VARIANT_BOOL ok = VARIANT_FALSE;
  session->AddMember(Bstr(u"Count").Get(), nullptr, Variant::FromI4(41), &ok);
  session->AddMember(Bstr(u"Who").Get(), nullptr, Variant::FromText(u"caller"), &ok);
  Variant content;
  content.vt = VT_DISPATCH;
  content.pdispVal = session.Get();
  session->AddRef();
  Bstr ns(u"urn:test"), none;
  ASSERT_EQ(message->AddHeaderElem(ns.Get(), Bstr(u"Session").Get(), content, VARIANT_TRUE,
                                   none.Get(), &ok),
            S_OK);
  ASSERT_EQ(ok, VARIANT_TRUE);

  VARIANT_BOOL answered = VARIANT_FALSE;
  ASSERT_EQ(remote->AnswerMessage(message.Get(), &answered), S_OK);
  EXPECT_EQ(answered, VARIANT_TRUE);

  // Getting a block by name takes it out of the message: the read happened on
  // the caller's object, and only the added block is left.
  LONG count = 0;
  message->GetNumHeaderElems(&count);
  EXPECT_EQ(count, 1);
  Variant gone;
  EXPECT_EQ(message->GetHeaderElem(ns.Get(), Bstr(u"Session").Get(), gone.Receive(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  Variant reply;
  ASSERT_EQ(message->GetHeaderElem(ns.Get(), Bstr(u"Reply").Get(), reply.Receive(), &ok), S_OK);
  ASSERT_EQ(ok, VARIANT_TRUE);
  ASSERT_EQ(reply.ChangeType(VT_I4), S_OK);
  EXPECT_EQ(reply.lVal, 42);
  // Reading the block over there handed out a copy; the caller's struct stays.
  Variant kept;
  ASSERT_EQ(session->GetMember(Bstr(u"Count").Get(), kept.Receive(), &ok), S_OK);
  EXPECT_EQ(kept.lVal, 41);

  VARIANT_BOOL fault = VARIANT_FALSE;
  message->IsSOAPFault(&fault);
  EXPECT_EQ(fault, VARIANT_TRUE);
  Bstr code, text;
  message->GetSOAPFaultCode(code.Receive());
  message->GetSOAPFaultString(text.Receive());
  EXPECT_EQ(code.View(), u"Server");
  EXPECT_EQ(text.View(), u"answered caller");
}

// A list of structs in a variant array, as the management class passes its
// service information, crosses by value both ways.
TEST_F(RemoteTest, AnArrayOfStructsCrossesByValue) {
  ComPtr<ITestRemote> remote = Create();
  ASSERT_TRUE(remote);
  const std::u16string names[] = {u"alpha", u"beta", u"gamma"};
  SAFEARRAYBOUND bound = {3, 0};
  Variant list;
  list.vt = VT_ARRAY | VT_VARIANT;
  list.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
  ASSERT_NE(list.parray, nullptr);
  std::vector<ComPtr<ISoapStruct>> originals;
  for (LONG i = 0; i < 3; ++i) {
    ComPtr<ISoapStruct> s = NewStruct();
    ASSERT_TRUE(s);
    VARIANT_BOOL ok = VARIANT_FALSE;
    s->AddMember(Bstr(u"Name").Get(), nullptr, Variant::FromText(names[i]), &ok);
    s->AddMember(Bstr(u"Threads").Get(), nullptr, Variant::FromI4(i + 1), &ok);
    Variant element;
    element.vt = VT_DISPATCH;
    element.pdispVal = s.Get();
    s->AddRef();
    ASSERT_EQ(SafeArrayPutElement(list.parray, &i, &element), S_OK);
    originals.push_back(s);
  }
  Variant back;
  ASSERT_EQ(remote->Reflect(list, back.Receive()), S_OK);
  ASSERT_EQ(back.vt, VT_ARRAY | VT_VARIANT);
  ASSERT_EQ(SafeArrayGetDim(back.parray), 1u);
  LONG lower = -1, upper = -1;
  SafeArrayGetLBound(back.parray, 1, &lower);
  SafeArrayGetUBound(back.parray, 1, &upper);
  ASSERT_EQ(lower, 0);
  ASSERT_EQ(upper, 2);
  for (LONG i = 0; i < 3; ++i) {
    Variant element;
    ASSERT_EQ(SafeArrayGetElement(back.parray, &i, element.Receive()), S_OK);
    ASSERT_EQ(element.vt, VT_DISPATCH);
    ComPtr<ISoapStruct> s = com::QueryInterfacePtr<ISoapStruct>(element.pdispVal);
    ASSERT_TRUE(s);
    EXPECT_NE(s.Get(), originals[size_t(i)].Get()) << i;
    Variant name, threads;
    VARIANT_BOOL ok = VARIANT_FALSE;
    s->GetMember(Bstr(u"Name").Get(), name.Receive(), &ok);
    ASSERT_EQ(ok, VARIANT_TRUE) << i;
    EXPECT_EQ(BstrView(name.bstrVal), names[i]);
    s->GetMember(Bstr(u"Threads").Get(), threads.Receive(), &ok);
    ASSERT_EQ(ok, VARIANT_TRUE) << i;
    ASSERT_EQ(threads.ChangeType(VT_I4), S_OK);
    EXPECT_EQ(threads.lVal, i + 1);
  }
}

// The home thread reads the socket itself while it waits: replies meant for
// another thread's calls on the same connection reach that thread, and
// callbacks still run, whichever thread happens to read them.
TEST_F(RemoteTest, RepliesThatTheHomeThreadReadsReachTheirCallers) {
  ComPtr<ITestRemote> remote = Create();
  ASSERT_TRUE(remote);
  constexpr int kCalls = 200;
  std::atomic<int> other_ok{0};
  std::thread other([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (int i = 0; i < kCalls; ++i) {
      const std::u16string text = u"other " + std::u16string(size_t(i % 50), u'o');
      Bstr echoed;
      if (remote->Echo(Bstr(text).Get(), echoed.Receive()) == S_OK && echoed.View() == text) {
        ++other_ok;
      }
    }
    CoUninitialize();
  });
  ComPtr<Caller> caller = com::MakeComObject<Caller>();
  int home_ok = 0;
  for (int i = 0; i < kCalls; ++i) {
    const std::u16string text = u"home " + std::u16string(size_t(i % 70), u'h');
    Bstr echoed;
    if (remote->Echo(Bstr(text).Get(), echoed.Receive()) == S_OK && echoed.View() == text) {
      ++home_ok;
    }
    if (i % 20 == 0) {
      LONG count = 0;
      EXPECT_EQ(remote->Bounce(caller.Get(), 3, &count), S_OK);
      EXPECT_EQ(count, 3);
    }
  }
  other.join();
  EXPECT_EQ(home_ok, kCalls);
  EXPECT_EQ(other_ok.load(), kCalls);
  EXPECT_FALSE(caller->off_thread_);
}

TEST_F(RemoteTest, CallsNestInBothDirections) {
  ComPtr<ITestRemote> remote = Create();
  ASSERT_TRUE(remote);
  ComPtr<Caller> caller = com::MakeComObject<Caller>();
  LONG count = 0;
  // Each side calls the other back while its own call waits.
  ASSERT_EQ(remote->Bounce(caller.Get(), 7, &count), S_OK);
  EXPECT_EQ(count, 7);
  EXPECT_FALSE(caller->off_thread_);
}

TEST_F(RemoteTest, OutValuesAndVariantsComeBack) {
  ComPtr<ITestRemote> remote = Create();
  ASSERT_TRUE(remote);
  LONG value = 21;
  BSTR text = SysAllocString(u"ab");
  Variant old;
  ASSERT_EQ(remote->Twice(&value, &text, old.Receive()), S_OK);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(BstrView(text), u"abab");
  SysFreeString(text);
  EXPECT_EQ(old.vt, VT_I4);
  EXPECT_EQ(old.lVal, 21);

  SAFEARRAYBOUND bounds[2] = {{2, 1}, {2, -3}};
  Variant grid;
  grid.vt = VT_ARRAY | VT_BSTR;
  grid.parray = SafeArrayCreate(VT_BSTR, 2, bounds);
  LONG idx[2] = {2, -2};
  Bstr corner(u"corner");
  SafeArrayPutElement(grid.parray, idx, corner.Get());
  Variant raw_bool;
  raw_bool.vt = VT_BOOL;
  raw_bool.boolVal = VARIANT_BOOL(0x00F0);
  for (const Variant* sent : {&grid, &raw_bool}) {
    Variant back;
    ASSERT_EQ(remote->Reflect(*sent, back.Receive()), S_OK);
    ASSERT_EQ(back.vt, sent->vt);
    if (back.vt == VT_BOOL) {
      EXPECT_EQ(back.boolVal, VARIANT_BOOL(0x00F0));
    } else {
      BSTR got = nullptr;
      ASSERT_EQ(SafeArrayGetElement(back.parray, idx, &got), S_OK);
      EXPECT_EQ(BstrView(got), u"corner");
      SysFreeString(got);
      LONG lbound = 0;
      EXPECT_EQ(SafeArrayGetLBound(back.parray, 2, &lbound), S_OK);
      EXPECT_EQ(lbound, -3);
    }
  }
}

TEST_F(RemoteTest, AnObjectSentThereAndBackIsTheObjectItself) {
  ComPtr<ITestRemote> remote = Create();
  ASSERT_TRUE(remote);
  ComPtr<Caller> caller = com::MakeComObject<Caller>();
  ComPtr<IUnknown> identity = com::QueryInterfacePtr<IUnknown>(caller.Get());
  // Inside an array of variants, once as IUnknown and once as IDispatch.
  Variant list;
  list.vt = VT_ARRAY | VT_VARIANT;
  list.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  Variant as_unknown, as_dispatch;
  as_unknown.vt = VT_UNKNOWN;
  as_unknown.punkVal = identity.Get();
  as_unknown.punkVal->AddRef();
  as_dispatch.vt = VT_DISPATCH;
  as_dispatch.pdispVal = caller.Get();
  as_dispatch.pdispVal->AddRef();
  LONG i = 0;
  SafeArrayPutElement(list.parray, &i, &as_unknown);
  i = 1;
  SafeArrayPutElement(list.parray, &i, &as_dispatch);
  Variant back;
  ASSERT_EQ(remote->Reflect(list, back.Receive()), S_OK);
  ASSERT_EQ(back.vt, VT_ARRAY | VT_VARIANT);
  for (LONG k : {0, 1}) {
    Variant element;
    ASSERT_EQ(SafeArrayGetElement(back.parray, &k, element.Receive()), S_OK);
    ASSERT_EQ(element.vt, k == 0 ? VT_UNKNOWN : VT_DISPATCH);
    EXPECT_EQ(com::QueryInterfacePtr<IUnknown>(element.punkVal).Get(), identity.Get());
  }
}

TEST_F(RemoteTest, ATypeThatCannotCrossFailsOnlyThatCall) {
  ComPtr<ITestRemote> remote = Create();
  ASSERT_TRUE(remote);
  Variant record;
  record.vt = 36;  // a record type: no automation value crosses as that
  Variant back;
  EXPECT_EQ(remote->Reflect(record, back.Receive()), DISP_E_BADVARTYPE);
  record.vt = VT_EMPTY;
  Bstr echoed;
  EXPECT_EQ(remote->Echo(Bstr(u"still there").Get(), echoed.Receive()), S_OK);
  EXPECT_EQ(echoed.View(), u"still there");
}

TEST_F(RemoteTest, AHostKilledMidCallFailsTheCall) {
  ComPtr<ITestRemote> remote = Create();
  ASSERT_TRUE(remote);
  ComPtr<ITestRemote> second = Create();
  ASSERT_TRUE(second);
  EXPECT_EQ(remote->Die(), RPC_E_DISCONNECTED);
  Bstr echoed;
  EXPECT_EQ(second->Echo(Bstr(u"x").Get(), echoed.Receive()), RPC_E_DISCONNECTED);
  remote.Reset();
  second.Reset();
  // The next creation starts a new host over the dead one's socket; a
  // descriptor of ours that is not closed on exec does not go with it.
  int inherited[2];
  ASSERT_EQ(pipe(inherited), 0);
  ComPtr<ITestRemote> fresh = Create();
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->Echo(Bstr(u"y").Get(), echoed.Receive()), S_OK);
  LONG pid = 0;
  ASSERT_EQ(fresh->GetProcessId(&pid), S_OK);
  const std::string ours = Target("/proc/self/fd/" + std::to_string(inherited[0]));
  const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(fd_dir.c_str());
  ASSERT_NE(d, nullptr);
  while (dirent* e = readdir(d)) {
    EXPECT_NE(Target(fd_dir + "/" + e->d_name), ours) << e->d_name;
  }
  closedir(d);
  close(inherited[0]);
  close(inherited[1]);
}

TEST_F(RemoteTest, CyclesLeaveNoDescriptorsOrThreadsBehind) {
  auto cycle = [] {
    ComPtr<IDispatch> object;
    ASSERT_EQ(CoCreateInstance(CLSID_TestRemote, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               object.ReceiveVoid()),
              S_OK);
    ComPtr<ITestRemote> remote = com::MakeDispatchProxy<ITestRemote>(object.Get());
    ComPtr<Caller> caller = com::MakeComObject<Caller>();
    LONG count = 0;
    ASSERT_EQ(remote->Bounce(caller.Get(), 2, &count), S_OK);
    ASSERT_EQ(count, 2);
  };
  cycle();  // starts the host
  Pump();
  const size_t fds = CountEntries("/proc/self/fd");
  const size_t threads = CountEntries("/proc/self/task");
  for (int i = 0; i < 1000; ++i) {
    cycle();
    Pump();
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
}

std::atomic<int> g_served_alive{0};

std::atomic<int> g_served_runs{0};
std::atomic<int> g_served_runs_off_home{0};

// A class object of this process, served over its socket. Bounce calls its
// peer back until the depth is spent, noting any run off the thread that
// made the object.
class Served final : public com::ComObject<Served, com::Dispatch<ITestCaller>> {
 public:
  Served() { ++g_served_alive; }
  ~Served() override { --g_served_alive; }
  HRESULT GetName(BSTR* name) override {
    *name = SysAllocString(u"served");
    return S_OK;
  }
  HRESULT GetRecord(VARIANT* record) override {
    VariantInit(record);
    return S_OK;
  }
  HRESULT PutRecord(VARIANT) override { return S_OK; }
  HRESULT AddNote(BSTR) override { return S_OK; }
  HRESULT Bounce(IDispatch* peer, LONG depth, LONG* count) override {
    ++g_served_runs;
    if (GetCurrentThreadId() != home_) ++g_served_runs_off_home;
    *count = 0;
    if (depth <= 0) return S_OK;
    LONG inner = 0;
    if (HRESULT hr = com::MakeDispatchProxy<ITestCaller>(peer)->Bounce(this, depth - 1, &inner);
        FAILED(hr)) {
      return hr;
    }
    *count = inner + 1;
    return S_OK;
  }

 private:
  const DWORD home_ = GetCurrentThreadId();
};

int RawConnect(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return -1;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

constexpr CLSID kServedClsid = {
    0x0A1B2C3D, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

class ClassObjectTest : public RemoteTest {
 protected:
  void SetUp() override {
    RemoteTest::SetUp();
    factory_ = com::MakeComObject<com::ClassFactory>(&com::CreateInstance<Served>);
  }
  ComPtr<com::ClassFactory> factory_;
};

TEST_F(ClassObjectTest, SuspendedUntilResumedThenFoundInProcess) {
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kServedClsid, factory_.Get(), CLSCTX_LOCAL_SERVER,
                                  REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie),
            S_OK);
  const std::string path = com::remote::ClassSocketPath(kServedClsid);
  EXPECT_EQ(RawConnect(path), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  ComPtr<IClassFactory> found;
  EXPECT_EQ(
      CoGetClassObject(kServedClsid, CLSCTX_ALL, nullptr, IID_IClassFactory, found.ReceiveVoid()),
      REGDB_E_CLASSNOTREG);

  ASSERT_EQ(CoResumeClassObjects(), S_OK);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const int fd = RawConnect(path);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
  // This process creates its own class directly, on this thread.
  ASSERT_EQ(
      CoGetClassObject(kServedClsid, CLSCTX_ALL, nullptr, IID_IClassFactory, found.ReceiveVoid()),
      S_OK);
  EXPECT_EQ(static_cast<IClassFactory*>(found.Get()), static_cast<IClassFactory*>(factory_.Get()));
  // A second registration of the class is refused.
  DWORD other = 0;
  EXPECT_EQ(CoRegisterClassObject(kServedClsid, factory_.Get(), CLSCTX_LOCAL_SERVER,
                                  REGCLS_MULTIPLEUSE, &other),
            CO_E_OBJISREG);

  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
  EXPECT_NE(stat(path.c_str(), &st), 0);
}

TEST_F(ClassObjectTest, ACallRefusedByAFullQueueFailsAndIsNotLost) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  auto served = com::remote::internal::ServeConnection(
      pair[0], factory_.Get(), com::remote::internal::ThisThreadContext(), nullptr);
  size_t posted = 0;
  while (PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0)) ++posted;
  ASSERT_EQ(posted, kMaxPostedMessages);
  HRESULT refused = S_OK;
  std::thread([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IUnknown* object = nullptr;
    refused = com::remote::internal::CreateRemoteInstance(pair[1], IID_IDispatch,
                                                          reinterpret_cast<void**>(&object));
    CoUninitialize();
  }).join();
  EXPECT_EQ(refused, RPC_E_SERVERCALL_RETRYLATER);
  Pump();

  // With room in the queue the same class is served through this loop.
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  auto again = com::remote::internal::ServeConnection(
      pair[0], factory_.Get(), com::remote::internal::ThisThreadContext(), nullptr);
  std::atomic<bool> done{false};
  Bstr name;
  HRESULT created = E_FAIL, called = E_FAIL;
  std::thread client([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IDispatch* object = nullptr;
    created = com::remote::internal::CreateRemoteInstance(pair[1], IID_IDispatch,
                                                          reinterpret_cast<void**>(&object));
    if (SUCCEEDED(created)) {
      called = com::MakeDispatchProxy<ITestCaller>(object)->GetName(name.Receive());
      object->Release();
    }
    CoUninitialize();
    done = true;
  });
  while (!done) {
    MSG msg;
    if (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessage(&msg);
    } else {
      std::this_thread::yield();
    }
  }
  client.join();
  EXPECT_EQ(created, S_OK);
  EXPECT_EQ(called, S_OK);
  EXPECT_EQ(name.View(), u"served");
  com::remote::internal::CloseConnection(served);
  com::remote::internal::CloseConnection(again);
}

// A create frame as a client writes it: length, type, call id, interface.
void SendCreate(int fd) {
  char frame[4 + 1 + 4 + sizeof(IID)];
  const uint32_t length = sizeof frame - 4, call = 1;
  memcpy(frame, &length, 4);
  frame[4] = 1;
  memcpy(frame + 5, &call, 4);
  memcpy(frame + 9, &IID_IDispatch, sizeof(IID));
  (void)!send(fd, frame, sizeof frame, MSG_NOSIGNAL);
}

// Runs this thread's loop until `done` holds; false if it never does.
template <typename Predicate>
bool PumpUntil(Predicate done) {
  for (int i = 0; i < 100000 && !done(); ++i) {
    Pump();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return done();
}

TEST_F(ClassObjectTest, AClientThatGoesAwayUnlocksAndReleasesWhatItHeld) {
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kServedClsid, factory_.Get(), CLSCTX_LOCAL_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  const ULONG locks = com::remote::ModuleLockCount();
  const int fd = RawConnect(com::remote::ClassSocketPath(kServedClsid));
  ASSERT_GE(fd, 0);
  SendCreate(fd);
  EXPECT_TRUE(PumpUntil([] { return g_served_alive.load() == 1; }));
  EXPECT_EQ(com::remote::ModuleLockCount(), locks + 1);
  close(fd);  // without releasing anything
  EXPECT_TRUE(PumpUntil([] { return g_served_alive.load() == 0; }));
  EXPECT_TRUE(PumpUntil([&] { return com::remote::ModuleLockCount() == locks; }));
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
}

// Connects to `path` in a child acting as `uid` (the peer credentials carry
// the effective user; file access stays root's, so only the peer check can
// refuse), asks for an object and reports: 0 answered, 1 closed unanswered.
int AskAs(uid_t uid, const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    if (uid != 0 && seteuid(uid) != 0) _exit(10);
    setfsuid(0);
    const int fd = RawConnect(path);
    if (fd < 0) _exit(11);
    SendCreate(fd);
    char buf[16];
    const ssize_t got = recv(fd, buf, sizeof buf, 0);
    _exit(got > 0 ? 0 : 1);
  }
  int status = 0;
  // The answer comes from this thread's loop.
  while (waitpid(child, &status, WNOHANG) == 0) {
    Pump();
    std::this_thread::yield();
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ClassObjectTest, APeerOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kServedClsid, factory_.Get(), CLSCTX_LOCAL_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  const std::string path = com::remote::ClassSocketPath(kServedClsid);
  EXPECT_EQ(AskAs(0, path), 0);
  EXPECT_EQ(AskAs(65534, path), 1);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
}

// Each accepted connection costs a thread: the class object serves a bounded
// number and disconnects the peers beyond them, until one of its own ends.
TEST_F(ClassObjectTest, ConnectionsBeyondTheCapAreRefused) {
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kServedClsid, factory_.Get(), CLSCTX_LOCAL_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  const std::string path = com::remote::ClassSocketPath(kServedClsid);
  const auto closed_by_server = [](int fd) {
    char byte;
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 10000) == 1 && recv(fd, &byte, 1, 0) == 0;
  };
  std::vector<int> held;
  for (size_t i = 0; i < com::remote::kMaxClassConnections; ++i) {
    const int fd = RawConnect(path);
    ASSERT_GE(fd, 0);
    held.push_back(fd);
  }
  const int beyond = RawConnect(path);
  ASSERT_GE(beyond, 0);
  // Accepted in order: once the last is refused, every earlier one was taken.
  EXPECT_TRUE(closed_by_server(beyond));
  close(beyond);
  char byte;
  EXPECT_EQ(recv(held.front(), &byte, 1, MSG_DONTWAIT), -1);
  EXPECT_EQ(errno, EAGAIN);
  close(held.front());
  held.erase(held.begin());
  // The connection's end frees its place once this (its home) thread runs.
  const ULONG locks = com::remote::ModuleLockCount();
  EXPECT_TRUE(PumpUntil([&] { return com::remote::ModuleLockCount() < locks; }));
  const int again = RawConnect(path);
  ASSERT_GE(again, 0);
  SendCreate(again);
  EXPECT_TRUE(PumpUntil([] { return g_served_alive.load() == 1; }));
  close(again);
  for (int fd : held) close(fd);
  EXPECT_TRUE(PumpUntil([] { return g_served_alive.load() == 0; }));
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
}

// ---- Frames read by the threads that use them --------------------------------

using com::remote::Frame;
using com::remote::FrameReader;
using com::remote::FrameType;
using com::remote::internal::ConnectionOf;
using com::remote::internal::FramesReadOf;
using com::remote::internal::HomeWaitsOn;

// Waits (without pumping) until `done` holds; false if it never does.
template <typename Predicate>
bool WaitUntil(Predicate done) {
  for (int i = 0; i < 200000 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return done();
}

// A thread that runs incoming calls through its message loop (GetMessage)
// until it is told to quit.
class LoopThread {
 public:
  LoopThread() {
    std::latch ready(1);
    thread_ = std::thread([this, &ready] {
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      context_ = com::remote::internal::ThisThreadContext();
      id_ = GetCurrentThreadId();
      ready.count_down();
      MSG msg;
      while (GetMessage(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_USER) ++user_messages_;
        DispatchMessage(&msg);
      }
      CoUninitialize();
    });
    ready.wait();
  }
  ~LoopThread() { Quit(); }
  void Quit() {
    if (!thread_.joinable()) return;
    PostThreadMessage(id_, WM_QUIT, 0, 0);
    thread_.join();
  }
  std::weak_ptr<com::remote::internal::ThreadContext> context() const { return context_; }
  DWORD id() const { return id_; }
  int user_messages() const { return user_messages_.load(); }

 private:
  std::thread thread_;
  std::weak_ptr<com::remote::internal::ThreadContext> context_;
  DWORD id_ = 0;
  std::atomic<int> user_messages_{0};
};

// Values without objects, for the frames a raw peer writes.
class NoObjects final : public com::remote::ObjectCodec {
 public:
  HRESULT EncodeObject(com::remote::Writer&, IUnknown*, int) override { return E_NOTIMPL; }
  HRESULT DecodeObject(com::remote::Reader&, bool, IUnknown**, int) override { return E_NOTIMPL; }
};

// One end of a connection driven by the test itself, frame by frame.
class RawPeer {
 public:
  explicit RawPeer(int fd) : fd_(fd) {}
  ~RawPeer() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // The next frame; false at the end of input (or a minute without one).
  bool Read(Frame* frame) {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    return reader_.Read(fd_, frame, now + 60000);
  }
  void Send(FrameType type, uint32_t call_id, const std::string& payload) {
    com::remote::Writer w;
    w.U32(uint32_t(payload.size() + com::remote::kFrameHeaderBytes - 4));
    w.U8(uint8_t(type));
    w.U32(call_id);
    w.Raw(payload.data(), payload.size());
    (void)!send(fd_, w.buffer().data(), w.size(), MSG_NOSIGNAL);
  }
  // The answer to a create: an object of the peer's with IDispatch.
  void AnswerCreate(uint32_t call_id) {
    com::remote::Writer w;
    w.U32(uint32_t(S_OK));
    w.U8(2);  // an object the sender exports
    w.U64(7);
    w.U8(1);
    Send(FrameType::Return, call_id, w.buffer());
  }
  // The answer to a call that returns `text`.
  void AnswerText(uint32_t call_id, const std::u16string& text) {
    com::remote::Writer w;
    w.U32(uint32_t(S_OK));
    w.U8(1);
    NoObjects none;
    EXPECT_EQ(com::remote::EncodeVariant(w, Variant::FromText(text), none, false), S_OK);
    w.U8(0);  // no exception
    w.U32(0);
    w.U32(0);  // no out values
    Send(FrameType::Return, call_id, w.buffer());
  }
  int fd() const { return fd_; }

 private:
  int fd_;
  FrameReader reader_;
};

HRESULT ResultOf(const Frame& reply) {
  uint32_t hr = uint32_t(E_UNEXPECTED);
  if (reply.type == FrameType::Return && reply.payload.size() >= 4)
    memcpy(&hr, &reply.payload[0], 4);
  return HRESULT(hr);
}

class WaitingReaderTest : public ClassObjectTest {
 protected:
  void SetUp() override {
    ClassObjectTest::SetUp();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_), 0);
  }
  int pair_[2] = {-1, -1};
};

// Calls that reach a home thread idle in its loop are read by that thread,
// not handed over by the reader thread, while a quiet connection of the same
// loop stays with its reader thread; a peer that goes away meanwhile is
// noticed by the same wait, and the connection closes on the home thread.
TEST_F(WaitingReaderTest, TheIdleLoopReadsTheCallsItServes) {
  LoopThread loop;
  int quiet_pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, quiet_pair), 0);
  auto quiet = com::remote::internal::ServeConnection(quiet_pair[0], factory_.Get(), loop.context(),
                                                      nullptr);
  RawPeer quiet_client(quiet_pair[1]);
  std::atomic<DWORD> closed_on{0};
  auto served = com::remote::internal::ServeConnection(pair_[0], factory_.Get(), loop.context(),
                                                       [&] { closed_on = GetCurrentThreadId(); });
  RawPeer client(pair_[1]);
  constexpr int kCalls = 3;
  for (int i = 0; i < kCalls; ++i) {
    ASSERT_TRUE(WaitUntil([&] { return HomeWaitsOn(served); }));
    SendCreate(client.fd());
    Frame reply;
    ASSERT_TRUE(client.Read(&reply));
    EXPECT_EQ(ResultOf(reply), S_OK);
  }
  const auto read = FramesReadOf(served);
  EXPECT_EQ(read.by_waiters, uint64_t(kCalls));
  EXPECT_EQ(read.by_reader, 0u);
  EXPECT_EQ(g_served_alive.load(), kCalls);
  EXPECT_FALSE(HomeWaitsOn(quiet));

  ASSERT_TRUE(WaitUntil([&] { return HomeWaitsOn(served); }));
  client.Close();
  EXPECT_TRUE(WaitUntil([] { return g_served_alive.load() == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return closed_on.load() != 0; }));
  EXPECT_EQ(closed_on.load(), loop.id());
  EXPECT_FALSE(HomeWaitsOn(served));
  // The loop goes on taking its messages; the quiet connection's call is
  // read by its reader thread.
  EXPECT_TRUE(PostThreadMessage(loop.id(), WM_USER, 0, 0));
  EXPECT_TRUE(WaitUntil([&] { return loop.user_messages() == 1; }));
  SendCreate(quiet_client.fd());
  Frame answer;
  ASSERT_TRUE(quiet_client.Read(&answer));
  EXPECT_EQ(ResultOf(answer), S_OK);
  EXPECT_EQ(FramesReadOf(quiet).by_reader, 1u);
  com::remote::internal::CloseConnection(quiet);
  EXPECT_EQ(g_served_alive.load(), 0);
}

// A caller that waits for its reply reads it itself; a peer that closes while
// it waits fails the call.
TEST_F(WaitingReaderTest, TheCallerWaitingForItsReplyReadsIt) {
  constexpr int kCalls = 3;
  std::shared_ptr<com::remote::internal::Connection> connection;
  std::latch connected(1);
  std::thread peer([&] {
    RawPeer server(pair_[0]);
    Frame frame;
    if (!server.Read(&frame)) return;
    server.AnswerCreate(frame.call_id);
    connected.wait();
    for (int i = 0; i <= kCalls; ++i) {
      if (!server.Read(&frame)) return;
      // Answered (or, the last, closed on) only once the caller waits on the socket.
      if (!WaitUntil([&] { return HomeWaitsOn(connection); })) return;
      if (i < kCalls) server.AnswerText(frame.call_id, u"peer " + std::u16string(size_t(i), u'!'));
    }
  });
  IDispatch* object = nullptr;
  ASSERT_EQ(com::remote::internal::CreateRemoteInstance(pair_[1], IID_IDispatch,
                                                        reinterpret_cast<void**>(&object)),
            S_OK);
  connection = ConnectionOf(object);
  ASSERT_TRUE(connection);
  const auto before = FramesReadOf(connection);
  connected.count_down();
  ComPtr<ITestCaller> remote = com::MakeDispatchProxy<ITestCaller>(object);
  for (int i = 0; i < kCalls; ++i) {
    Bstr name;
    EXPECT_EQ(remote->GetName(name.Receive()), S_OK);
    EXPECT_EQ(name.View(), u"peer " + std::u16string(size_t(i), u'!'));
  }
  const auto after = FramesReadOf(connection);
  EXPECT_EQ(after.by_waiters - before.by_waiters, uint64_t(kCalls));
  EXPECT_EQ(after.by_reader, before.by_reader);
  Bstr name;
  EXPECT_EQ(remote->GetName(name.Receive()), RPC_E_DISCONNECTED);
  peer.join();
  remote.Reset();
  object->Release();
}

// Calls nest in both directions while each side's waiting thread reads its
// socket itself: every call runs on its object's home thread.
TEST_F(WaitingReaderTest, ACallArrivingWhileAThreadWaitsIsServedByIt) {
  LoopThread loop;
  auto served =
      com::remote::internal::ServeConnection(pair_[0], factory_.Get(), loop.context(), nullptr);
  IDispatch* object = nullptr;
  ASSERT_EQ(com::remote::internal::CreateRemoteInstance(pair_[1], IID_IDispatch,
                                                        reinterpret_cast<void**>(&object)),
            S_OK);
  ComPtr<ITestCaller> remote = com::MakeDispatchProxy<ITestCaller>(object);
  {
    ComPtr<Served> local = com::MakeComObject<Served>();
    g_served_runs = 0;
    g_served_runs_off_home = 0;
    for (LONG depth : {1, 6}) {
      SCOPED_TRACE(depth);
      LONG count = -1;
      EXPECT_EQ(remote->Bounce(local.Get(), depth, &count), S_OK);
      EXPECT_EQ(count, depth);
    }
    EXPECT_EQ(g_served_runs.load(), (1 + 1) + (6 + 1));  // each depth and the last
    EXPECT_EQ(g_served_runs_off_home.load(), 0);
  }
  remote.Reset();
  object->Release();
  com::remote::internal::CloseConnection(served);
  EXPECT_TRUE(WaitUntil([] { return g_served_alive.load() == 0; }));
}

// Closing a connection wakes the thread that waits on its socket: a caller
// fails its call, and an idle loop goes on serving its other connections and
// taking its messages. Once the loop's thread has ended, its calls are
// refused.
TEST_F(WaitingReaderTest, ClosingWakesWhatWaitsOnTheSocket) {
  {
    RawPeer server(pair_[0]);
    std::shared_ptr<com::remote::internal::Connection> connection;
    std::latch connected(1);
    std::thread closer([&] {
      Frame frame;
      if (!server.Read(&frame)) return;
      server.AnswerCreate(frame.call_id);
      connected.wait();
      if (!server.Read(&frame)) return;  // the call, never answered
      if (WaitUntil([&] { return HomeWaitsOn(connection); })) {
        com::remote::internal::CloseConnection(connection);
      }
    });
    IDispatch* object = nullptr;
    ASSERT_EQ(com::remote::internal::CreateRemoteInstance(pair_[1], IID_IDispatch,
                                                          reinterpret_cast<void**>(&object)),
              S_OK);
    connection = ConnectionOf(object);
    connected.count_down();
    Bstr name;
    EXPECT_EQ(com::MakeDispatchProxy<ITestCaller>(object)->GetName(name.Receive()),
              RPC_E_DISCONNECTED);
    closer.join();
    object->Release();
  }

  LoopThread loop;
  int more[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, more), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_), 0);
  auto staying =
      com::remote::internal::ServeConnection(more[0], factory_.Get(), loop.context(), nullptr);
  auto closing =
      com::remote::internal::ServeConnection(pair_[0], factory_.Get(), loop.context(), nullptr);
  RawPeer closed_peer(pair_[1]), peer(more[1]);
  ASSERT_TRUE(WaitUntil([&] { return HomeWaitsOn(closing); }));
  com::remote::internal::CloseConnection(closing);
  Frame frame;
  EXPECT_FALSE(closed_peer.Read(&frame));  // the end of its input
  EXPECT_TRUE(WaitUntil([&] { return !HomeWaitsOn(closing); }));
  // A call, read by either thread; then the loop waits on that connection
  // again and reads the next call itself.
  SendCreate(peer.fd());
  ASSERT_TRUE(peer.Read(&frame));
  EXPECT_EQ(ResultOf(frame), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return HomeWaitsOn(staying); }));
  const auto before = FramesReadOf(staying);
  SendCreate(peer.fd());
  ASSERT_TRUE(peer.Read(&frame));
  EXPECT_EQ(ResultOf(frame), S_OK);
  EXPECT_EQ(FramesReadOf(staying).by_waiters, before.by_waiters + 1);
  EXPECT_TRUE(PostThreadMessage(loop.id(), WM_USER, 0, 0));
  EXPECT_TRUE(WaitUntil([&] { return loop.user_messages() == 1; }));

  loop.Quit();
  SendCreate(peer.fd());
  ASSERT_TRUE(peer.Read(&frame));
  EXPECT_EQ(ResultOf(frame), RPC_E_SERVERCALL_RETRYLATER);
  com::remote::internal::CloseConnection(staying);
  EXPECT_TRUE(WaitUntil([] { return g_served_alive.load() == 0; }));
}

// Sets QUORVEL_RUNTIME_DIR for the test's life and puts the old value back.
class RuntimeDirectoryTest : public ClassObjectTest {
 protected:
  void SetUp() override {
    ClassObjectTest::SetUp();
    saved_ = getenv("QUORVEL_RUNTIME_DIR");
    char pattern[] = "/tmp/qvruntime.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    setenv("QUORVEL_RUNTIME_DIR", saved_.c_str(), 1);
    (void)!system(("rm -rf '" + root_ + "'").c_str());
    ClassObjectTest::TearDown();
  }
  std::string saved_;
  std::string root_;
};

TEST_F(RuntimeDirectoryTest, ADirectoryThatIsNotPrivatelyOursIsRefused) {
  // Each case makes the directory the server is pointed at.
  const struct {
    const char* name;
    bool needs_root;
    std::function<bool(const std::string& dir, const std::string& target)> make;
  } kCases[] = {
      {"a symlink to a private directory", false,
       [](const std::string& dir, const std::string& target) {
         return mkdir(target.c_str(), 0700) == 0 && symlink(target.c_str(), dir.c_str()) == 0;
       }},
      {"writable by others", false,
       [](const std::string& dir, const std::string&) {
         return mkdir(dir.c_str(), 0700) == 0 && chmod(dir.c_str(), 0733) == 0;
       }},
      {"another user's", true,
       [](const std::string& dir, const std::string&) {
         return mkdir(dir.c_str(), 0700) == 0 && chown(dir.c_str(), 65534, 65534) == 0;
       }},
  };
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && geteuid() != 0) continue;
    const std::string dir = root_ + "/run" + std::to_string(n);
    const std::string target = root_ + "/target" + std::to_string(n++);
    ASSERT_TRUE(c.make(dir, target));
    setenv("QUORVEL_RUNTIME_DIR", dir.c_str(), 1);
    DWORD cookie = 0;
    EXPECT_EQ(CoRegisterClassObject(kServedClsid, factory_.Get(), CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie),
              E_ACCESSDENIED);
    // Nothing was made through it: no lock file, no socket (only . and ..).
    EXPECT_EQ(CountEntries(dir.c_str()), 2u);
    if (access(target.c_str(), F_OK) == 0) {
      EXPECT_EQ(CountEntries(target.c_str()), 2u);
    }
  }
  // A private directory of ours works, and a fresh one is made so.
  const std::string fresh = root_ + "/fresh/run";
  setenv("QUORVEL_RUNTIME_DIR", fresh.c_str(), 1);
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kServedClsid, factory_.Get(), CLSCTX_LOCAL_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  struct stat st {};
  ASSERT_EQ(lstat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  const int fd = RawConnect(com::remote::ClassSocketPath(kServedClsid));
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
}

// A registration refused because another server holds the class's lock
// leaves that server's socket where it is.
TEST_F(RuntimeDirectoryTest, ARefusedRegistrationLeavesTheServingSocket) {
  const std::string dir = root_ + "/run";
  setenv("QUORVEL_RUNTIME_DIR", dir.c_str(), 1);
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string path = com::remote::ClassSocketPath(kServedClsid);
  // Another open of the lock file stands for the other server.
  const int lock = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
  const int socket_file = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(socket_file, 0);
  close(socket_file);
  DWORD cookie = 0;
  EXPECT_EQ(CoRegisterClassObject(kServedClsid, factory_.Get(), CLSCTX_LOCAL_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            CO_E_OBJISREG);
  EXPECT_EQ(access(path.c_str(), F_OK), 0);
  close(lock);
}

// The runtime copies structs by the contract's identities and member ids.
TEST(StructContractTest, TheRuntimeKnowsTheContractAsItIs) {
  using namespace com::remote::internal;
  EXPECT_EQ(kStructClsid, CLSID_SoapStruct);
  EXPECT_EQ(kStructIid, IID_ISoapStruct);
  const com::InterfaceDesc& desc = ISoapStruct::Description();
  struct {
    DISPID id;
    std::u16string_view name;
  } members[] = {{kStructAddMember, u"AddMember"},
                 {kStructGetFirstMember, u"GetFirstMember"},
                 {kStructGetNextMember, u"GetNextMember"}};
  for (const auto& m : members) {
    const com::MethodDesc* method = desc.FindMethod(m.id);
    ASSERT_NE(method, nullptr);
    EXPECT_EQ(std::u16string_view(method->name), m.name);
  }
}

TEST(ShutdownMonitorTest, QuitsTheLoopAfterTheLastUnlock) {
  EXPECT_EQ(CoAddRefServerProcess(), 1u);
  com::remote::StartShutdownMonitor(GetCurrentThreadId(), 10);
  EXPECT_EQ(CoReleaseServerProcess(), 0u);
  MSG msg;
  while (GetMessage(&msg, nullptr, 0, 0) > 0) DispatchMessage(&msg);  // until the monitor's quit
  com::remote::StopShutdownMonitor();
  EXPECT_EQ(CoReleaseServerProcess(), 0u);  // never below zero
  EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                                 RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr),
            S_OK);
}

}  // namespace
