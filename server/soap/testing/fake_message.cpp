#include "server/soap/testing/fake_message.h"

#include <algorithm>
#include <string>

#include "platform/text/text.h"

namespace server_testing {

std::u16string DescribeValue(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY:
      return u"e";
    case VT_BSTR:
      return u"s:" + std::u16string(BstrView(v.bstrVal));
    case VT_I4:
      return u"i:" + text::Widen(std::to_string(v.lVal));
    case VT_ARRAY | VT_VARIANT: {
      std::u16string out = u"a:[";
      LONG low = 0, high = -1;
      SafeArrayGetLBound(v.parray, 1, &low);
      SafeArrayGetUBound(v.parray, 1, &high);
      for (LONG i = low; i <= high; ++i) {
        Variant item;
        SafeArrayGetElement(v.parray, &i, &item);
        if (i != low) out += u",";
        out += DescribeValue(item);
      }
      return out + u"]";
    }
    default:
      return u"t" + text::Widen(std::to_string(v.vt));
  }
}

std::string FakeMessage::Summary() const {
  std::u16string out;
  if (hasFault) {
    out = u"fault " + fault.code + u" " + fault.text;
    if (!fault.subcode.empty()) out += u" sub=" + fault.subcode;
    if (!faultDetail.empty()) out += u" detail " + faultDetail;
    for (const std::u16string& h : faultHeaders) out += u" header " + h;
  } else {
    out = u"ok";
    if (returnSet) out += u" return=" + DescribeValue(returnValue);
    for (const FakeParam& p : outParams) out += u" " + p.name + u"=" + DescribeValue(p.value);
    if (!responseBody.empty()) out += u" body=" + responseBody;
  }
  return text::Narrow(out);
}

HRESULT FakeMessage::GetBuffer(VARIANT* out, VARIANT_BOOL* pResult) {
  VariantInit(out);
  *pResult = VARIANT_FALSE;
  if (!serializeOk) return S_OK;
  const std::string bytes = Summary();
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  void* data = nullptr;
  SafeArrayAccessData(array, &data);
  std::copy(bytes.begin(), bytes.end(), static_cast<char*>(data));
  SafeArrayUnaccessData(array);
  out->vt = VT_ARRAY | VT_UI1;
  out->parray = array;
  *pResult = VARIANT_TRUE;
  return S_OK;
}

}  // namespace server_testing
