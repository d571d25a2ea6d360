// QVSOAPFault: the exception for conditions that must end in a SOAP fault.
// It is always thrown as a pointer to a heap object (ThrowSOAPFault); the
// catcher records it in the message, reports it with ReportEventLog and
// deletes it. A fault never crosses an automation boundary.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/com/variant.h"

namespace xml {

// Fault code indexes.
inline constexpr int kFaultVersionMismatch = 0;
inline constexpr int kFaultMustUnderstand = 1;
inline constexpr int kFaultDataEncodingUnknown = 2;
inline constexpr int kFaultClient = 3;  // "Sender" in SOAP 1.2
inline constexpr int kFaultServer = 4;  // "Receiver" in SOAP 1.2

inline constexpr int kSoapVersion11 = 11;
inline constexpr int kSoapVersion12 = 12;

// The event source of the message library and the longest text it logs.
inline constexpr char kMessageHandlerEventSource[] = "Quorvel SOAP Message Handler";
inline constexpr size_t kMaxEventLogText = 127;

class QVSOAPFault {
 public:
  // Subcode and its namespace empty; no detail.
  QVSOAPFault(int code, std::u16string_view message, bool need_detail);
  // With a SOAP 1.2 subcode.
  QVSOAPFault(int code, std::u16string_view subcode, std::u16string_view subcode_namespace,
              std::u16string_view message, bool need_detail);
  virtual ~QVSOAPFault();  // clears the detail VARIANT
  QVSOAPFault(const QVSOAPFault&) = delete;
  QVSOAPFault& operator=(const QVSOAPFault&) = delete;

  int GetFaultCode() const { return code_; }
  const std::u16string& GetFaultString() const { return message_; }
  // When true the written fault carries a detail element.
  bool NeedsDetail() const { return need_detail_; }

  // The code's name for the SOAP version (11: SOAP 1.1, anything else SOAP
  // 1.2) into *name, left as it was for an index outside 0..4; *uri is always
  // set to that version's envelope namespace.
  void FaultCodeName(int soap_version, std::u16string* name, std::u16string* uri) const;

  void GetSubcode(std::u16string* subcode, std::u16string* subcode_namespace) const;
  void SetSubcode(std::u16string_view subcode, std::u16string_view subcode_namespace);

  // The detail element's name, namespace and content; empty unless set.
  const std::u16string& GetDetailName() const { return detail_name_; }
  const std::u16string& GetDetailNamespace() const { return detail_namespace_; }
  const VARIANT& GetDetail() const { return detail_; }
  // Copies `content` (VariantCopy); false and no change when the copy fails.
  bool SetDetail(std::u16string_view name, std::u16string_view uri, const VARIANT& content);

 private:
  int code_;
  std::u16string subcode_;
  std::u16string subcode_namespace_;
  std::u16string message_;
  bool need_detail_;
  std::u16string detail_name_;
  std::u16string detail_namespace_;
  VARIANT detail_;
};

// Allocates a fault (three-argument constructor) and throws the pointer.
[[noreturn]] void ThrowSOAPFault(int code, std::u16string_view message, bool need_detail);

// Writes the fault string, cut to kMaxEventLogText bytes of UTF-8 on a
// character boundary, to the event log as an information entry under
// kMessageHandlerEventSource. Fails silently. The text is data, never a format.
void ReportEventLog(const QVSOAPFault& fault);

}  // namespace xml
