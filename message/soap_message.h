// SoapMessage: one SOAP 1.1 or 1.2 message as it passes through one node.
// It holds the envelope bytes, the header blocks (encoded and literal), the
// body parameters or literal body, the return value, the fault with its SOAP
// 1.2 reason texts, fault header blocks and detail elements, the request and
// response attachments, the node's roles and the binding facts it was
// initialised with. The parsers fill it; the store operations here are what
// every other layer uses. One thread at a time; nothing is locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "dime/payload.h"
#include "interfaces/dorvish.h"
#include "message/message_parser.h"
#include "message/records.h"
#include "platform/com/variant.h"
#include "xml/soap_fault.h"
#include "xml/namespaces.h"
#include "xml/xml_element.h"

namespace message {

// Role URIs the targeting rules compare against.
using xml::kSoap11NextActor;
using xml::kSoap12NextRole;
using xml::kSoap12NoneRole;
inline constexpr std::u16string_view kSoap12UltimateReceiverRole =
    u"http://www.w3.org/2003/05/soap-envelope/role/ultimateReceiver";

// Longest DIME ID, TYPE or OPTIONS field: their lengths travel in 16 bits.
inline constexpr size_t kMaxDimeFieldLength = 0xFFFF;

// The envelope bytes and the element tree of the message.
class MessageBuffer {
 public:
  MessageBuffer() = default;
  virtual ~MessageBuffer();
  MessageBuffer(const MessageBuffer&) = delete;
  MessageBuffer& operator=(const MessageBuffer&) = delete;

  // Frees the previous block and takes ownership of `bytes` (from malloc); a
  // null pointer with length 0 empties the buffer.
  void SetEnvelopeBytes(char* bytes, uint32_t length);
  const char* EnvelopeBytes() const { return envelope_; }
  uint32_t EnvelopeLength() const { return envelope_length_; }

  xml::XmlElement* RootElement() const { return root_.get(); }
  void SetRootElement(xml::XmlElementPtr&& root) { root_ = std::move(root); }

 private:
  char* envelope_ = nullptr;
  uint32_t envelope_length_ = 0;
  xml::XmlElementPtr root_;
};

template <typename T>
using RecordList = std::vector<std::unique_ptr<T>>;

// Walks a record list by index, as the interface's First/Next methods do.
// First fails on an empty list; Next moves to position + 1 (compared as
// unsigned 32-bit, so -1 gives element 0 and other negatives fail) and leaves
// the position unchanged when there is no such element.
template <typename T>
bool FirstRecord(const RecordList<T>& list, T** record, int32_t* position) {
  if (list.empty()) return false;
  *record = list[0].get();
  *position = 0;
  return true;
}
template <typename T>
bool NextRecord(const RecordList<T>& list, T** record, int32_t* position) {
  const uint32_t next = static_cast<uint32_t>(*position) + 1u;
  if (next >= static_cast<uint32_t>(list.size())) return false;
  *record = list[next].get();
  *position = static_cast<int32_t>(next);
  return true;
}

class SoapMessage : public MessageBuffer {
 public:
  SoapMessage();
  ~SoapMessage() override;

  // Each thread keeps the block of the last message it freed for the next one
  // it makes: a block this large is past the allocator's per-thread caches,
  // and taking one from its bins first sweeps every small chunk freed since,
  // on every message.
  static void* operator new(size_t bytes);
  static void* operator new(size_t bytes, const std::nothrow_t&) noexcept;
  static void operator delete(void* block, size_t bytes) noexcept;
  static void operator delete(void* block, const std::nothrow_t&) noexcept;

  // ---- binding facts and phase ---------------------------------------------

  // Queries `dispatch` for Idorvish2 and keeps it with the endpoint facts;
  // sets the request phase. False (nothing stored) for a null or foreign
  // object.
  bool Initialize(std::u16string_view service_name, std::u16string_view port_name,
                  std::u16string_view node_uri, std::u16string_view soap_action,
                  std::u16string_view next_hop_url, bool explicit_typing, bool node_type,
                  IDispatch* dispatch);

  // Parses the envelope bytes with the phase's parser, then checks that the
  // WSDL port has a SOAP binding of the message's version. A fault is
  // recorded in the message (and reported to the event log); false then.
  bool Deserialize();

  // Writes the envelope into the envelope bytes: the fault envelope when the
  // message holds a fault to be written, the message envelope otherwise. A
  // fault raised while writing is recorded and its fault envelope written;
  // false then, and false with no bytes when nothing could be written.
  bool Serialize();
  // Matches the request to its WSDL operation (method namespace, SOAPAction)
  // and decodes its parameters, or in the response phase decodes the return
  // value and the outputs. A raised fault is recorded; false then.
  bool ProcessRPC();
  // An RPC call that arrived as an HTTP GET: "/operation/rest" in
  // `extra_path`. Faults are recorded in the SOAP 1.2 form.
  bool ProcessRPCGet(std::u16string_view service_uri, std::u16string_view extra_path,
                     std::u16string_view query_string);
  // Removes the targeted optional blocks that were received; the first
  // targeted mustUnderstand block still there is a MustUnderstand fault.
  bool CheckMustUnderstand();
  bool IsRPCStyle() const;
  // "http://host[:port]path" of the WSDL port; empty when the reader has none.
  std::u16string GetPortAddress() const;

  int GetSoapVersion() const { return soap_version_; }
  void SetSoapVersion(int version) { soap_version_ = version; }
  bool IsRequestPhase() const { return request_phase_; }
  void SetRequestPhase(bool request) { request_phase_ = request; }
  bool IsIntermediary() const { return !next_hop_url_.empty(); }
  Idorvish2* GetWsdlReader() const { return wsdl_reader_.Get(); }

  const std::u16string& GetMethodNamespace() const { return method_namespace_; }
  void SetMethodNamespace(std::u16string_view ns) { method_namespace_ = ns; }
  const std::u16string& GetMethodName() const { return method_name_; }
  void SetMethodName(std::u16string_view name) { method_name_ = name; }
  const std::u16string& GetSoapAction() const { return soap_action_; }
  void SetSoapAction(std::u16string_view action) { soap_action_ = action; }
  const std::u16string& GetNodeUri() const { return node_uri_; }
  void SetNodeUri(std::u16string_view uri) { node_uri_ = uri; }
  const std::u16string& GetNextHopUrl() const { return next_hop_url_; }
  void SetNextHopUrl(std::u16string_view url) { next_hop_url_ = url; }
  const std::u16string& GetServiceName() const { return service_name_; }
  const std::u16string& GetPortName() const { return port_name_; }
  bool IsExplicitTyping() const { return explicit_typing_; }
  bool IsNodeTypeEnabled() const { return node_type_; }
  bool IsNoContent() const { return no_content_; }
  void SetNoContent(bool value) { no_content_ = value; }

  const VARIANT& GetReturnValue() const { return return_value_; }
  HRESULT SetReturnValue(const VARIANT& value) { return VariantCopy(&return_value_, &value); }
  const std::u16string& GetReturnValueName() const { return return_value_name_; }
  void SetReturnValueName(std::u16string_view name) { return_value_name_ = name; }

  // ---- header blocks ---------------------------------------------------------

  bool AddHeaderBlock(std::u16string_view ns, std::u16string_view name, const VARIANT& content,
                      bool must_understand, std::u16string_view role, bool relay, bool received);
  bool AddLiteralHeaderBlock(std::u16string_view ns, std::u16string_view name,
                             std::u16string_view literal_xml, bool must_understand,
                             std::u16string_view role, bool relay,
                             std::u16string_view encoding_style, bool received);
  // A received block whose text is written from its markup when asked for,
  // or before `parser` parses again.
  bool AddParsedLiteralHeaderBlock(const MessageParser& parser, const ReceivedElement& element,
                                   std::u16string_view ns, std::u16string_view name,
                                   bool must_understand, std::u16string_view role, bool relay,
                                   std::u16string_view encoding_style);
  bool AddFaultHeaderBlock(std::u16string_view ns, std::u16string_view name, const VARIANT& content,
                           bool must_understand, std::u16string_view role, bool relay);
  bool AddLiteralFaultHeaderBlock(std::u16string_view ns, std::u16string_view name,
                                  std::u16string_view literal_xml, bool must_understand,
                                  std::u16string_view role, bool relay,
                                  std::u16string_view encoding_style);

  // True when a block with this role is addressed to this node: its role is
  // one of the node's roles, or the node is no intermediary and it has none.
  bool IsTargeted(std::u16string_view role) const;

  // The first block of that name that is targeted (or, for the encoded form,
  // whose role is the SOAP 1.2 none role): its content is copied out and the
  // block is removed, except that a none-role block of a SOAP 1.2 message
  // stays. False (nothing written) when none matched.
  bool TakeHeaderBlock(std::u16string_view ns, std::u16string_view name, VARIANT* content);
  bool TakeLiteralHeaderBlock(std::u16string_view ns, std::u16string_view name,
                              std::u16string* literal_xml);
  // Targeted mustUnderstand blocks, encoded ones first; nothing is removed.
  void CollectMustUnderstandBlocks(std::vector<std::u16string>* namespaces,
                                   std::vector<std::u16string>* names) const;
  void ClearHeaderBlocks();

  const RecordList<HeaderBlock>& HeaderBlocks() const { return header_blocks_; }
  RecordList<HeaderBlock>& HeaderBlocks() { return header_blocks_; }
  const RecordList<LiteralHeaderBlock>& LiteralHeaderBlocks() const {
    return literal_header_blocks_;
  }
  RecordList<LiteralHeaderBlock>& LiteralHeaderBlocks() { return literal_header_blocks_; }
  const RecordList<HeaderBlock>& FaultHeaderBlocks() const { return fault_header_blocks_; }
  const RecordList<LiteralHeaderBlock>& LiteralFaultHeaderBlocks() const {
    return literal_fault_header_blocks_;
  }

  // ---- body ------------------------------------------------------------------

  bool AddMethodParam(std::u16string_view ns, std::u16string_view name, const VARIANT& content,
                      bool is_in, bool is_out);
  const RecordList<MethodParam>& MethodParams() const { return params_; }
  // Deletes every parameter and the literal body.
  void ClearMethodParams();

  // Replaces the literal body; false only when it cannot be allocated (the
  // old one is gone then).
  bool SetLiteralBody(std::u16string_view literal_xml, std::u16string_view encoding_style);
  // False (nothing written) when there is none.
  bool GetLiteralBody(std::u16string* literal_xml) const;
  const LiteralBody* GetLiteralBodyRecord() const;
  // The literal body of a parse: `body` (in `parser`'s source) is written as
  // text only when the body is asked for, or before `parser` parses again.
  bool SetParsedLiteralBody(const MessageParser& parser, const ReceivedElement& body,
                            std::u16string_view encoding_style);
  // Writes out every text still only in `parser`'s source (body and header
  // blocks): called before it parses again.
  void SettleLiteralBody(const MessageParser& parser);

  // ---- fault -------------------------------------------------------------------

  // A SOAP 1.1 fault: subcode emptied, reason texts kept.
  bool SetFault(std::u16string_view code, std::u16string_view code_ns,
                std::u16string_view fault_string, std::u16string_view node, bool need_detail);
  // A SOAP 1.2 fault: reason texts replaced, fault string kept.
  bool SetFault12(std::u16string_view code, std::u16string_view code_ns,
                  std::u16string_view subcode, std::u16string_view subcode_ns,
                  const std::map<std::u16string, std::u16string>& reasons, std::u16string_view node,
                  bool need_detail);
  // Records a raised fault the way every operation of the message does: named
  // for the message's version, as a SOAP 1.1 or 1.2 fault with the reason
  // under "en"; then reports it to the event log. Does not delete it.
  void CaptureFault(const xml::QVSOAPFault& fault);
  // The SOAP 1.2 form of the capture whatever the version (HTTP GET calls).
  void CaptureFault12(const xml::QVSOAPFault& fault);
  void ClearFault();

  bool IsFault() const { return is_fault_; }
  bool NeedsDetail() const { return need_detail_; }
  bool WritesFaultBody() const { return write_fault_body_; }
  void SetWriteFaultBody(bool value) { write_fault_body_ = value; }
  const std::u16string& GetFaultCode() const { return fault_code_; }
  const std::u16string& GetFaultCodeNamespace() const { return fault_code_ns_; }
  const std::u16string& GetFaultSubcode() const { return fault_subcode_; }
  const std::u16string& GetFaultSubcodeNamespace() const { return fault_subcode_ns_; }
  const std::u16string& GetFaultString() const { return fault_string_; }
  const std::u16string& GetFaultNode() const { return fault_node_; }

  void SetReason(std::u16string_view language, std::u16string_view text);
  const std::map<std::u16string, std::u16string>& Reasons() const { return reasons_; }
  // The reason text of a language; false (nothing written) when none.
  bool GetReason(std::u16string_view language, std::u16string* text) const;
  // Walk over the reason texts in language order, with the First/Next rule
  // of the record lists.
  bool FirstReason(std::u16string* language, std::u16string* text, int32_t* position) const;
  bool NextReason(std::u16string* language, std::u16string* text, int32_t* position) const;

  bool AddFaultDetail(std::u16string_view ns, std::u16string_view name, const VARIANT& content);
  // The first detail element of that name; false (nothing written) when none.
  bool FindFaultDetail(std::u16string_view ns, std::u16string_view name, VARIANT* content) const;
  const RecordList<MessageElement>& FaultDetails() const { return fault_details_; }
  void ClearFaultHeaderBlocks();
  void ClearFaultDetails();

  // ---- attachments -----------------------------------------------------------

  // Stores a DIME attachment whose bytes are in `storage` (queried for
  // IStorage). `options` is a DIME OPTIONS field; null or zero bytes mean
  // none. False, with nothing stored, when the object is no storage, the id
  // or type exceeds kMaxDimeFieldLength bytes of UTF-8, or the options are
  // longer than that or not a sequence of whole option elements.
  bool AddAttachment(bool request, std::u16string_view id, std::u16string_view type,
                     uint32_t type_name_format, IUnknown* storage, const uint8_t* options,
                     size_t options_length);
  // The first attachment whose id equals `id` (as UTF-8, exactly); failing
  // that, for an `id` "cid:X" (scheme in any case), the first whose id is "X";
  // null when none.
  const dime::DimePayload* FindAttachment(bool request, std::u16string_view id) const;
  const RecordList<dime::DimePayload>& Attachments(bool request) const {
    return request ? request_attachments_ : response_attachments_;
  }

  // ---- roles ---------------------------------------------------------------------

  void AddRoles(const std::vector<std::u16string>& roles);
  void AddRole(std::u16string_view role) { roles_.emplace(role); }
  const std::set<std::u16string, std::less<>>& Roles() const { return roles_; }

  RequestParser& GetRequestParser() { return request_parser_; }
  ResponseParser& GetResponseParser() { return response_parser_; }

 private:
  int soap_version_ = xml::kSoapVersion11;
  RecordList<HeaderBlock> header_blocks_;
  RecordList<LiteralHeaderBlock> literal_header_blocks_;
  std::unique_ptr<LiteralBody> literal_body_;
  // Set while literal_body_'s text is still only in a parser's source: most
  // messages never ask for it, and writing it costs a parse of the Body.
  mutable ReceivedElement pending_body_;
  const MessageParser* pending_body_parser_ = nullptr;
  void WritePendingBody() const;
  RecordList<MethodParam> params_;
  VARIANT return_value_;
  std::u16string return_value_name_;
  std::u16string method_namespace_;
  std::u16string method_name_;
  std::u16string soap_action_;
  std::u16string fault_code_;
  std::u16string fault_code_ns_;
  std::u16string fault_subcode_;
  std::u16string fault_subcode_ns_;
  std::u16string fault_string_;
  std::u16string fault_node_;
  std::map<std::u16string, std::u16string> reasons_;
  bool need_detail_ = false;
  bool is_fault_ = false;
  bool write_fault_body_ = true;
  RecordList<MessageElement> fault_details_;
  RecordList<HeaderBlock> fault_header_blocks_;
  RecordList<LiteralHeaderBlock> literal_fault_header_blocks_;
  RequestParser request_parser_;
  ResponseParser response_parser_;
  RecordList<dime::DimePayload> request_attachments_;
  RecordList<dime::DimePayload> response_attachments_;
  bool no_content_ = false;
  bool explicit_typing_ = false;
  bool node_type_ = false;
  ComPtr<Idorvish2> wsdl_reader_;
  std::u16string service_name_;
  std::u16string port_name_;
  std::u16string next_hop_url_;
  std::u16string node_uri_;
  bool request_phase_ = true;
  std::set<std::u16string, std::less<>> roles_;
};

}  // namespace message
