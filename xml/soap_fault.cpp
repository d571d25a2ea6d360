#include "xml/soap_fault.h"

#include "platform/service/eventlog.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"

namespace xml {

namespace {

constexpr std::u16string_view kFaultNames[][2] = {
    {u"VersionMismatch", u"VersionMismatch"},
    {u"MustUnderstand", u"MustUnderstand"},
    {u"DataEncodingUnknown", u"DataEncodingUnknown"},
    {u"Client", u"Sender"},
    {u"Server", u"Receiver"},
};

}  // namespace

QVSOAPFault::QVSOAPFault(int code, std::u16string_view message, bool need_detail)
    : QVSOAPFault(code, {}, {}, message, need_detail) {}

QVSOAPFault::QVSOAPFault(int code, std::u16string_view subcode,
                         std::u16string_view subcode_namespace, std::u16string_view message,
                         bool need_detail)
    : code_(code),
      subcode_(subcode),
      subcode_namespace_(subcode_namespace),
      message_(message),
      need_detail_(need_detail) {
  VariantInit(&detail_);
}

QVSOAPFault::~QVSOAPFault() { VariantClear(&detail_); }

void QVSOAPFault::FaultCodeName(int soap_version, std::u16string* name,
                                std::u16string* uri) const {
  const bool soap11 = soap_version == kSoapVersion11;
  if (code_ >= 0 && code_ < int(std::size(kFaultNames))) *name = kFaultNames[code_][soap11 ? 0 : 1];
  *uri = soap11 ? kSoap11EnvelopeNamespace : kSoap12EnvelopeNamespace;
}

void QVSOAPFault::GetSubcode(std::u16string* subcode, std::u16string* subcode_namespace) const {
  *subcode = subcode_;
  *subcode_namespace = subcode_namespace_;
}

void QVSOAPFault::SetSubcode(std::u16string_view subcode, std::u16string_view subcode_namespace) {
  subcode_ = subcode;
  subcode_namespace_ = subcode_namespace;
}

bool QVSOAPFault::SetDetail(std::u16string_view name, std::u16string_view uri,
                            const VARIANT& content) {
  VARIANT copy;
  VariantInit(&copy);
  if (FAILED(VariantCopy(&copy, &content))) return false;
  VariantClear(&detail_);
  detail_ = copy;  // ownership moves with the bits
  detail_name_ = name;
  detail_namespace_ = uri;
  return true;
}

void ThrowSOAPFault(int code, std::u16string_view message, bool need_detail) {
  throw new QVSOAPFault(code, message, need_detail);
}

void ReportEventLog(const QVSOAPFault& fault) {
  std::string text = text::Narrow(fault.GetFaultString());
  text::TruncateUtf8(text, kMaxEventLogText);
  HANDLE source = RegisterEventSourceA(nullptr, kMessageHandlerEventSource);
  if (!source) return;
  const char* strings[] = {text.c_str()};
  ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace xml
