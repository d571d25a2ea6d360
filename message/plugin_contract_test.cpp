#include "message/plugin_contract.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/variant.h"

namespace message {
namespace {

// A plug-in on the test's stack that records how it was called and answers
// with a scripted result.
class RecordingPlugin final : public IDispatch {
 public:
  HRESULT QueryInterface(REFIID, void** object) override {
    *object = this;
    return S_OK;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    for (UINT i = 0; i < count; ++i) {
      seenNames.emplace_back(BstrView(names[i]));
      ids[i] = i == 0 ? 7 : static_cast<DISPID>(count - 1 - i);  // arguments reversed
    }
    return namesResult;
  }
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO*, UINT*) override {
    invokedMember = member;
    methodCall = flags == DISPATCH_METHOD;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(result);
    resultZeroed = true;
    for (size_t i = 0; i < sizeof(VARIANT); ++i) resultZeroed = resultZeroed && bytes[i] == 0;
    for (UINT k = 0; k < params->cNamedArgs; ++k) {
      seenArgs.push_back(std::to_string(params->rgdispidNamedArgs[k]) + "=" +
                         (params->rgvarg[k].vt == VT_BSTR
                              ? std::string(1, static_cast<char>(params->rgvarg[k].bstrVal[0]))
                              : std::string("?")));
    }
    if (setResult) {
      result->vt = answerType;
      result->iVal = answerValue;
    }
    return invokeResult;
  }

  HRESULT namesResult = S_OK;
  HRESULT invokeResult = S_OK;
  bool setResult = true;
  VARTYPE answerType = VT_BOOL;
  SHORT answerValue = VARIANT_TRUE;
  std::vector<std::u16string> seenNames;
  std::vector<std::string> seenArgs;
  DISPID invokedMember = 0;
  bool methodCall = false;
  bool resultZeroed = false;
};

CallOutcome Call(RecordingPlugin& plugin, ResultRule rule) {
  static constexpr std::u16string_view kNames[] = {u"first", u"second"};
  Variant args[2];
  args[0] = Variant::FromText(u"a");
  args[1] = Variant::FromText(u"b");
  return CallByName(&plugin, u"Method", kNames, AsVariants(args, 2), rule);
}

TEST(CallByNameTest, NamesArgumentsInOrderWithAZeroedResult) {
  RecordingPlugin plugin;
  const CallOutcome outcome = Call(plugin, ResultRule::ExactlyTrue);
  EXPECT_EQ(outcome.status, CallStatus::Ok);
  EXPECT_EQ(plugin.seenNames, (std::vector<std::u16string>{u"Method", u"first", u"second"}));
  EXPECT_EQ(plugin.invokedMember, 7);
  EXPECT_TRUE(plugin.methodCall);
  // Each argument goes with the id its own name got.
  EXPECT_EQ(plugin.seenArgs, (std::vector<std::string>{"1=a", "0=b"}));
  EXPECT_TRUE(plugin.resultZeroed);
}

TEST(CallByNameTest, ResultRulesReadOnlyTheSixteenBitValue) {
  struct Case {
    const char* name;
    bool set;
    VARTYPE vt;
    SHORT value;
    bool exactlyTrue, notZero;
  };
  const Case cases[] = {
      {"VT_BOOL true", true, VT_BOOL, VARIANT_TRUE, true, true},
      {"VT_BOOL false", true, VT_BOOL, VARIANT_FALSE, false, false},
      {"integer 1", true, VT_I4, 1, false, true},
      {"no type check: VT_I2 0xFFFF", true, VT_I2, -1, true, true},
      {"result left untouched", false, VT_EMPTY, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (ResultRule rule : {ResultRule::ExactlyTrue, ResultRule::NotZero}) {
      RecordingPlugin plugin;
      plugin.setResult = c.set;
      plugin.answerType = c.vt;
      plugin.answerValue = c.value;
      const CallOutcome outcome = Call(plugin, rule);
      EXPECT_EQ(outcome.result, rule == ResultRule::ExactlyTrue ? c.exactlyTrue : c.notZero);
    }
  }
}

TEST(CallByNameTest, StagesOfFailure) {
  RecordingPlugin names;
  names.namesResult = DISP_E_UNKNOWNNAME;
  EXPECT_EQ(Call(names, ResultRule::NotZero).status, CallStatus::NamesFailed);
  EXPECT_TRUE(names.seenArgs.empty());

  RecordingPlugin invoke;
  invoke.invokeResult = E_FAIL;
  const CallOutcome outcome = Call(invoke, ResultRule::NotZero);
  EXPECT_EQ(outcome.status, CallStatus::InvokeFailed);
  EXPECT_EQ(outcome.hr, E_FAIL);
  EXPECT_FALSE(outcome.result);
}

TEST(NotUnderstoodLiteralTest, WrittenByteExact) {
  EXPECT_EQ(NotUnderstoodLiteral(u"urn:a", u"x").View(),
            u"<SOAP-ENV:NotUnderstood qname=\"ns:x\" "
            u"xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" xmlns:ns=\"urn:a\" />");
  // xmlns:ns="" is no XML 1.0: a block in no namespace is named bare.
  EXPECT_EQ(NotUnderstoodLiteral(u"", u"x").View(),
            u"<SOAP-ENV:NotUnderstood qname=\"x\" "
            u"xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" />");
}

}  // namespace
}  // namespace message
