#include "platform/com/activation.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/com/registration.h"
#include "platform/com/testcomponent/test_calc.h"
#include "platform/registry/registry.h"
#include "platform/registry/testing/temp_registry.h"

namespace {

std::string ClsidKey(const CLSID& clsid) { return "CLSID\\" + com::GuidToRegistryString(clsid); }

std::string Read(const std::string& path, const char* name = nullptr) {
  std::string value;
  return registry::ReadString(HKEY_CLASSES_ROOT, path, name, &value) ? value : "<missing>";
}

int RunRegcomp(const std::string& args) {
  const std::string command = std::string(QV_REGCOMP) + " -s " + args + " 2>/dev/null";
  const int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ActivationTest : public registry::testing::RegistryTest {
 protected:
  void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }
  void TearDown() override { CoUninitialize(); }
  void Register() { ASSERT_EQ(RunRegcomp(QV_TEST_COMPONENT), 0); }
};

TEST_F(ActivationTest, RegcompWritesTheClassAndRemovesIt) {
  Register();
  char* real = realpath(QV_TEST_COMPONENT, nullptr);
  ASSERT_NE(real, nullptr);
  const std::string path(real);
  free(real);
  const std::string key = ClsidKey(CLSID_TestCalc);
  EXPECT_EQ(Read(key), "TestCalc Class");
  EXPECT_EQ(Read(key + "\\InprocServer32"), path);
  EXPECT_EQ(Read(key + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(Read(key + "\\ProgID"), kTestCalcProgId);
  EXPECT_EQ(Read(key + "\\VersionIndependentProgID"), kTestCalcIndependentProgId);
  HKEY programmable = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, (key + "\\Programmable").c_str(), 0, KEY_READ,
                          &programmable),
            ERROR_SUCCESS);
  RegCloseKey(programmable);
  EXPECT_EQ(Read(std::string(kTestCalcProgId) + "\\CLSID"), com::GuidToRegistryString(CLSID_TestCalc));
  EXPECT_EQ(Read(std::string(kTestCalcIndependentProgId) + "\\CurVer"), kTestCalcProgId);

  EXPECT_EQ(RunRegcomp(std::string("-u ") + QV_TEST_COMPONENT), 0);
  EXPECT_EQ(Read(key), "<missing>");
  EXPECT_EQ(Read(std::string(kTestCalcProgId) + "\\CLSID"), "<missing>");
  EXPECT_EQ(Read(kTestCalcIndependentProgId), "<missing>");

  EXPECT_EQ(RunRegcomp("/nonexistent/libnothing.so"), 1);
  EXPECT_EQ(RunRegcomp(""), 2);
}

TEST_F(ActivationTest, ProgIdOfAnotherClassIsNotTakenOver) {
  Register();
  com::ClassRegistration other;
  other.clsid = IID_ITestCalc;  // any other identity
  other.description = "Intruder";
  other.prog_id = "Intruder.1";
  other.version_independent_prog_id = kTestCalcIndependentProgId;
  other.inproc_server = "/nowhere.so";
  EXPECT_EQ(com::RegisterServerClass(other), SELFREG_E_CLASS);
  EXPECT_EQ(Read(ClsidKey(IID_ITestCalc)), "<missing>");
  EXPECT_EQ(Read("Intruder.1"), "<missing>");
  // Unregistering it leaves the owner's ProgID in place.
  EXPECT_EQ(com::UnregisterServerClass(other), S_OK);
  EXPECT_EQ(Read(std::string(kTestCalcIndependentProgId) + "\\CLSID"),
            com::GuidToRegistryString(CLSID_TestCalc));
}

TEST_F(ActivationTest, ProgIdLookup) {
  Register();
  CLSID clsid = GUID_NULL;
  EXPECT_EQ(CLSIDFromProgID(u"QuorvelTest.Calc.1", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_TestCalc);
  clsid = GUID_NULL;
  EXPECT_EQ(CLSIDFromProgID(u"quorveltest.calc", &clsid), S_OK);  // through CurVer
  EXPECT_EQ(clsid, CLSID_TestCalc);
  for (const char16_t* bad : {u"", u"QuorvelTest.Nothing", u"CLSID\\{x}", u"QuorvelTest.Calc\\CurVer"}) {
    EXPECT_EQ(CLSIDFromProgID(bad, &clsid), CO_E_CLASSSTRING);
  }
  // A CurVer loop ends.
  ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "Loop.A\\CurVer", nullptr, "Loop.B"),
            ERROR_SUCCESS);
  ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "Loop.B\\CurVer", nullptr, "Loop.A"),
            ERROR_SUCCESS);
  EXPECT_EQ(CLSIDFromProgID(u"Loop.A", &clsid), CO_E_CLASSSTRING);
}

TEST_F(ActivationTest, ActivationFailures) {
  Register();
  ComPtr<IUnknown> object;
  // Not registered at all.
  EXPECT_EQ(CoCreateInstance(IID_ITestCalc, nullptr, CLSCTX_SERVER, IID_IUnknown,
                             object.ReceiveVoid()),
            REGDB_E_CLASSNOTREG);
  // Registered, but not in the context asked for.
  EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                             object.ReceiveVoid()),
            REGDB_E_CLASSNOTREG);
  // Aggregation is refused by our class factories.
  EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, reinterpret_cast<IUnknown*>(&object),
                             CLSCTX_INPROC_SERVER, IID_IUnknown, object.ReceiveVoid()),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory,
                             object.ReceiveVoid()),
            E_NOINTERFACE);

  struct Case {
    const char* what;
    const char* inproc;
    const char* local;
    HRESULT expected;
  } cases[] = {
      {"missing library", "/nonexistent/lib.so", nullptr, CO_E_DLLNOTFOUND},
      {"library without entry points", QV_PLATFORM_LIBRARY, nullptr, CO_E_ERRORINDLL},
      {"local server", nullptr, "/usr/bin/server -Embedding", CO_E_SERVER_EXEC_FAILURE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string key = ClsidKey(IID_IDispatch);
    const LSTATUS wiped = RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID");
    ASSERT_TRUE(wiped == ERROR_SUCCESS || wiped == ERROR_FILE_NOT_FOUND);
    if (c.inproc) {
      ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, key + "\\InprocServer32", nullptr, c.inproc),
                ERROR_SUCCESS);
    }
    if (c.local) {
      ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, key + "\\LocalServer32", nullptr, c.local),
                ERROR_SUCCESS);
    }
    EXPECT_EQ(CoCreateInstance(IID_IDispatch, nullptr, CLSCTX_SERVER, IID_IUnknown,
                               object.ReceiveVoid()),
              c.expected);
    EXPECT_FALSE(object);
  }

  // A thread outside any apartment may not create objects.
  HRESULT off_thread = S_OK;
  std::thread([&] {
    IUnknown* p = nullptr;
    off_thread = CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&p));
  }).join();
  EXPECT_EQ(off_thread, CO_E_NOTINITIALIZED);

  // A registry that cannot be read says so.
  registry_.WriteFile("garbage\n");
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"QuorvelTest.Calc", &clsid), REGDB_E_READREGDB);
  EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_SERVER, IID_IUnknown,
                             object.ReceiveVoid()),
            REGDB_E_READREGDB);
}

TEST(ApartmentTest, NestingAndModeChanges) {
  std::thread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitialize(nullptr), S_OK);  // out of it again: any mode
    CoUninitialize();
  }).join();
}

TEST_F(ActivationTest, CreatedByProgIdAndCalledThroughItsInterface) {
  Register();
  for (int round = 0; round < 2; ++round) {
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"QuorvelTest.Calc", &clsid), S_OK);
    ComPtr<ITestCalc> calc;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER |
                                                   CLSCTX_REMOTE_SERVER,
                               ITestCalc::kIid, calc.ReceiveVoid()),
              S_OK);
    Bstr joined;
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(calc->Join(Bstr(u"a").Get(), nullptr, joined.Receive(), &ok), S_OK);
    EXPECT_EQ(joined.View(), u"a|");
    EXPECT_EQ(ok, VARIANT_TRUE);
    ComPtr<IDispatch> dispatch = com::QueryInterfacePtr<IDispatch>(calc.Get());
    EXPECT_TRUE(dispatch);
    // Every reference gone: the library may go and come back.
    calc.Reset();
    dispatch.Reset();
    CoFreeUnusedLibraries();
  }
}

// A class's object is found once and handed out again while its registration
// holds; a registration another process removes or restores is followed.
TEST_F(ActivationTest, ClassObjectIsKeptWhileItsRegistrationHolds) {
  Register();
  auto classObject = [](IUnknown** out) {
    return CoGetClassObject(CLSID_TestCalc, CLSCTX_INPROC_SERVER, nullptr, IID_IUnknown,
                            reinterpret_cast<void**>(out));
  };
  IUnknown* first = nullptr;
  IUnknown* second = nullptr;
  ASSERT_EQ(classObject(&first), S_OK);
  ASSERT_EQ(classObject(&second), S_OK);
  EXPECT_EQ(first, second);
  first->Release();
  second->Release();

  ASSERT_EQ(RunRegcomp(std::string("-u ") + QV_TEST_COMPONENT), 0);
  IUnknown* gone = nullptr;
  EXPECT_EQ(classObject(&gone), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(gone, nullptr);

  Register();
  ComPtr<ITestCalc> calc;
  EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, ITestCalc::kIid,
                             calc.ReceiveVoid()),
            S_OK);
}

// Another thread may be between its lookup and its call into the library, or
// still inside the library's Release, when the last object goes away.
TEST_F(ActivationTest, LibraryStaysLoadedWhileOtherThreadsMayBeInIt) {
  Register();
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::thread creator([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    for (int i = 0; i < 300; ++i) {
      ComPtr<ITestCalc> calc;
      if (CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, ITestCalc::kIid,
                           calc.ReceiveVoid()) != S_OK) {
        ++failures;
      }
    }
    CoUninitialize();
    stop = true;
  });
  while (!stop) CoFreeUnusedLibraries();
  creator.join();
  EXPECT_EQ(failures.load(), 0);

  // With every object gone the library is still mapped: code of it may still
  // be running on a thread that has just released its last reference.
  CoFreeUnusedLibraries();
  void* still = dlopen(QV_TEST_COMPONENT, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(still, nullptr);
  if (still) dlclose(still);
}

}  // namespace
