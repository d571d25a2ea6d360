#include "plugins/tests/nimbrel/nimbrel.h"

#include <memory>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/text/text.h"
#include "plugins/tests/body_service.h"
#include "xml/namespaces.h"
#include "xmldoc/xml_document.h"
#include "xmldoc/xml_nodes.h"

namespace testsvc {

namespace {

using xml::kSoap12EnvelopeNamespace;
using xml::kSoap12TestNamespace;

constexpr std::u16string_view kEchoOk = u"echoOk";
constexpr std::u16string_view kConcat = u"concatAndForwardEchoOk";
constexpr std::u16string_view kArg1 = u"concatAndForwardEchoOkArg1";
constexpr std::u16string_view kArg2 = u"concatAndForwardEchoOkArg2";
constexpr std::u16string_view kResponseOk = u"responseOk";

enum class Block {
  CallFailed,  // the message object's call failed
  Absent,
  Unloadable,  // present, but its text does not parse
  Loaded,
};

// The header block `localName` of the test namespace, loaded into `doc`.
Block ReadBlock(Iquenlin2& message, std::u16string_view localName, xmldoc::XmlDocument& doc) {
  Bstr ns(kSoap12TestNamespace), name(localName), literal;
  VARIANT_BOOL present = VARIANT_FALSE;
  if (FAILED(message.GetHeaderElemLiteral(ns.Get(), name.Get(), literal.Receive(), &present))) {
    return Block::CallFailed;
  }
  if (present != VARIANT_TRUE) return Block::Absent;
  return doc.LoadFromText(literal.View()) ? Block::Loaded : Block::Unloadable;
}

// A block addressed to role none is never taken, whatever else it says.
bool Accepted(const xmldoc::XmlDocument& doc) {
  std::u16string role;
  return !doc.GetRoot()->GetAttributeValue(kSoap12EnvelopeNamespace, u"role", &role) ||
         role != xml::kSoap12NoneRole;
}

// Reads block `localName` into `text` and sets `kept` when it is accepted;
// false when the call or the load failed.
bool ReadKeptText(Iquenlin2& message, std::u16string_view localName, std::u16string& text,
                  bool& kept) {
  xmldoc::XmlDocument doc;
  switch (ReadBlock(message, localName, doc)) {
    case Block::CallFailed:
    case Block::Unloadable:
      return false;
    case Block::Absent:
      return true;
    case Block::Loaded:
      break;
  }
  if (Accepted(doc)) {
    text = doc.GetRoot()->GetText();
    kept = true;
  }
  return true;
}

// "test:<localName>" with the test and SOAP 1.2 envelope prefixes declared
// and `text`, in compact form; null when out of memory.
Bstr TestBlockText(std::u16string_view localName, std::u16string text) {
  std::u16string qualified = u"test:";
  qualified.append(localName);
  xml::XmlElement block(std::move(qualified), std::u16string(kSoap12TestNamespace),
                        std::u16string(localName));
  block.AddNamespace(u"test", kSoap12TestNamespace);
  block.AddNamespace(u"SOAP-ENV", kSoap12EnvelopeNamespace);
  block.SetText(std::move(text));
  return Bstr::Adopt(xmldoc::ElementToBSTR(block, nullptr));
}

bool AddTestBlock(Iquenlin2& message, std::u16string_view localName, const Bstr& literal,
                  VARIANT_BOOL mustUnderstand, std::u16string_view role) {
  if (!literal.Get()) return false;
  Bstr ns(kSoap12TestNamespace), name(localName), actor(role), style(u"");
  VARIANT_BOOL added = VARIANT_FALSE;
  const HRESULT hr = message.AddHeaderElemLiteral(ns.Get(), name.Get(), literal.Get(),
                                                  mustUnderstand, actor.Get(), style.Get(), &added);
  return SUCCEEDED(hr) && added == VARIANT_TRUE;
}

}  // namespace

bool IsNil(const xml::XmlElement& element) {
  static constexpr std::pair<std::u16string_view, std::u16string_view> kNilAttributes[] = {
      {xml::kXmlSchemaInstanceNamespace, u"nil"},
      {xml::kXmlSchemaInstance1999Namespace, u"null"},
      {xml::kXmlSchemaInstance2000Namespace, u"nil"},
  };
  for (const auto& [ns, name] : kNilAttributes) {
    std::u16string value;
    if (element.GetAttributeValue(ns, name, &value)) return value == u"true" || value == u"1";
  }
  return false;
}

HRESULT Nimbrel::OnTestMUHeaderBlock(BSTR bstrNamespace, BSTR bstrLocalName,
                                     VARIANT_BOOL* pResult) {
  if (!pResult) return E_POINTER;
  const std::u16string_view name = BstrView(bstrLocalName);
  const bool understood = BstrView(bstrNamespace) == kSoap12TestNamespace &&
                          (name == kEchoOk || name == kConcat || name == kArg1 || name == kArg2);
  *pResult = understood ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT Nimbrel::OnProcessHeader(VARIANT SOAPMsgInterface, VARIANT_BOOL* pResult) {
  failed_ = false;
  if (pResult) *pResult = VARIANT_TRUE;
  // The argument's type is checked: anything but a message interface would
  // otherwise be dereferenced.
  const ComPtr<Iquenlin2> message = MessageOf(SOAPMsgInterface);
  if (!message) return E_FAIL;
  bool done = false;
  try {
    VARIANT_BOOL request = VARIANT_FALSE;
    message->IsRequestPhase(&request);
    done =
        request == VARIANT_TRUE ? ProcessRequest(*message.Get()) : ProcessResponse(*message.Get());
  } catch (...) {  // nothing may cross the interface; out of memory is a failure
    done = false;
  }
  if (!done) failed_ = true;
  if (failed_ && pResult) *pResult = VARIANT_FALSE;
  return S_OK;
}

bool Nimbrel::ProcessRequest(Iquenlin2& message) {
  echoKept_ = arg1Kept_ = arg2Kept_ = false;
  if (!ReadKeptText(message, kEchoOk, echoText_, echoKept_)) return false;
  xmldoc::XmlDocument concat;
  switch (ReadBlock(message, kConcat, concat)) {
    case Block::CallFailed:
    case Block::Unloadable:
      return false;
    case Block::Absent:
      RewriteEchoString(message);
      return true;
    case Block::Loaded:
      break;
  }
  if (Accepted(concat)) {
    CollectArguments(message);
    if (arg1Kept_ && arg2Kept_) {
      const Bstr literal = TestBlockText(kEchoOk, arg1Text_ + arg2Text_);
      if (!AddTestBlock(message, kEchoOk, literal, VARIANT_TRUE, xml::kSoap12TestRoleC)) {
        return false;
      }
    }
  }
  RewriteEchoString(message);
  return true;
}

bool Nimbrel::CollectArguments(Iquenlin2& message) {
  return ReadKeptText(message, kArg1, arg1Text_, arg1Kept_) &&
         ReadKeptText(message, kArg2, arg2Text_, arg2Kept_);
}

bool Nimbrel::ProcessResponse(Iquenlin2& message) {
  if (!echoKept_) return true;
  return AddTestBlock(message, kResponseOk, TestBlockText(kResponseOk, echoText_), VARIANT_FALSE,
                      u"");
}

void Nimbrel::RewriteEchoString(Iquenlin2& message) {
  try {
    RewriteBody(message);
  } catch (...) {  // out of memory: the body stays as it was
  }
}

void Nimbrel::RewriteBody(Iquenlin2& message) {
  Bstr literal;
  VARIANT_BOOL read = VARIANT_FALSE;
  if (FAILED(message.GetBodyElemLiteral(literal.Receive(), &read)) || read != VARIANT_TRUE) return;
  xmldoc::XmlDocument doc;
  if (!doc.LoadFromText(literal.View())) return;
  const xmldoc::QueryNamespaces prefixes = {{u"n1", std::u16string(xml::kInteropNamespace)}};
  if (!doc.Query(u"/n1:echoString", prefixes)) return;
  const xml::XmlElement* echo = doc.NextNode();
  bool nil = false;
  std::u16string value;
  if (doc.QueryFrom(*echo, u"n1:inputString", prefixes)) {
    const xml::XmlElement* input = doc.NextNode();
    nil = IsNil(*input);
    if (!nil) value = input->GetText();
  }
  for (char16_t& c : value) c = text::AsciiToUpper(c);

  // The body element keeps its names, declarations and attributes; all it
  // held goes.
  xml::XmlElement& body = *doc.GetRoot();
  body.GetChildList().clear();
  body.SetText(std::u16string());
  xml::XmlElement* echoOut =
      xmldoc::CreateChildElement(&body, xml::kInteropNamespace, u"", u"echoString");
  xml::XmlElement* input = echoOut->AppendChild(std::make_unique<xml::XmlElement>(
      u"inputString", std::u16string(xml::kInteropNamespace), u"inputString"));
  if (nil) {
    input->AddAttributeNode(u"xsi:nil", xml::kXmlSchemaInstanceNamespace, u"true");
  } else {
    input->SetText(std::move(value));
  }
  Bstr text;
  if (!xmldoc::SerializeDocumentToBstr(doc.GetRoot(), /*indented=*/false, text.Receive())) return;
  Bstr style(u"");
  VARIANT_BOOL written = VARIANT_FALSE;
  message.SetBodyElemLiteral(text.Get(), style.Get(), &written);
}

}  // namespace testsvc
