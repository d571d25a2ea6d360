#include "plugins/tests/body_service.h"

#include <memory>
#include <string>

#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "xml/namespaces.h"
#include "xml/xml_parser.h"
#include "xmldoc/xml_nodes.h"

namespace testsvc {

ComPtr<Iquenlin2> MessageOf(const VARIANT& argument) {
  const VARIANT* v = &argument;
  if (v->vt == (VT_BYREF | VT_VARIANT)) {
    if (!v->pvarVal) return nullptr;
    v = v->pvarVal;
  }
  IUnknown* unknown = nullptr;
  switch (v->vt) {
    case VT_DISPATCH:
      unknown = v->pdispVal;
      break;
    case VT_UNKNOWN:
      unknown = v->punkVal;
      break;
    case VT_BYREF | VT_DISPATCH:
      unknown = v->ppdispVal ? *v->ppdispVal : nullptr;
      break;
    case VT_BYREF | VT_UNKNOWN:
      unknown = v->ppunkVal ? *v->ppunkVal : nullptr;
      break;
    default:
      return nullptr;
  }
  return com::QueryInterfacePtr<Iquenlin2>(unknown);
}

XmlElementPtr ReadBodyElement(Iquenlin2& message) {
  Bstr literal;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const HRESULT hr = message.GetBodyElemLiteral(literal.Receive(), &ok);
  if (!Succeeded(hr, ok)) return nullptr;
  xml::XmlParser parser;
  try {
    parser.ParseBstr(literal.Get(), nullptr);
  } catch (...) {
    return nullptr;
  }
  return parser.DetachRoot();
}

std::u16string_view EnvelopeNamespaceOf(Iquenlin2& message) {
  LONG version = 0;
  message.GetSOAPVersion(&version);
  return version == 11 ? xml::kSoap11EnvelopeNamespace : xml::kSoap12EnvelopeNamespace;
}

XmlElementPtr NewBodyElement(std::u16string_view envelopeNamespace) {
  return XmlElementPtr(
      xmldoc::CreateChildElement(nullptr, envelopeNamespace, kEnvelopePrefix, u"Body"));
}

XmlElement* AppendElement(XmlElement& parent, std::u16string_view ns, std::u16string_view prefix,
                          std::u16string_view localName) {
  return xmldoc::CreateChildElement(&parent, ns, prefix, localName);
}

XmlElement* AppendUndeclaredElement(XmlElement& parent, std::u16string_view ns,
                                    std::u16string_view prefix, std::u16string_view localName) {
  std::u16string qualified(prefix);
  qualified.append(u":").append(localName);
  return parent.AppendChild(std::make_unique<XmlElement>(std::move(qualified), std::u16string(ns),
                                                         std::u16string(localName)));
}

void WriteBody(Iquenlin2& message, const XmlElement& body) {
  Bstr text = Bstr::Adopt(xmldoc::ElementToBSTR(body, nullptr));
  Bstr style(u"");
  VARIANT_BOOL ok = VARIANT_FALSE;
  message.SetBodyElemLiteral(text.Get(), style.Get(), &ok);
}

size_t ReplaceNonXmlCharacters(std::u16string& text) {
  size_t replaced = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    bool bad = (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c == 0xFFFE || c == 0xFFFF;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        ++i;  // a pair
        continue;
      }
      bad = true;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      bad = true;
    }
    if (bad) {
      text[i] = 0xFFFD;
      ++replaced;
    }
  }
  return replaced;
}

void SetSoap12Fault(Iquenlin2& message, std::u16string_view code, std::u16string_view reason) {
  Bstr c(code), ns(xml::kSoap12EnvelopeNamespace), empty(u""), r(reason), lang(u"en");
  VARIANT_BOOL ok = VARIANT_FALSE;
  message.SetSOAP12Fault(c.Get(), ns.Get(), empty.Get(), empty.Get(), r.Get(), lang.Get(), &ok);
}

bool SetProcessingFault(Iquenlin2& message) {
  LONG version = 0;
  message.GetSOAPVersion(&version);
  if (version != 11) {
    // SetSOAPFault would leave a SOAP 1.2 fault without its reason.
    SetSoap12Fault(message, u"Sender", kProcessingFailed);
    return true;
  }
  Bstr code(u"Client"), ns(xml::kSoap11EnvelopeNamespace), text(kProcessingFailed);
  VARIANT_BOOL ok = VARIANT_FALSE;
  message.SetSOAPFault(code.Get(), ns.Get(), text.Get(), VARIANT_TRUE, &ok);
  return true;
}

}  // namespace testsvc
