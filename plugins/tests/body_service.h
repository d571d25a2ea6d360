// What the test services share: the entry point's shape, reading the request
// body as an element tree, building and writing the answer body, and the
// faults. A service answers every request with S_OK and a true result once it
// holds the message; failures reach the client only as SOAP faults.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "interfaces/quenlin.h"
#include "platform/base/base.h"
#include "xml/xml_element.h"

namespace testsvc {

using xml::XmlElement;
using xml::XmlElementPtr;

inline constexpr std::u16string_view kBodyElementName = u"SOAP-ENV:Body";
inline constexpr std::u16string_view kEnvelopePrefix = u"SOAP-ENV";
inline constexpr std::u16string_view kAnswerPrefix = u"iop";
inline constexpr std::u16string_view kProcessingFailed = u"Message processing failed.";

// An Iquenlin2 call succeeded: S_OK and, where it has one, a result not zero.
inline bool Succeeded(HRESULT hr, VARIANT_BOOL result = VARIANT_TRUE) {
  return hr == S_OK && result != VARIANT_FALSE;
}

// The message interface held by an entry point's argument: VT_DISPATCH or
// VT_UNKNOWN with a pointer, also by reference; null for anything else.
ComPtr<Iquenlin2> MessageOf(const VARIANT& argument);

// The entry point: the result is true whatever happens; E_FAIL when the
// argument holds no message. `work` answers false for a failure that
// `fault` then writes into the message.
template <typename Work, typename Fault>
HRESULT RunEntryPoint(const VARIANT& argument, VARIANT_BOOL* pResult, Work&& work, Fault&& fault) {
  if (pResult) *pResult = VARIANT_TRUE;
  const ComPtr<Iquenlin2> message = MessageOf(argument);
  if (!message) return E_FAIL;
  bool done = false;
  try {
    done = work(*message.Get());
  } catch (...) {  // nothing may cross the interface; out of memory is a failure
    done = false;
  }
  if (!done) {
    try {
      fault(*message.Get());
    } catch (...) {
    }
  }
  return S_OK;
}

// The request's Body element with its entries, parsed from the body literal;
// null when there is none or it does not parse.
XmlElementPtr ReadBodyElement(Iquenlin2& message);

// The envelope namespace of the message's version: SOAP 1.1 for 11, else 1.2.
std::u16string_view EnvelopeNamespaceOf(Iquenlin2& message);

// A new "SOAP-ENV:Body" declaring its prefix for `envelopeNamespace`.
XmlElementPtr NewBodyElement(std::u16string_view envelopeNamespace);

// Appends prefix:localName in `ns` to `parent`, the prefix declared on the
// new element itself.
XmlElement* AppendElement(XmlElement& parent, std::u16string_view ns, std::u16string_view prefix,
                          std::u16string_view localName);
// The same, for a prefix that `parent` already declares.
XmlElement* AppendUndeclaredElement(XmlElement& parent, std::u16string_view ns,
                                    std::u16string_view prefix, std::u16string_view localName);

// Writes `body` as the message's body with an empty encoding style.
void WriteBody(Iquenlin2& message, const XmlElement& body);

// Replaces each character XML 1.0 cannot carry (C0 controls but TAB, LF and
// CR; U+FFFE, U+FFFF; unpaired surrogates) with U+FFFD; returns how many.
size_t ReplaceNonXmlCharacters(std::u16string& text);

// A SOAP 1.2 fault with an empty subcode, the reason in "en".
void SetSoap12Fault(Iquenlin2& message, std::u16string_view code, std::u16string_view reason);

// "Message processing failed.": code "Client" for SOAP 1.1, else "Sender"
// with its reason as a SOAP 1.2 reason text. Always true.
bool SetProcessingFault(Iquenlin2& message);

}  // namespace testsvc
