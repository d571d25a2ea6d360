#include "plugins/tests/pellasco/pellasco2.h"

#include "plugins/tests/body_service.h"
#include "xml/namespaces.h"

namespace testsvc {

HRESULT Pellasco2::OnProcessBody(VARIANT SOAPMsgInterface, VARIANT_BOOL* pResult) {
  return RunEntryPoint(
      SOAPMsgInterface, pResult, [this](Iquenlin2& m) { return ProcessDocumentBody(m); },
      SetProcessingFault);
}

bool Pellasco2::ProcessDocumentBody(Iquenlin2& message) {
  complexDocument_.reset();
  XmlElementPtr request = ReadBodyElement(message);
  if (!request) return false;
  singleTagFound_ = simpleDocumentFound_ = complexDocumentFound_ = false;

  constexpr std::u16string_view ns = xml::kInteropNamespace;
  if (const XmlElement* outer = request->FindChild(u"SingleTag", ns)) {
    singleTagFound_ = true;
    if (const XmlElement* inner = outer->FindChild(u"SingleTag", ns)) {
      singleTagText_ = inner->GetText();
    }
  } else if (const XmlElement* outer = request->FindChild(u"SimpleDocument", ns)) {
    simpleDocumentFound_ = true;
    if (const XmlElement* inner = outer->FindChild(u"SimpleDocument", ns)) {
      simpleDocumentText_ = inner->GetText();
    }
  } else if (const XmlElement* outer = request->FindChild(u"ComplexDocument", ns)) {
    complexDocumentFound_ = true;
    if (const XmlElement* inner = outer->FindChild(u"ComplexDocument", ns)) {
      complexDocument_ = XmlElement::DeepCopy(*inner);
    }
  }
  request.reset();

  XmlElementPtr body = NewBodyElement(EnvelopeNamespaceOf(message));
  if (singleTagFound_) {
    XmlElement* answer = AppendElement(*body, ns, kAnswerPrefix, u"SingleTagResponse");
    XmlElement* tag = AppendUndeclaredElement(*answer, ns, kAnswerPrefix, u"SingleTag");
    tag->SetText(singleTagText_);
  } else if (simpleDocumentFound_) {
    XmlElement* answer = AppendElement(*body, ns, kAnswerPrefix, u"SimpleDocumentResponse");
    XmlElement* document = AppendUndeclaredElement(*answer, ns, kAnswerPrefix, u"SimpleDocument");
    document->SetText(simpleDocumentText_);
  } else if (complexDocumentFound_) {
    XmlElement* answer = AppendElement(*body, ns, kAnswerPrefix, u"ComplexDocumentResponse");
    if (complexDocument_) answer->AppendChild(std::move(complexDocument_));
  }
  WriteBody(message, *body);
  return true;
}

}  // namespace testsvc
