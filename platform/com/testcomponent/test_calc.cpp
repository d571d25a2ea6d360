// The test component's class and its library entry points.
#include "platform/com/testcomponent/test_calc.h"

#include <cmath>
#include <limits>
#include <string>

#include "platform/com/module.h"
#include "platform/text/text.h"

namespace {

class TestCalc final : public com::ComObject<TestCalc, com::Dispatch<ITestCalc>> {
 public:
  HRESULT OnProcessHeader(VARIANT SOAPMsgInterface, VARIANT_BOOL* pResult) override {
    ++calls_;
    IDispatch* message = nullptr;
    bool ok = SOAPMsgInterface.vt == VT_DISPATCH && SOAPMsgInterface.pdispVal &&
              SUCCEEDED(SOAPMsgInterface.pdispVal->QueryInterface(
                  IID_IDispatch, reinterpret_cast<void**>(&message)));
    if (message) message->Release();
    *pResult = ok ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT OnTestMUHeaderBlock(BSTR bstrNamespace, BSTR bstrLocalName,
                              VARIANT_BOOL* pResult) override {
    ++calls_;
    *pResult = BstrView(bstrNamespace) == kAcceptedNamespace &&
                       BstrView(bstrLocalName) == kAcceptedLocalName
                   ? VARIANT_TRUE
                   : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT Join(BSTR bstrFirst, BSTR bstrSecond, BSTR* pbstrJoined,
               VARIANT_BOOL* pResult) override {
    ++calls_;
    std::u16string joined(BstrView(bstrFirst));
    joined += u'|';
    joined += BstrView(bstrSecond);
    *pbstrJoined = SysAllocString(joined);
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT AddTo(LONG lDelta, LONG* plValue, VARIANT_BOOL* pResult) override {
    ++calls_;
    const int64_t sum = int64_t(*plValue) + lDelta;
    const bool fits = sum >= std::numeric_limits<LONG>::min() &&
                      sum <= std::numeric_limits<LONG>::max();
    if (fits) *plValue = LONG(sum);
    *pResult = fits ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT Describe(VARIANT varValue, BSTR* pbstrText, LONG* plType) override {
    ++calls_;
    *plType = varValue.vt;
    VARIANT text;
    VariantInit(&text);
    if (SUCCEEDED(VariantChangeType(&text, &varValue, VARIANT_ALPHABOOL, VT_BSTR))) {
      *pbstrText = text.bstrVal;  // ownership passes to the caller
    } else {
      *pbstrText = SysAllocString(u"?");
    }
    return S_OK;
  }
  HRESULT Twice(VARIANT* pvarValue, VARIANT_BOOL* pResult) override {
    ++calls_;
    if (pvarValue->vt == VT_BSTR) {
      std::u16string doubled(BstrView(pvarValue->bstrVal));
      doubled += BstrView(pvarValue->bstrVal);
      VariantClear(pvarValue);
      pvarValue->vt = VT_BSTR;
      pvarValue->bstrVal = SysAllocString(doubled);
      *pResult = VARIANT_TRUE;
      return S_OK;
    }
    VARIANT number;
    VariantInit(&number);
    if (FAILED(VariantChangeType(&number, pvarValue, 0, VT_R8))) {
      *pResult = VARIANT_FALSE;
      return S_OK;
    }
    VariantClear(pvarValue);
    pvarValue->vt = VT_R8;
    pvarValue->dblVal = -number.dblVal;
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT LeaveAlone(BSTR*, LONG*, VARIANT_BOOL*) override {
    ++calls_;
    return S_OK;
  }
  HRESULT Fail(LONG lCode) override {
    ++calls_;
    return HRESULT(lCode);
  }
  HRESULT Scale(DOUBLE dFactor, INT nValue, VARIANT_BOOL bRound, DOUBLE* pdScaled,
                SHORT* psSign, DATE* pdtWhen) override {
    ++calls_;
    double scaled = dFactor * nValue;
    if (bRound == VARIANT_TRUE) scaled = std::round(scaled);
    *pdScaled = scaled;
    *psSign = SHORT(scaled < 0 ? -1 : scaled > 0 ? 1 : 0);
    *pdtWhen = 37257.5;  // 2002-01-01 12:00
    return S_OK;
  }
  HRESULT Exchange(IDispatch* pIn, IUnknown** ppOut, LONG* plCalls) override {
    ++calls_;
    *ppOut = kept_.Get();
    if (*ppOut) (*ppOut)->AddRef();
    ComPtr<IUnknown> next;
    if (pIn) pIn->QueryInterface(IID_IUnknown, next.ReceiveVoid());
    kept_ = next;
    *plCalls = calls_;
    return S_OK;
  }

 private:
  LONG calls_ = 0;
  ComPtr<IUnknown> kept_;
};

const com::ModuleClass kClasses[] = {
    {&CLSID_TestCalc, &com::CreateInstance<TestCalc>, "TestCalc Class", kTestCalcProgId,
     kTestCalcIndependentProgId},
};

}  // namespace

QV_COMPONENT_ENTRY_POINTS(kClasses)
