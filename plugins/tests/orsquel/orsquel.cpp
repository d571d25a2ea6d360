#include "plugins/tests/orsquel/orsquel.h"

#include "platform/com/bstr.h"
#include "plugins/tests/body_service.h"
#include "xml/namespaces.h"

namespace testsvc {

namespace {

constexpr std::u16string_view kPostFailed =
    u"Failed to process SOAP request message (HTTP Method: POST).";
constexpr std::u16string_view kGetFailed = u"Failed to process request (HTTP Method: GET).";

bool SetSenderFault(Iquenlin2& message, std::u16string_view reason) {
  SetSoap12Fault(message, u"Sender", reason);
  return true;
}
bool SetReceiverFault(Iquenlin2& message, std::u16string_view reason) {
  SetSoap12Fault(message, u"Receiver", reason);
  return true;
}
bool SetDataEncodingUnknownFault(Iquenlin2& message, std::u16string_view reason) {
  SetSoap12Fault(message, u"DataEncodingUnknown", reason);
  return true;
}

// The path comes decoded from the request line: "%01" would put a character
// into the reason that no client could parse.
bool SetResourceFault(Iquenlin2& message, std::u16string_view path, std::u16string_view method) {
  std::u16string reason = u"Resource '";
  reason.append(path).append(u"' not available (HTTP Method: ").append(method).append(u").");
  ReplaceNonXmlCharacters(reason);
  return SetSenderFault(message, reason);
}

}  // namespace

bool FormatTimeOfDay(std::time_t time, xml::XmlElement& element) {
  std::tm parts{};
  if (!gmtime_r(&time, &parts)) return false;
  char buffer[64];
  const size_t n = std::strftime(buffer, sizeof buffer, "%H:%M:%SZ", &parts);
  if (n == 0) return false;
  element.AppendText(std::u16string(buffer, buffer + n));
  return true;
}

HRESULT Orsquel::OnProcessSoapPost(VARIANT SOAPMsgInterface, BSTR bstrSvcURI, BSTR bstrExtraPath,
                                   VARIANT_BOOL* pResult) {
  return RunEntryPoint(
      SOAPMsgInterface, pResult,
      [&](Iquenlin2& m) {
        svcUri_ = BstrView(bstrSvcURI);
        extraPath_ = BstrView(bstrExtraPath);
        return ProcessPostRequest(m);
      },
      [](Iquenlin2& m) { return SetReceiverFault(m, kPostFailed); });
}

HRESULT Orsquel::OnProcessSoapGet(VARIANT SOAPMsgInterface, BSTR bstrSvcURI, BSTR bstrExtraPath,
                                  BSTR bstrQueryString, VARIANT_BOOL* pResult) {
  return RunEntryPoint(
      SOAPMsgInterface, pResult,
      [&](Iquenlin2& m) {
        svcUri_ = BstrView(bstrSvcURI);
        extraPath_ = BstrView(bstrExtraPath);
        queryString_ = BstrView(bstrQueryString);
        return ProcessGetRequest(m);
      },
      [](Iquenlin2& m) { return SetReceiverFault(m, kGetFailed); });
}

bool Orsquel::ProcessPostRequest(Iquenlin2& message) {
  if (!extraPath_.empty()) return SetResourceFault(message, extraPath_, u"POST");
  XmlElementPtr request = ReadBodyElement(message);
  if (!request) return false;
  echoFound_ = senderFaultAsked_ = receiverFaultAsked_ = badEncoding_ = false;
  echoText_.clear();

  if (const XmlElement* echo = request->FindChild(u"echoOk", xml::kSoap12TestNamespace)) {
    echoFound_ = true;
    echoText_ = echo->GetText();
    std::u16string style;
    if (echo->GetAttributeValue(xml::kSoap12EnvelopeNamespace, u"encodingStyle", &style) &&
        !style.empty() && style != xml::kSoap12EncodingNoneNamespace &&
        style != xml::kSoap12EncodingNamespace) {
      badEncoding_ = true;
    }
  } else if (request->FindChild(u"echoSenderFault", xml::kInteropNamespace)) {
    senderFaultAsked_ = true;
  } else if (request->FindChild(u"echoReceiverFault", xml::kInteropNamespace)) {
    receiverFaultAsked_ = true;
  }
  request.reset();

  if (senderFaultAsked_) return SetSenderFault(message, u"This is a Sender fault.");
  if (receiverFaultAsked_) return SetReceiverFault(message, u"This is a Receiver fault.");
  if (badEncoding_) {
    return SetDataEncodingUnknownFault(message, u"Encountered unsupported SOAP encoding style.");
  }
  XmlElementPtr body = NewBodyElement(xml::kSoap12EnvelopeNamespace);
  if (echoFound_) {
    AppendElement(*body, xml::kSoap12TestNamespace, kAnswerPrefix, u"responseOk")
        ->SetText(echoText_);
  }
  WriteBody(message, *body);
  return true;
}

bool Orsquel::ProcessGetRequest(Iquenlin2& message) {
  if (extraPath_ != u"/getTime") return SetResourceFault(message, extraPath_, u"GET");
  XmlElementPtr body = NewBodyElement(xml::kSoap12EnvelopeNamespace);
  XmlElement* time = AppendElement(*body, xml::kInteropNamespace, kAnswerPrefix, u"time");
  FormatTimeOfDay(std::time(nullptr), *time);
  WriteBody(message, *body);
  return true;
}

}  // namespace testsvc
