// Test support for SoapClient: WSDL copies pointed at a test's own port,
// argument values the echo operations take, and a readable form of what
// comes back.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/quenlin.h"
#include "interfaces/soapstruct.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"

namespace client::testing {

// Writes `from` to `to` with every `address` replaced by `replacement`;
// returns the file:// URL of the copy.
inline std::string CopyWsdl(const std::filesystem::path& from, const std::filesystem::path& to,
                            std::string_view address, std::string_view replacement) {
  std::ifstream in(from);
  std::stringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  EXPECT_NE(text.find(address), std::string::npos) << from;
  for (size_t at = text.find(address); at != std::string::npos;
       at = text.find(address, at + replacement.size())) {
    text.replace(at, address.size(), replacement);
  }
  std::ofstream(to) << text;
  return "file://" + to.string();
}

inline Variant StructOf(const std::vector<std::pair<std::u16string, Variant>>& members) {
  ComPtr<ISoapStruct> s;
  EXPECT_EQ(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_SERVER, ISoapStruct::kIid,
                             s.ReceiveVoid()),
            S_OK);
  Variant v;
  if (!s) return v;
  for (const auto& [name, value] : members) {
    Bstr n(name);
    VARIANT_BOOL ok = VARIANT_FALSE;
    s->SetMember(n.Get(), value, &ok);
  }
  v.vt = VT_DISPATCH;
  v.pdispVal = s.Detach();
  return v;
}

inline Variant StringArray(const std::vector<std::u16string>& items) {
  Variant v;
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size()));
  for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
    Variant item = Variant::FromText(items[i]);
    SafeArrayPutElement(array, &i, &item);
  }
  v.vt = VT_ARRAY | VT_VARIANT;
  v.parray = array;
  return v;
}

// "s:text", "i:5", "[a,b]", "{name=value,...}", or "t<vt>" for other types.
inline std::string Describe(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY:
      return "empty";
    case VT_BSTR:
      return "s:" + text::Narrow(BstrView(v.bstrVal));
    case VT_I4:
      return "i:" + std::to_string(v.lVal);
    case VT_INT:
      return "i:" + std::to_string(v.intVal);
    case VT_R4:
      return "f:" + std::to_string(v.fltVal);
    case VT_DISPATCH: {
      ComPtr<ISoapStruct> s = com::QueryInterfacePtr<ISoapStruct>(v.pdispVal);
      if (!s) return "dispatch";
      std::string out = "{";
      Bstr name, ns;
      Variant value;
      LONG position = 0;
      VARIANT_BOOL more = VARIANT_FALSE;
      s->GetFirstMember(name.Receive(), ns.Receive(), &value, &position, &more);
      while (more == VARIANT_TRUE) {
        if (out.size() > 1) out += ",";
        out += text::Narrow(name.View()) + "=" + Describe(value);
        VariantClear(&value);
        more = VARIANT_FALSE;
        s->GetNextMember(name.Receive(), ns.Receive(), &value, &position, &more);
      }
      return out + "}";
    }
    default:
      break;
  }
  if ((v.vt & VT_ARRAY) && v.parray != nullptr && SafeArrayGetDim(v.parray) == 1) {
    LONG low = 0, high = -1;
    SafeArrayGetLBound(v.parray, 1, &low);
    SafeArrayGetUBound(v.parray, 1, &high);
    std::string out = "[";
    for (LONG i = low; i <= high; ++i) {
      Variant item;
      if ((v.vt & VT_TYPEMASK) == VT_VARIANT) {
        SafeArrayGetElement(v.parray, &i, &item);
      } else if ((v.vt & VT_TYPEMASK) == VT_BSTR) {
        BSTR b = nullptr;
        SafeArrayGetElement(v.parray, &i, &b);
        item.vt = VT_BSTR;
        item.bstrVal = b;
      }
      out += (i == low ? "" : ",") + Describe(item);
    }
    return out + "]";
  }
  return "t" + std::to_string(v.vt);
}

// "code|text" of the fault a message holds; the text is the SOAP 1.2 reason
// in "en" when the message has no SOAP 1.1 fault string.
inline std::string FaultText(Iquenlin2* message) {
  Bstr code, text;
  message->GetSOAPFaultCode(code.Receive());
  message->GetSOAPFaultString(text.Receive());
  if (text.Length() == 0) {
    Bstr en(u"en");
    VARIANT_BOOL found = VARIANT_FALSE;
    message->GetSOAP12ReasonText(en.Get(), text.Receive(), &found);
  }
  return text::Narrow(code.View()) + "|" + text::Narrow(text.View());
}

}  // namespace client::testing
