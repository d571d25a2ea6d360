// A local server for the tests: serves CLSID_TestRemote until its module has
// stayed unlocked for the delay given as its first argument (milliseconds).
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "interfaces/quenlin.h"
#include "interfaces/soapstruct.h"
#include "platform/com/activation.h"
#include "platform/com/module.h"
#include "platform/com/remote/remote.h"
#include "platform/com/remote/testhost/test_remote.h"
#include "platform/thread/message_loop.h"

namespace {

DWORD g_loop_thread = 0;

class TestRemote final : public com::ComObject<TestRemote, com::Dispatch<ITestRemote>> {
 public:
  HRESULT Echo(BSTR text, BSTR* result) override {
    *result = SysAllocString(BstrView(text));
    return S_OK;
  }
  HRESULT GetProcessId(LONG* pid) override {
    *pid = LONG(getpid());
    return S_OK;
  }
  HRESULT OnLoopThread(VARIANT_BOOL* result) override {
    *result = GetCurrentThreadId() == g_loop_thread ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT VisitCaller(IDispatch* caller, VARIANT_BOOL* result) override {
    *result = VARIANT_FALSE;
    ComPtr<ITestCaller> peer = com::MakeDispatchProxy<ITestCaller>(caller);
    if (!peer) return E_POINTER;
    Bstr name;
    Variant record;
    if (HRESULT hr = peer->GetName(name.Receive()); FAILED(hr)) return hr;
    if (HRESULT hr = peer->GetRecord(record.Receive()); FAILED(hr)) return hr;
    // The record arrived by value: it is a struct of this process.
    ComPtr<ISoapStruct> fields = com::QueryInterfacePtr<ISoapStruct>(record.pdispVal);
    if (record.vt != VT_DISPATCH || !fields) return DISP_E_TYPEMISMATCH;
    Variant count;
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr count_name(u"Count");
    fields->GetMember(count_name.Get(), count.Receive(), &ok);
    if (!ok || FAILED(count.ChangeType(VT_I4))) return E_FAIL;
    fields->SetMember(count_name.Get(), Variant::FromI4(count.lVal + 1), &ok);
    Bstr seen(u"SeenBy"), ns(u"urn:test");
    fields->AddMember(seen.Get(), ns.Get(), Variant::FromText(name.View()), &ok);
    if (HRESULT hr = peer->PutRecord(record); FAILED(hr)) return hr;
    Bstr note(u"visited " + std::u16string(name.View()));
    if (HRESULT hr = peer->AddNote(note.Get()); FAILED(hr)) return hr;
    *result = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT Bounce(IDispatch* peer, LONG depth, LONG* count) override {
    *count = 0;
    if (depth <= 0) return S_OK;
    ComPtr<ITestCaller> caller = com::MakeDispatchProxy<ITestCaller>(peer);
    if (!caller) return E_POINTER;
    LONG inner = 0;
    if (HRESULT hr = caller->Bounce(this, depth - 1, &inner); FAILED(hr)) return hr;
    *count = inner + 1;
    return S_OK;
  }
  HRESULT Reflect(VARIANT value, VARIANT* result) override { return VariantCopy(result, &value); }
  HRESULT Twice(LONG* value, BSTR* text, VARIANT* old) override {
    VariantInit(old);
    old->vt = VT_I4;
    old->lVal = *value;
    *value *= 2;
    const std::u16string doubled =
        std::u16string(BstrView(*text)) + std::u16string(BstrView(*text));
    SysFreeString(*text);
    *text = SysAllocString(doubled);
    return S_OK;
  }
  HRESULT AnswerMessage(IDispatch* message, VARIANT_BOOL* result) override {
    *result = VARIANT_FALSE;
    ComPtr<Iquenlin2> m = com::MakeDispatchProxy<Iquenlin2>(message);
    if (!m) return E_POINTER;
    Bstr ns(u"urn:test"), session(u"Session"), reply(u"Reply"), none;
    Variant content;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (HRESULT hr = m->GetHeaderElem(ns.Get(), session.Get(), content.Receive(), &ok); FAILED(hr))
      return hr;
    if (!ok) return E_FAIL;
    // The block's struct came by value: a struct of this process.
    ComPtr<ISoapStruct> fields = com::QueryInterfacePtr<ISoapStruct>(content.pdispVal);
    if (content.vt != VT_DISPATCH || !fields) return DISP_E_TYPEMISMATCH;
    Variant count, who;
    fields->GetMember(Bstr(u"Count").Get(), count.Receive(), &ok);
    if (!ok || FAILED(count.ChangeType(VT_I4))) return E_FAIL;
    fields->GetMember(Bstr(u"Who").Get(), who.Receive(), &ok);
    if (!ok || FAILED(who.ChangeType(VT_BSTR))) return E_FAIL;
    if (HRESULT hr = m->AddHeaderElem(ns.Get(), reply.Get(), Variant::FromI4(count.lVal + 1),
                                      VARIANT_FALSE, none.Get(), &ok);
        FAILED(hr) || !ok)
      return FAILED(hr) ? hr : E_FAIL;
    Bstr text(u"answered " + std::u16string(BstrView(who.bstrVal)));
    if (HRESULT hr =
            m->SetSOAPFault(Bstr(u"Server").Get(), none.Get(), text.Get(), VARIANT_FALSE, &ok);
        FAILED(hr) || !ok)
      return FAILED(hr) ? hr : E_FAIL;
    *result = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT Die() override {
    kill(getpid(), SIGKILL);
    pause();
    return S_OK;
  }
};

}  // namespace

int main(int argc, char** argv) {
  const DWORD linger = argc > 1 ? DWORD(atol(argv[1])) : com::remote::kLocalServerShutdownDelayMs;
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  g_loop_thread = GetCurrentThreadId();
  ComPtr<com::ClassFactory> factory =
      com::MakeComObject<com::ClassFactory>(&com::CreateInstance<TestRemote>);
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(CLSID_TestRemote, factory.Get(), CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie)) ||
      FAILED(CoResumeClassObjects())) {
    return 2;
  }
  com::remote::StartShutdownMonitor(g_loop_thread, linger);
  MSG msg;
  while (GetMessage(&msg, nullptr, 0, 0) > 0) DispatchMessage(&msg);
  com::remote::StopShutdownMonitor();
  CoRevokeClassObject(cookie);
  factory.Reset();
  CoUninitialize();
  return 0;
}
