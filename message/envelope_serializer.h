// The envelope serializer: writes a SoapMessage as a SOAP 1.1 or 1.2 envelope
// (header blocks; an RPC call or response, a literal body or a fault), each
// value SOAP-encoded or literal as the WSDL reader describes it, and stores
// the UTF-8 document as the message's envelope bytes.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/variant.h"

namespace message {

class SoapMessage;

// Deepest nesting of structs and arrays a value may have to be written: each
// level costs the writer stack, so the bound holds on an 8 MiB stack even in
// instrumented builds. A deeper value, or a struct that contains itself, is
// a Server fault.
inline constexpr int kMaxSerializeDepth = 512;

// Writes the fault envelope when the message holds a fault to be written,
// the message envelope otherwise. False, and the envelope bytes emptied, when
// no envelope could be built. A fault raised by a value writer, or for a
// literal header block or body that is not an element (thrown QVSOAPFault*),
// propagates; SoapMessage::Serialize records it.
bool SerializeMessage(SoapMessage& message);
// The fault envelope alone, whatever the flags say.
bool SerializeFaultMessage(SoapMessage& message);

}  // namespace message
