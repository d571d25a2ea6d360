// RPC decoding: the body of a parsed RPC message into the message's records,
// typed by the WSDL reader. The request decoders turn the method wrapper's
// children into parameters and prepare the output-only parameters the
// service is to fill; the response decoders set the return value and the
// output parameters. Every failure is a QVSOAPFault thrown by pointer.
#pragma once

#include <string_view>

#include "interfaces/dorvish.h"
#include "platform/com/variant.h"

namespace message {

class MessageParser;
class SoapMessage;

void DecodeRpcRequestEncoded(const MessageParser& parser, SoapMessage& message, Idorvish2* reader);
void DecodeRpcRequestLiteral(const MessageParser& parser, SoapMessage& message, Idorvish2* reader);
void DecodeRpcResponseEncoded(const MessageParser& parser, SoapMessage& message, Idorvish2* reader);
void DecodeRpcResponseLiteral(const MessageParser& parser, SoapMessage& message, Idorvish2* reader);
void DecodeRpcGetRequest(const MessageParser& parser, SoapMessage& message, Idorvish2* reader);

// Whether the operation's input message has a part of that name.
bool HasInputPart(Idorvish2* reader, std::u16string_view method, std::u16string_view part);

// An unfilled value of the kind the type names: automation scalars for the
// built-in types (VT_NULL for anyType, VT_DATE 0 for dates and times, an
// empty byte array for binary, VT_BOOL false, "" for anyURI), a null
// VT_ARRAY|VT_VARIANT for arrays and a null VT_DISPATCH for structs. Never a
// value that VariantCopy or VariantClear refuse.
void EmptyValueOfKind(Idorvish2* reader, std::u16string_view type, std::u16string_view type_ns,
                      bool literal, VARIANT* out);

}  // namespace message
