// What a parse leaves for the value decoder: header blocks, and a received
// fault with its detail. Run after MessageParser::Parse and before the literal
// body is stored; both throw QVSOAPFault*.
#pragma once

#include "interfaces/dorvish.h"
#include "message/message_parser.h"

namespace message {

class SoapMessage;

// Header blocks into the message: decoded when encoded and typed by the WSDL,
// else as literal XML. A request also gains the next role.
void DecodeHeaderBlocks(const MessageParser& parser, SoapMessage& message, Idorvish2* reader,
                        bool response);
// A response's fault, if it held one, and the details the WSDL types.
void StoreParsedFault(const MessageParser& parser, SoapMessage& message, Idorvish2* reader);

}  // namespace message
