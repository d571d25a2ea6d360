// The message parsers: RequestParser and ResponseParser run the XML parser
// over a message's envelope bytes with a stack of element handlers that check
// the envelope as it arrives and leave Accessor records behind: the header
// blocks, the RPC method wrapper with its parameters, the multi-reference
// elements and, on a response, the fault. Parse then stores the version, the
// header blocks and the literal body in the message. Every violation is a
// thrown QVSOAPFault (by pointer).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/dorvish.h"
#include "message/accessor.h"
#include "message/decode_context.h"
#include "message/records.h"
#include "xml/sax_dispatcher.h"
#include "xml/xml_parser.h"

namespace message {

class SoapMessage;


// The fault of a received response.
struct ParsedFault {
  std::u16string code, code_namespace;
  std::u16string subcode, subcode_namespace;
  std::u16string fault_string;  // SOAP 1.1 faultstring
  std::u16string actor;         // SOAP 1.1 faultactor / SOAP 1.2 Node
  std::u16string role;          // SOAP 1.2 Role
  std::map<std::u16string, std::u16string> reasons;
  AccessorPtr detail;
};

namespace internal {
struct ParseState;
}

class MessageParser : public DecodeContext {
 public:
  MessageParser();
  virtual ~MessageParser();
  MessageParser(const MessageParser&) = delete;
  MessageParser& operator=(const MessageParser&) = delete;

  // Parses the message's envelope bytes; a request also takes its RPC method
  // name. Decoding what was parsed is left to parsed_decoding.h. Throws QVSOAPFault*; the message's SOAP version is set whenever the
  // envelope was recognised.
  virtual void Parse(SoapMessage& message, Idorvish2* reader) = 0;

  // The accessor that `accessor`'s href (or ref) names: the ids under Body
  // first, then those under Header. Null when none (an empty reference never
  // resolves).
  const Accessor* ResolveHref(const Accessor& accessor) const override;

  // Results of the last parse (empty before one, and after a failed one).
  const Accessor* GetWrapper() const;
  const std::vector<AccessorPtr>& GetHeaderAccessors() const;
  const std::vector<AccessorPtr>& GetMultiRefs() const;
  const ParsedFault* GetFault() const;  // null unless the body held a fault
  // SOAP 1.2 responses: the qualified name in the RPC "result" element.
  bool GetResultName(std::u16string* ns, std::u16string* local_name) const;
  int GetParsedVersion() const;
  // The Envelope element of the last successful parse, with its Header and
  // Body but nothing under them; null when none.
  xml::XmlElement* GetEnvelopeElement() const;
  // Where the text of the header block at `index` in GetHeaderAccessors() is
  // written from; none past the end.
  ReceivedElement GetReceivedHeaderBlock(size_t index) const;
  // What the decoders of the last parse have built, against its limit; shared
  // by every decoder of the parse (header blocks, parameters, fault detail).
  DecodeBudget& Budget() const override;

  // Parses a wide XML text with no handler and hands its root to the caller.
  // Throws the parser's line number on a parse error.
  static xml::XmlElementPtr ParseXmlFragment(std::u16string_view text);

  // Hands the received Body to the message, to be written out when asked for.
  void StoreLiteralBody(SoapMessage& message);

 protected:
  // Runs the XML parser with the handler stack; faults as described above.
  void RunParse(SoapMessage& message, bool response);
  // The id a non-empty reference names: without a leading '#' on the request
  // side; without its first character on the SOAP 1.1 response side; a SOAP
  // 1.2 response's ref is an id as it stands.
  virtual std::u16string_view RefKey(const Accessor& accessor) const = 0;

  xml::XmlParser parser_;
  xml::SaxDispatcher dispatcher_;
  std::unique_ptr<internal::ParseState> state_;
};

class RequestParser final : public MessageParser {
 public:
  void Parse(SoapMessage& message, Idorvish2* reader) override;

 protected:
  std::u16string_view RefKey(const Accessor& accessor) const override;
};

class ResponseParser final : public MessageParser {
 public:
  void Parse(SoapMessage& message, Idorvish2* reader) override;

 protected:
  std::u16string_view RefKey(const Accessor& accessor) const override;

};

// Gives back the memory the parsers keep from ended parses for the next ones:
// an idle process need not hold it.
void ReleaseKeptParseMemory();

}  // namespace message
