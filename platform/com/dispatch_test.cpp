#include "platform/com/dispatch.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/testcomponent/test_calc.h"
#include "platform/com/testing/value_fakes.h"
#include "platform/registry/testing/temp_registry.h"

namespace {

// An owned variant.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  explicit Var(std::u16string_view s) : Var() {
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(s);
  }
  explicit Var(LONG n) : Var() {
    v.vt = VT_I4;
    v.lVal = n;
  }
  static Var Dispatch(IDispatch* d) {
    Var r;
    r.v.vt = VT_DISPATCH;
    r.v.pdispVal = d;
    d->AddRef();
    return r;
  }
  static Var ByRef(VARTYPE vt, void* p) {
    Var r;
    r.v.vt = VARTYPE(VT_BYREF | vt);
    r.v.byref = p;
    return r;
  }
  Var(Var&& o) noexcept : v(o.v) { o.v.vt = VT_EMPTY; }
  Var(const Var&) = delete;
  ~Var() { VariantClear(&v); }
};

struct CallResult {
  HRESULT names_hr;
  std::vector<DISPID> ids;
  HRESULT hr;
  Var result;
  EXCEPINFO excep{};
  UINT arg_err;
  ~CallResult() {
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  }
};

// The server's call by name: GetIDsOfNames with the method and argument
// names, then Invoke with every argument named, in the order given.
void CallByName(IDispatch* object, std::u16string_view method,
                const std::vector<std::u16string_view>& arg_names, std::vector<Var>& args,
                CallResult* out) {
  std::vector<BSTR> names;
  names.push_back(SysAllocString(method));
  for (auto n : arg_names) names.push_back(SysAllocString(n));
  out->ids.assign(names.size(), 12345);
  out->names_hr = object->GetIDsOfNames(GUID_NULL, names.data(), UINT(names.size()),
                                        LOCALE_USER_DEFAULT, out->ids.data());
  for (BSTR b : names) SysFreeString(b);
  if (FAILED(out->names_hr)) return;
  std::vector<VARIANTARG> argv;
  for (Var& a : args) argv.push_back(a.v);  // borrowed; `args` keeps ownership
  DISPPARAMS params{argv.data(), out->ids.data() + 1, UINT(argv.size()), UINT(argv.size())};
  out->arg_err = UINT(-1);
  out->hr = object->Invoke(out->ids[0], GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                           &params, &out->result.v, &out->excep, &out->arg_err);
}

class DispatchTest : public registry::testing::RegistryTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    const std::string command = std::string(QV_REGCOMP) + " -s " + QV_TEST_COMPONENT;
    ASSERT_EQ(system(command.c_str()), 0);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"QuorvelTest.Calc", &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch,
                               object_.ReceiveVoid()),
              S_OK);
  }
  void TearDown() override {
    object_.Reset();
    CoUninitialize();
  }

  ComPtr<IDispatch> object_;
};

TEST_F(DispatchTest, PluginContractCallsWithNamedArgumentsInAnyOrder) {
  struct Case {
    std::vector<std::u16string_view> names;
    std::vector<std::u16string_view> values;
    VARIANT_BOOL expected;
  } cases[] = {
      {{u"bstrNamespace", u"bstrLocalName"}, {kAcceptedNamespace, kAcceptedLocalName}, VARIANT_TRUE},
      {{u"bstrLocalName", u"bstrNamespace"}, {kAcceptedLocalName, kAcceptedNamespace}, VARIANT_TRUE},
      {{u"BSTRLOCALNAME", u"bstrnamespace"}, {kAcceptedLocalName, kAcceptedNamespace}, VARIANT_TRUE},
      {{u"bstrLocalName", u"bstrNamespace"}, {kAcceptedNamespace, kAcceptedLocalName}, VARIANT_FALSE},
  };
  for (const Case& c : cases) {
    std::vector<Var> args;
    for (auto v : c.values) args.emplace_back(v);
    CallResult r;
    CallByName(object_.Get(), u"OnTestMUHeaderBlock", c.names, args, &r);
    ASSERT_EQ(r.names_hr, S_OK);
    EXPECT_EQ(r.ids[0], 2);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.result.v.vt, VT_BOOL);
    EXPECT_EQ(r.result.v.boolVal, c.expected);
  }

  // The message travels as VT_DISPATCH under SOAPMsgInterface.
  std::vector<Var> args;
  args.push_back(Var::Dispatch(object_.Get()));
  CallResult r;
  CallByName(object_.Get(), u"OnProcessHeader", {u"SOAPMsgInterface"}, args, &r);
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(uint16_t(r.result.v.boolVal), 0xFFFF);
  args.clear();
  args.emplace_back();  // VT_EMPTY: no message
  CallResult empty;
  CallByName(object_.Get(), u"OnProcessHeader", {u"SOAPMsgInterface"}, args, &empty);
  ASSERT_EQ(empty.hr, S_OK);
  EXPECT_EQ(empty.result.v.boolVal, VARIANT_FALSE);
}

TEST_F(DispatchTest, UnknownNamesAreReportedPerName) {
  std::vector<Var> none;
  CallResult r;
  CallByName(object_.Get(), u"OnProcessBody", {u"SOAPMsgInterface"}, none, &r);
  EXPECT_EQ(r.names_hr, DISP_E_UNKNOWNNAME);
  EXPECT_EQ(r.ids, (std::vector<DISPID>{DISPID_UNKNOWN, DISPID_UNKNOWN}));

  CallResult p;
  CallByName(object_.Get(), u"Join", {u"bstrSecond", u"bstrThird", u"bstrFirst"}, none, &p);
  EXPECT_EQ(p.names_hr, DISP_E_UNKNOWNNAME);
  EXPECT_EQ(p.ids, (std::vector<DISPID>{3, 1, DISPID_UNKNOWN, 0}));

  DISPID id;
  LPOLESTR name = const_cast<LPOLESTR>(u"Join");
  EXPECT_EQ(object_->GetIDsOfNames(IID_IDispatch, &name, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(object_->Invoke(99, GUID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr,
                            nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(object_->Invoke(3, GUID_NULL, 0, DISPATCH_PROPERTYPUT, nullptr, nullptr, nullptr,
                            nullptr),
            DISP_E_MEMBERNOTFOUND);
  UINT count = 7;
  EXPECT_EQ(object_->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
}

TEST_F(DispatchTest, ArgumentsAreCoercedOrRefused) {
  struct Case {
    const char* what;
    Var delta;
    HRESULT expected;
    LONG value_after;
  };
  Case cases[] = {
      {"number", Var(LONG(5)), S_OK, 15},
      {"numeric text", Var(u" 7"), S_OK, 17},
      {"text that is no number", Var(u"seven"), DISP_E_TYPEMISMATCH, 10},
      {"out of range", Var(u"99999999999"), DISP_E_OVERFLOW, 10},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    LONG value = 10;
    std::vector<Var> args;
    args.push_back(Var::ByRef(VT_I4, &value));
    args.push_back(std::move(c.delta));
    CallResult r;
    CallByName(object_.Get(), u"AddTo", {u"plValue", u"lDelta"}, args, &r);
    EXPECT_EQ(r.hr, c.expected);
    if (FAILED(c.expected)) {
      EXPECT_EQ(r.arg_err, 1u);  // the index of lDelta in rgvarg
    }
    EXPECT_EQ(value, c.value_after);
  }

  // An [out] parameter must be passed by reference.
  std::vector<Var> args;
  args.emplace_back(LONG(10));
  args.emplace_back(LONG(1));
  CallResult r;
  CallByName(object_.Get(), u"AddTo", {u"plValue", u"lDelta"}, args, &r);
  EXPECT_EQ(r.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(r.arg_err, 0u);
}

TEST_F(DispatchTest, WrongCounts) {
  LONG value = 1;
  {
    // Fewer named arguments than the method takes is a count error: the RPC
    // invoker names every argument and reports this code as a bad count.
    std::vector<Var> args;
    args.emplace_back(LONG(2));
    CallResult r;
    CallByName(object_.Get(), u"AddTo", {u"lDelta"}, args, &r);
    EXPECT_EQ(r.hr, DISP_E_BADPARAMCOUNT);
  }
  {
    // Enough arguments, but one of them names the result in place of a
    // required parameter.
    VARIANT_BOOL flag = 0;
    std::vector<Var> args;
    args.emplace_back(LONG(2));
    args.push_back(Var::ByRef(VT_BOOL, &flag));
    CallResult r;
    CallByName(object_.Get(), u"AddTo", {u"lDelta", u"pResult"}, args, &r);
    EXPECT_EQ(r.hr, DISP_E_PARAMNOTOPTIONAL);
  }
  // Positional: too few and too many.
  VARIANTARG argv[4];
  for (auto& a : argv) VariantInit(&a);
  argv[0].vt = VT_I4;
  DISPPARAMS one{argv, nullptr, 1, 0};
  EXPECT_EQ(object_->Invoke(4, GUID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
            DISP_E_BADPARAMCOUNT);
  DISPPARAMS four{argv, nullptr, 4, 0};
  EXPECT_EQ(object_->Invoke(4, GUID_NULL, 0, DISPATCH_METHOD, &four, nullptr, nullptr, nullptr),
            DISP_E_BADPARAMCOUNT);
  // A named id beyond the parameters, and one parameter named twice.
  {
    std::vector<Var> args;
    args.push_back(Var::ByRef(VT_I4, &value));
    args.emplace_back(LONG(2));
    DISPID bad_ids[] = {1, 5};
    std::vector<VARIANTARG> v{args[0].v, args[1].v};
    DISPPARAMS params{v.data(), bad_ids, 2, 2};
    UINT arg_err = 0;
    EXPECT_EQ(object_->Invoke(4, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                              &arg_err),
              DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(arg_err, 1u);
    DISPID twice[] = {1, 1};
    params.rgdispidNamedArgs = twice;
    EXPECT_EQ(object_->Invoke(4, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                              &arg_err),
              DISP_E_PARAMNOTFOUND);
  }
  EXPECT_EQ(value, 1);
}

TEST_F(DispatchTest, OutValuesThroughEveryKindOfReference) {
  // [out] BSTR through VT_BYREF|VT_BSTR: written straight.
  BSTR joined = nullptr;
  {
    std::vector<Var> args;
    args.emplace_back(u"x");
    args.emplace_back(u"y");
    args.push_back(Var::ByRef(VT_BSTR, &joined));
    CallResult r;
    CallByName(object_.Get(), u"Join", {u"bstrFirst", u"bstrSecond", u"pbstrJoined"}, args, &r);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.result.v.boolVal, VARIANT_TRUE);
  }
  EXPECT_EQ(BstrView(joined), u"x|y");
  SysFreeString(joined);

  // [out] BSTR through VT_BYREF|VT_VARIANT: the whole variant is replaced.
  Var slot(LONG(3));
  {
    std::vector<Var> args;
    args.push_back(Var::ByRef(VT_VARIANT, &slot.v));
    args.emplace_back(u"b");
    args.emplace_back(u"a");
    CallResult r;
    CallByName(object_.Get(), u"Join", {u"pbstrJoined", u"bstrSecond", u"bstrFirst"}, args, &r);
    ASSERT_EQ(r.hr, S_OK);
  }
  ASSERT_EQ(slot.v.vt, VT_BSTR);
  EXPECT_EQ(BstrView(slot.v.bstrVal), u"a|b");

  // [in,out] long from a variant holding text, written back as a long; and
  // through a reference of another type, converted back to that type.
  Var text_number(u"40");
  double real_number = 2.0;
  for (Var* target : {&text_number, static_cast<Var*>(nullptr)}) {
    std::vector<Var> args;
    args.emplace_back(LONG(2));
    args.push_back(target ? Var::ByRef(VT_VARIANT, &target->v) : Var::ByRef(VT_R8, &real_number));
    CallResult r;
    CallByName(object_.Get(), u"AddTo", {u"lDelta", u"plValue"}, args, &r);
    ASSERT_EQ(r.hr, S_OK);
  }
  EXPECT_EQ(text_number.v.vt, VT_I4);
  EXPECT_EQ(text_number.v.lVal, 42);
  EXPECT_EQ(real_number, 4.0);

  // [in,out] VARIANT as the server's RPC invoker passes it: VT_BYREF|T at the
  // value's data; a value of type T comes back.
  BSTR text = SysAllocString(u"ab");
  LONG number = 5;
  Var refs[] = {Var::ByRef(VT_BSTR, &text), Var::ByRef(VT_I4, &number)};
  for (Var& ref : refs) {
    std::vector<Var> args;
    args.push_back(std::move(ref));
    CallResult r;
    CallByName(object_.Get(), u"Twice", {u"pvarValue"}, args, &r);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.result.v.boolVal, VARIANT_TRUE);
  }
  EXPECT_EQ(BstrView(text), u"abab");
  EXPECT_EQ(number, -5);
  SysFreeString(text);

  // The result of a method whose retval is a long.
  {
    std::vector<Var> args;
    BSTR described = nullptr;
    args.emplace_back(u"12");
    args.push_back(Var::ByRef(VT_BSTR, &described));
    CallResult r;
    CallByName(object_.Get(), u"Describe", {u"varValue", u"pbstrText"}, args, &r);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.result.v.vt, VT_I4);
    EXPECT_EQ(r.result.v.lVal, VT_BSTR);
    EXPECT_EQ(BstrView(described), u"12");
    SysFreeString(described);
  }
}

// The RPC invoker passes an [out] parameter as a reference to a copy of the
// message's value. A method writes an [out] without freeing what was there, so
// Invoke must release that value first.
TEST_F(DispatchTest, OutReferencesAreEmptiedBeforeTheCall) {
  BSTR joined = SysAllocString(u"value from the request");
  {
    std::vector<Var> args;
    args.emplace_back(u"x");
    args.emplace_back(u"y");
    args.push_back(Var::ByRef(VT_BSTR, &joined));
    CallResult r;
    CallByName(object_.Get(), u"Join", {u"bstrFirst", u"bstrSecond", u"pbstrJoined"}, args, &r);
    ASSERT_EQ(r.hr, S_OK);
  }
  EXPECT_EQ(BstrView(joined), u"x|y");
  SysFreeString(joined);

  com::testing::FakeObject held;
  held.AddRef();  // the reference the out slot owns
  IUnknown* out = &held;
  {
    std::vector<Var> args;
    args.push_back(Var::ByRef(VT_UNKNOWN, &out));
    args.emplace_back();
    args.back().v.vt = VT_DISPATCH;  // a null object
    CallResult r;
    CallByName(object_.Get(), u"Exchange", {u"ppOut", u"pIn"}, args, &r);
    ASSERT_EQ(r.hr, S_OK);
  }
  EXPECT_EQ(out, nullptr);  // nothing kept before: the method wrote null
  EXPECT_EQ(held.refs, 1u);
}

TEST_F(DispatchTest, FailingMethodIsAnExceptionWithItsCode) {
  std::vector<Var> args;
  args.emplace_back(LONG(E_ACCESSDENIED));
  CallResult r;
  CallByName(object_.Get(), u"Fail", {u"lCode"}, args, &r);
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.excep.scode, E_ACCESSDENIED);
}

// Runs every method of the description on `calc` and writes down all that
// comes back, so that two implementations can be compared.
std::u16string Transcript(ITestCalc* calc, IDispatch* some_object) {
  std::u16string t;
  auto put = [&t](std::u16string_view what, int64_t n) {
    t += what;
    t += u'=';
    for (char c : std::to_string(n)) t += char16_t(c);
    t += u';';
  };
  VARIANT_BOOL ok = 7;
  Var message = Var::Dispatch(some_object);
  put(u"hr", calc->OnProcessHeader(message.v, &ok));
  put(u"OnProcessHeader", ok);
  Bstr ns(kAcceptedNamespace), local(kAcceptedLocalName);
  put(u"hr", calc->OnTestMUHeaderBlock(ns.Get(), local.Get(), &ok));
  put(u"OnTestMUHeaderBlock", ok);
  put(u"hr", calc->OnTestMUHeaderBlock(local.Get(), nullptr, &ok));
  put(u"OnTestMUHeaderBlock", ok);
  Bstr joined;
  put(u"hr", calc->Join(ns.Get(), nullptr, joined.Receive(), &ok));
  t += joined.View();
  put(u"Join", ok);
  LONG value = 2147483600;
  put(u"hr", calc->AddTo(40, &value, &ok));
  put(u"AddTo", value);
  put(u"hr", calc->AddTo(40, &value, &ok));  // would overflow: kept
  put(u"AddTo", value);
  put(u"ok", ok);
  Var values[] = {Var(u"text"), Var(LONG(-3)), Var()};
  for (Var& v : values) {
    Bstr text;
    LONG type = -1;
    put(u"hr", calc->Describe(v.v, text.Receive(), &type));
    t += text.View();
    put(u"Describe", type);
  }
  Var twice(u"ab");
  put(u"hr", calc->Twice(&twice.v, &ok));
  t += BstrView(twice.v.bstrVal);
  put(u"Twice", twice.v.vt);
  Var twice_number(LONG(8));
  put(u"hr", calc->Twice(&twice_number.v, &ok));
  put(u"Twice", twice_number.v.vt);
  put(u"Twice", int64_t(twice_number.v.dblVal));
  BSTR left = nullptr;
  LONG left_number = 0;
  ok = 0;
  put(u"hr", calc->LeaveAlone(&left, &left_number, &ok));
  put(u"LeaveAlone", reinterpret_cast<intptr_t>(left));
  put(u"LeaveAlone", left_number);
  put(u"LeaveAlone", ok);
  put(u"Fail", calc->Fail(LONG(E_INVALIDARG)));
  put(u"Fail", calc->Fail(S_FALSE));
  double scaled = 0;
  SHORT sign = 0;
  DATE when = 0;
  put(u"hr", calc->Scale(-2.25, 3, VARIANT_TRUE, &scaled, &sign, &when));
  put(u"Scale", int64_t(scaled * 100));
  put(u"Scale", sign);
  put(u"Scale", int64_t(when * 10));
  ComPtr<IUnknown> back;
  LONG calls = 0;
  put(u"hr", calc->Exchange(some_object, back.Receive(), &calls));
  put(u"Exchange", back.Get() != nullptr);
  put(u"hr", calc->Exchange(nullptr, back.Receive(), &calls));
  put(u"Exchange", back.Get() == com::QueryInterfacePtr<IUnknown>(some_object).Get());
  return t;
}

TEST_F(DispatchTest, ProxyBehavesLikeTheObject) {
  ComPtr<ITestCalc> direct = com::QueryInterfacePtr<ITestCalc>(object_.Get());
  ASSERT_TRUE(direct);
  ComPtr<IDispatch> fresh;
  ASSERT_EQ(CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_SERVER, IID_IDispatch,
                             fresh.ReceiveVoid()),
            S_OK);
  ComPtr<ITestCalc> proxy = com::MakeDispatchProxy<ITestCalc>(fresh.Get());
  ASSERT_TRUE(proxy);
  EXPECT_NE(proxy.Get(), com::QueryInterfacePtr<ITestCalc>(fresh.Get()).Get());

  const std::u16string expected = Transcript(direct.Get(), object_.Get());
  EXPECT_EQ(Transcript(proxy.Get(), object_.Get()), expected);
  // The transcript shows real work, not two empty answers.
  EXPECT_NE(expected.find(u"urn:quorvel-test|"), std::u16string::npos);
  EXPECT_NE(expected.find(u"AddTo=2147483640;"), std::u16string::npos);
  EXPECT_NE(expected.find(u"Fail=-2147024809;"), std::u16string::npos);
  EXPECT_NE(expected.find(u"Scale=-700;Scale=-1;Scale=372575;"), std::u16string::npos);
  EXPECT_NE(expected.find(u"Exchange=1;"), std::u16string::npos);

  // The proxy answers for the interface and IDispatch, and forwards names.
  EXPECT_TRUE(com::QueryInterfacePtr<IDispatch>(proxy.Get()));
  LPOLESTR name = const_cast<LPOLESTR>(u"Scale");
  DISPID id = 0;
  EXPECT_EQ(proxy->GetIDsOfNames(GUID_NULL, &name, 1, 0, &id), S_OK);
  EXPECT_EQ(id, 9);
  EXPECT_FALSE(com::MakeDispatchProxy<ITestCalc>(nullptr));
}

// [out] variables may hold anything on entry (COM does not ask callers to
// initialise them): the proxy neither frees nor passes on what they hold, and
// a successful call always leaves them written, as a call across processes
// would.
TEST_F(DispatchTest, ProxyNeverReadsOrFreesOutVariables) {
  ComPtr<ITestCalc> proxy = com::MakeDispatchProxy<ITestCalc>(object_.Get());
  ASSERT_TRUE(proxy);
  BSTR text = reinterpret_cast<BSTR>(0x1234);  // freeing or reading it would crash
  LONG number = 99;
  VARIANT_BOOL ok = 5;
  ASSERT_EQ(proxy->LeaveAlone(&text, &number, &ok), S_OK);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(number, 0);
  EXPECT_EQ(ok, VARIANT_FALSE);

  text = reinterpret_cast<BSTR>(0x1234);
  ok = 5;
  Bstr first(u"a"), second(u"b");
  ASSERT_EQ(proxy->Join(first.Get(), second.Get(), &text, &ok), S_OK);
  EXPECT_EQ(BstrView(text), u"a|b");
  EXPECT_EQ(ok, VARIANT_TRUE);
  SysFreeString(text);
}

}  // namespace
