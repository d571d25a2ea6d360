#include "server/soap/testing/scripted_message.h"

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

std::string ScriptedMessage::Summary() const {
  std::u16string out;
  if (HasFault()) {
    const ScriptedFault& fault = faults.back();
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

}  // namespace server_testing
