#include "message/soap_message.h"

#include <stdlib.h>

#include <new>
#include <utility>

#include "dime/field_text.h"
#include "message/envelope_serializer.h"
#include "message/internal/faults.h"
#include "message/parsed_decoding.h"
#include "message/rpc_decoder.h"
#include "platform/com/object.h"
#include "platform/storage/storage.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"
#include "xml/xml_parser.h"
#include "xml/xml_writer.h"

namespace message {

// ---- records -------------------------------------------------------------------

MessageElement::MessageElement(std::u16string_view namespace_uri, std::u16string_view local_name)
    : namespace_uri(namespace_uri), local_name(local_name) {
  VariantInit(&content);
}

MessageElement::MessageElement(std::u16string_view namespace_uri, std::u16string_view local_name,
                               const VARIANT& value)
    : MessageElement(namespace_uri, local_name) {
  copy_failed_ = FAILED(VariantCopy(&content, &value));
}

MessageElement::~MessageElement() { VariantClear(&content); }

// ---- buffer --------------------------------------------------------------------

MessageBuffer::~MessageBuffer() { free(envelope_); }

void MessageBuffer::SetEnvelopeBytes(char* bytes, uint32_t length) {
  free(envelope_);
  envelope_ = bytes;
  envelope_length_ = bytes ? length : 0;
}

// ---- message -------------------------------------------------------------------

namespace {

template <typename T, typename... Args>
bool Append(RecordList<T>& list, Args&&... args) {
  std::unique_ptr<T> record(new (std::nothrow) T(std::forward<Args>(args)...));
  if (!record || record->CopyFailed()) return false;
  list.push_back(std::move(record));
  return true;
}

// The block a thread keeps for its next message; freed when the thread ends.
class KeptMessageBlock {
 public:
  KeptMessageBlock() = default;
  KeptMessageBlock(const KeptMessageBlock&) = delete;
  KeptMessageBlock& operator=(const KeptMessageBlock&) = delete;
  ~KeptMessageBlock() { ::operator delete(block_); }

  void* Take() { return std::exchange(block_, nullptr); }
  // False when one is kept already.
  bool Keep(void* block) {
    if (block_) return false;
    block_ = block;
    return true;
  }

 private:
  void* block_ = nullptr;
};

thread_local KeptMessageBlock kept_message_block;

}  // namespace

void* SoapMessage::operator new(size_t bytes) {
  if (bytes == sizeof(SoapMessage)) {
    if (void* block = kept_message_block.Take()) return block;
  }
  return ::operator new(bytes);
}

void* SoapMessage::operator new(size_t bytes, const std::nothrow_t&) noexcept {
  if (bytes == sizeof(SoapMessage)) {
    if (void* block = kept_message_block.Take()) return block;
  }
  return ::operator new(bytes, std::nothrow);
}

void SoapMessage::operator delete(void* block, size_t bytes) noexcept {
  if (block && bytes == sizeof(SoapMessage) && kept_message_block.Keep(block)) return;
  ::operator delete(block);
}

void SoapMessage::operator delete(void* block, const std::nothrow_t&) noexcept {
  ::operator delete(block);
}

SoapMessage::SoapMessage() { VariantInit(&return_value_); }

SoapMessage::~SoapMessage() { VariantClear(&return_value_); }

bool SoapMessage::Initialize(std::u16string_view service_name, std::u16string_view port_name,
                             std::u16string_view node_uri, std::u16string_view soap_action,
                             std::u16string_view next_hop_url, bool explicit_typing, bool node_type,
                             IDispatch* dispatch) {
  if (!dispatch) return false;
  ComPtr<Idorvish2> reader = com::QueryInterfacePtr<Idorvish2>(dispatch);
  if (!reader) return false;
  wsdl_reader_ = std::move(reader);
  node_uri_ = node_uri;
  soap_action_ = soap_action;
  next_hop_url_ = next_hop_url;
  service_name_ = service_name;
  port_name_ = port_name;
  request_phase_ = true;
  explicit_typing_ = explicit_typing;
  node_type_ = node_type;
  no_content_ = false;
  return true;
}

bool SoapMessage::Deserialize() {
  write_fault_body_ = true;
  try {
    MessageParser& parser =
        request_phase_ ? static_cast<MessageParser&>(request_parser_) : response_parser_;
    parser.Parse(*this, wsdl_reader_.Get());
    DecodeHeaderBlocks(parser, *this, wsdl_reader_.Get(), !request_phase_);
    if (!request_phase_) StoreParsedFault(parser, *this, wsdl_reader_.Get());
    parser.StoreLiteralBody(*this);
    Bstr version;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (!wsdl_reader_ || FAILED(wsdl_reader_->GetSOAPBindingVersion(version.Receive(), &ok)) ||
        ok != VARIANT_TRUE) {
      internal::ThrowFault(xml::kFaultServer,
                           u"SOAP Binding not found in WSDL description for this port.", true);
    }
    if (soap_version_ == xml::kSoapVersion11) {
      if (version.View() != xml::kWsdlSoap11Namespace) {
        internal::ThrowFault(xml::kFaultVersionMismatch,
                             u"SOAP 1.1 Binding not found in WSDL description for this port.",
                             true);
      }
    } else if (version.View() != xml::kWsdlSoap12Namespace) {
      internal::ThrowFault(xml::kFaultVersionMismatch,
                           u"SOAP 1.2 Binding not found in WSDL description for this port.", true);
    }
    return true;
  } catch (xml::QVSOAPFault* fault) {
    std::unique_ptr<xml::QVSOAPFault> owned(fault);
    CaptureFault(*owned);
    return false;
  } catch (const std::bad_alloc&) {
    CaptureFault(xml::QVSOAPFault(xml::kFaultServer, u"Internal error.", true));
    return false;
  }
}

namespace {

// `ok` by reference: it is read after the call that fills it has run.
bool ReaderOk(HRESULT hr, const VARIANT_BOOL& ok) { return SUCCEEDED(hr) && ok == VARIANT_TRUE; }

}  // namespace

namespace {

// The fault envelope; false when it cannot be written either.
bool WriteFaultEnvelope(SoapMessage& message) {
  try {
    if (SerializeFaultMessage(message)) return true;
  } catch (xml::QVSOAPFault* fault) {
    delete fault;
  } catch (const std::bad_alloc&) {
  }
  message.SetEnvelopeBytes(nullptr, 0);
  return false;
}

}  // namespace

bool SoapMessage::Serialize() {
  try {
    if (SerializeMessage(*this)) return true;
    CaptureFault(xml::QVSOAPFault(xml::kFaultServer, u"Error while serializing message.", true));
  } catch (xml::QVSOAPFault* fault) {
    std::unique_ptr<xml::QVSOAPFault> owned(fault);
    CaptureFault(*owned);
  } catch (const std::bad_alloc&) {
    CaptureFault(xml::QVSOAPFault(xml::kFaultServer, u"Internal error.", true));
  }
  // The client gets the fault, not an empty body. Fault header blocks or
  // details that cannot be written are what failed, or would fail the fault
  // envelope too: it goes out without them.
  if (!WriteFaultEnvelope(*this)) {
    ClearFaultHeaderBlocks();
    ClearFaultDetails();
    WriteFaultEnvelope(*this);
  }
  return false;
}

bool SoapMessage::ProcessRPC() {
  try {
    Idorvish2* reader = wsdl_reader_.Get();
    if (!reader) internal::ThrowFault(xml::kFaultServer, u"Internal error.", true);
    const Bstr method(method_name_);
    if (request_phase_) {
      Bstr ns;
      VARIANT_BOOL ok = VARIANT_FALSE;
      if (!ReaderOk(reader->GetMethodNamespaceURI(method.Get(), ns.Receive(), &ok), ok) ||
          ns.View() != method_namespace_) {
        std::u16string text =
            u"Unrecognized Remote Procedure: '{" + method_namespace_ + u"}" + method_name_ + u"'.";
        if (text.size() > internal::kMaxFaultText) text.resize(internal::kMaxFaultText);
        if (soap_version_ == xml::kSoapVersion11) {
          internal::ThrowFault(xml::kFaultClient, text, true);
        }
        internal::ThrowFault(xml::kFaultClient, u"ProcedureNotPresent", xml::kSoap12RpcNamespace,
                             text, true);
      }
      bool check_action = soap_version_ == xml::kSoapVersion11;
      if (!check_action) {
        VARIANT_BOOL required = VARIANT_FALSE;
        ok = VARIANT_FALSE;
        check_action = SUCCEEDED(reader->SOAPActionRequired(method.Get(), &required, &ok)) &&
                       required == VARIANT_TRUE;
      }
      if (check_action) {
        Bstr action;
        ok = VARIANT_FALSE;
        if (!ReaderOk(reader->GetMethodSOAPAction(method.Get(), action.Receive(), &ok), ok)) {
          internal::ThrowFault(xml::kFaultServer,
                               u"SOAPAction not defined in WSDL document for this operation.",
                               true);
        }
        if (action.View() != soap_action_) {
          internal::ThrowFault(
              xml::kFaultClient,
              internal::FormatName("Unrecognized SOAPAction HTTP header: %s.", soap_action_),
              false);
        }
      }
      Bstr use;
      ok = VARIANT_FALSE;
      const bool encoded =
          ReaderOk(reader->GetSOAPInputBodyUse(method.Get(), use.Receive(), &ok), ok) &&
          use.View() == u"encoded";
      if (encoded) {
        DecodeRpcRequestEncoded(request_parser_, *this, reader);
      } else {
        DecodeRpcRequestLiteral(request_parser_, *this, reader);
      }
      return true;
    }
    Bstr use;
    VARIANT_BOOL ok = VARIANT_FALSE;
    const bool encoded =
        ReaderOk(reader->GetSOAPOutputBodyUse(method.Get(), use.Receive(), &ok), ok) &&
        use.View() == u"encoded";
    if (encoded) {
      DecodeRpcResponseEncoded(response_parser_, *this, reader);
    } else {
      DecodeRpcResponseLiteral(response_parser_, *this, reader);
    }
    return true;
  } catch (xml::QVSOAPFault* fault) {
    std::unique_ptr<xml::QVSOAPFault> owned(fault);
    CaptureFault(*owned);
  } catch (const std::bad_alloc&) {
    CaptureFault(xml::QVSOAPFault(xml::kFaultServer, u"Internal error.", true));
  }
  return false;
}

bool SoapMessage::ProcessRPCGet(std::u16string_view, std::u16string_view extra_path,
                                std::u16string_view query_string) {
  if (!request_phase_) return ProcessRPC();
  try {
    if (extra_path.size() < 2) return true;
    extra_path.remove_prefix(1);
    const size_t slash = extra_path.find(u'/');
    const std::u16string_view name = extra_path.substr(0, slash);
    const std::u16string_view rest =
        slash == std::u16string_view::npos ? std::u16string_view() : extra_path.substr(slash);
    Idorvish2* reader = wsdl_reader_.Get();
    if (!reader) internal::ThrowFault(xml::kFaultServer, u"Internal error.", true);
    const Bstr method(name);
    Bstr ns;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (!ReaderOk(reader->GetMethodNamespaceURI(method.Get(), ns.Receive(), &ok), ok)) {
      return true;
    }
    method_namespace_ = ns.View();
    method_name_ = name;
    Variant path, query;
    path.vt = VT_BSTR;
    path.bstrVal = SysAllocString(rest);
    query.vt = VT_BSTR;
    query.bstrVal = SysAllocString(query_string);
    // Only an operation that takes the extra path and query string gets them: the object
    // binds every parameter by name, so an operation of outputs alone (a read of the
    // management class) would otherwise be refused for names it never declared.
    if (!path.bstrVal || !query.bstrVal ||
        (HasInputPart(reader, name, u"bstrExtraPath") &&
         !AddMethodParam(u"", u"bstrExtraPath", path, true, false)) ||
        (HasInputPart(reader, name, u"bstrQueryString") &&
         !AddMethodParam(u"", u"bstrQueryString", query, true, false))) {
      internal::ThrowFault(xml::kFaultServer, u"Internal error.", true);
    }
    DecodeRpcGetRequest(request_parser_, *this, reader);
    return true;
  } catch (xml::QVSOAPFault* fault) {
    std::unique_ptr<xml::QVSOAPFault> owned(fault);
    CaptureFault12(*owned);
  } catch (const std::bad_alloc&) {
    CaptureFault12(xml::QVSOAPFault(xml::kFaultServer, u"Internal error.", true));
  }
  return false;
}

bool SoapMessage::CheckMustUnderstand() {
  std::u16string ns, name;
  bool found = false;
  // One pass that closes the gaps as it goes: erasing one at a time is
  // quadratic in the blocks, and a request may carry very many.
  auto walk = [&](auto& list) {
    size_t keep = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      auto& block = *list[i];
      bool drop = false;
      if (!found && block.received && IsTargeted(block.role)) {
        if (block.must_understand) {
          found = true;
          ns = block.namespace_uri;
          name = block.local_name;
        } else {
          drop = soap_version_ == xml::kSoapVersion11 || !block.relay;
        }
      }
      if (drop) continue;
      if (keep != i) list[keep] = std::move(list[i]);
      ++keep;
    }
    list.resize(keep);
  };
  walk(header_blocks_);
  if (!found) walk(literal_header_blocks_);
  if (!found) return true;
  constexpr std::u16string_view kText = u"Unhandled 'mustUnderstand' header block.";
  if (soap_version_ == xml::kSoapVersion11) {
    SetFault(u"MustUnderstand", xml::kSoap11EnvelopeNamespace, kText, u"", false);
    return false;
  }
  SetFault12(u"MustUnderstand", xml::kSoap12EnvelopeNamespace, u"", u"",
             {{u"en", std::u16string(kText)}}, u"", false);
  xml::XmlElement element(u"SOAP-ENV:NotUnderstood",
                          xml::SharedString(xml::kSoap12EnvelopeNamespace),
                          xml::SharedString(u"NotUnderstood"));
  element.AddNamespace(u"SOAP-ENV", xml::kSoap12EnvelopeNamespace);
  std::u16string qname = name;
  if (!ns.empty()) {
    element.AddNamespace(u"ns", ns);
    qname = u"ns:" + name;
  }
  element.AddAttributeNode(u"qname", u"", qname);
  std::u16string literal;
  xml::WriteXmlElement(element, nullptr, literal);
  AddLiteralFaultHeaderBlock(xml::kSoap12EnvelopeNamespace, u"NotUnderstood", literal, false, u"",
                             true, u"");
  return false;
}

bool SoapMessage::IsRPCStyle() const {
  if (!wsdl_reader_) return false;
  Bstr style;
  VARIANT_BOOL ok = VARIANT_FALSE;
  return ReaderOk(wsdl_reader_->GetSOAPBindingStyle(style.Receive(), &ok), ok) &&
         style.View() == u"rpc";
}

std::u16string SoapMessage::GetPortAddress() const {
  if (!wsdl_reader_) return {};
  Bstr host, path;
  INT port = 0;
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (!ReaderOk(wsdl_reader_->GetSOAPAddress(host.Receive(), path.Receive(), &port, &ok), ok)) {
    return {};
  }
  std::u16string address = u"http://";
  address += host.View();
  if (port != 80) address += u":" + text::Widen(std::to_string(port));
  address += path.View();
  return address;
}

bool SoapMessage::GetReason(std::u16string_view language, std::u16string* text) const {
  auto it = reasons_.find(std::u16string(language));
  if (it == reasons_.end()) return false;
  *text = it->second;
  return true;
}

bool SoapMessage::FirstReason(std::u16string* language, std::u16string* text,
                              int32_t* position) const {
  if (reasons_.empty()) return false;
  *language = reasons_.begin()->first;
  *text = reasons_.begin()->second;
  *position = 0;
  return true;
}

bool SoapMessage::NextReason(std::u16string* language, std::u16string* text,
                             int32_t* position) const {
  const uint32_t next = static_cast<uint32_t>(*position) + 1u;
  if (next >= reasons_.size()) return false;
  auto it = std::next(reasons_.begin(), next);
  *language = it->first;
  *text = it->second;
  *position = static_cast<int32_t>(next);
  return true;
}

bool SoapMessage::AddHeaderBlock(std::u16string_view ns, std::u16string_view name,
                                 const VARIANT& content, bool must_understand,
                                 std::u16string_view role, bool relay, bool received) {
  return Append(header_blocks_, ns, name, content, role,
                HeaderBlockFlags{must_understand, relay, received});
}

bool SoapMessage::AddLiteralHeaderBlock(std::u16string_view ns, std::u16string_view name,
                                        std::u16string_view literal_xml, bool must_understand,
                                        std::u16string_view role, bool relay,
                                        std::u16string_view encoding_style, bool received) {
  return Append(literal_header_blocks_, ns, name, literal_xml, role, encoding_style,
                HeaderBlockFlags{must_understand, relay, received});
}

bool SoapMessage::AddParsedLiteralHeaderBlock(const MessageParser& parser,
                                              const ReceivedElement& element,
                                              std::u16string_view ns, std::u16string_view name,
                                              bool must_understand, std::u16string_view role,
                                              bool relay, std::u16string_view encoding_style) {
  if (!AddLiteralHeaderBlock(ns, name, u"", must_understand, role, relay, encoding_style, true)) {
    return false;
  }
  literal_header_blocks_.back()->SetPending(element, &parser);
  return true;
}

bool SoapMessage::AddFaultHeaderBlock(std::u16string_view ns, std::u16string_view name,
                                      const VARIANT& content, bool must_understand,
                                      std::u16string_view role, bool relay) {
  return Append(fault_header_blocks_, ns, name, content, role,
                HeaderBlockFlags{must_understand, relay, true});
}

bool SoapMessage::AddLiteralFaultHeaderBlock(std::u16string_view ns, std::u16string_view name,
                                             std::u16string_view literal_xml, bool must_understand,
                                             std::u16string_view role, bool relay,
                                             std::u16string_view encoding_style) {
  return Append(literal_fault_header_blocks_, ns, name, literal_xml, role, encoding_style,
                HeaderBlockFlags{must_understand, relay, true});
}

bool SoapMessage::IsTargeted(std::u16string_view role) const {
  if (roles_.find(role) != roles_.end()) return true;
  return !IsIntermediary() && role.empty();
}

bool SoapMessage::TakeHeaderBlock(std::u16string_view ns, std::u16string_view name,
                                  VARIANT* content) {
  for (auto it = header_blocks_.begin(); it != header_blocks_.end(); ++it) {
    HeaderBlock& block = **it;
    if (block.namespace_uri != ns || block.local_name != name) continue;
    const bool none_role = block.role == kSoap12NoneRole;
    if (!IsTargeted(block.role) && !none_role) continue;
    if (FAILED(VariantCopy(content, &block.content))) return false;
    if (!(soap_version_ != xml::kSoapVersion11 && none_role)) header_blocks_.erase(it);
    return true;
  }
  return false;
}

bool SoapMessage::TakeLiteralHeaderBlock(std::u16string_view ns, std::u16string_view name,
                                         std::u16string* literal_xml) {
  for (auto it = literal_header_blocks_.begin(); it != literal_header_blocks_.end(); ++it) {
    LiteralHeaderBlock& block = **it;
    if (block.namespace_uri != ns || block.local_name != name) continue;
    if (!IsTargeted(block.role)) continue;
    *literal_xml = block.LiteralXml();
    if (!(soap_version_ != xml::kSoapVersion11 && block.role == kSoap12NoneRole)) {
      literal_header_blocks_.erase(it);
    }
    return true;
  }
  return false;
}

void SoapMessage::CollectMustUnderstandBlocks(std::vector<std::u16string>* namespaces,
                                              std::vector<std::u16string>* names) const {
  for (const auto& block : header_blocks_) {
    if (block->must_understand && IsTargeted(block->role)) {
      namespaces->push_back(block->namespace_uri);
      names->push_back(block->local_name);
    }
  }
  for (const auto& block : literal_header_blocks_) {
    if (block->must_understand && IsTargeted(block->role)) {
      namespaces->push_back(block->namespace_uri);
      names->push_back(block->local_name);
    }
  }
}

void SoapMessage::ClearHeaderBlocks() {
  RecordList<HeaderBlock>().swap(header_blocks_);
  RecordList<LiteralHeaderBlock>().swap(literal_header_blocks_);
}

bool SoapMessage::AddMethodParam(std::u16string_view ns, std::u16string_view name,
                                 const VARIANT& content, bool is_in, bool is_out) {
  return Append(params_, ns, name, content, is_in, is_out);
}

void SoapMessage::ClearMethodParams() {
  RecordList<MethodParam>().swap(params_);
  literal_body_.reset();
  pending_body_ = {};
}

bool SoapMessage::SetLiteralBody(std::u16string_view literal_xml,
                                 std::u16string_view encoding_style) {
  literal_body_.reset();
  pending_body_ = {};
  std::unique_ptr<LiteralBody> body(new (std::nothrow) LiteralBody);
  if (!body) return false;
  body->literal_xml = literal_xml;
  body->encoding_style = encoding_style;
  literal_body_ = std::move(body);
  return true;
}

bool SoapMessage::SetParsedLiteralBody(const MessageParser& parser, const ReceivedElement& body,
                                       std::u16string_view encoding_style) {
  if (!SetLiteralBody(u"", encoding_style)) return false;
  pending_body_ = body;
  pending_body_parser_ = &parser;
  return true;
}

void SoapMessage::SettleLiteralBody(const MessageParser& parser) {
  if (!pending_body_.markup.empty() && pending_body_parser_ == &parser) WritePendingBody();
  for (const auto& block : literal_header_blocks_) block->Settle(&parser);
}

std::u16string WriteReceivedElement(const ReceivedElement& element,
                                    std::u16string_view encoding_style) {
  xml::XmlParser parser;
  try {
    parser.ParseFragment(element.markup, element.scope);
  } catch (int) {
    return {};
  }
  xml::XmlElement& root = *parser.GetRoot();
  if (element.add_encoding_style) {
    root.AddAttributeNode(u"SOAP-ENV:encodingStyle", xml::kSoap11EnvelopeNamespace, encoding_style);
  }
  std::u16string literal;
  xml::WriteXmlElement(root, nullptr, literal);
  return literal;
}

const std::u16string& LiteralHeaderBlock::LiteralXml() const {
  if (!pending_.markup.empty()) {
    literal_xml_ = WriteReceivedElement(pending_, encoding_style);
    pending_ = {};
  }
  return literal_xml_;
}

void LiteralHeaderBlock::SetPending(const ReceivedElement& element, const void* source_owner) {
  literal_xml_.clear();
  pending_ = element;
  source_owner_ = source_owner;
}

void LiteralHeaderBlock::Settle(const void* source_owner) const {
  if (!pending_.markup.empty() && source_owner_ == source_owner) LiteralXml();
}

void SoapMessage::WritePendingBody() const {
  if (pending_body_.markup.empty()) return;
  literal_body_->literal_xml = WriteReceivedElement(pending_body_, {});
  pending_body_ = {};
}

const LiteralBody* SoapMessage::GetLiteralBodyRecord() const {
  WritePendingBody();
  return literal_body_.get();
}

bool SoapMessage::GetLiteralBody(std::u16string* literal_xml) const {
  if (!literal_body_) return false;
  WritePendingBody();
  *literal_xml = literal_body_->literal_xml;
  return true;
}

bool SoapMessage::SetFault(std::u16string_view code, std::u16string_view code_ns,
                           std::u16string_view fault_string, std::u16string_view node,
                           bool need_detail) {
  fault_code_ = code;
  fault_code_ns_ = code_ns;
  fault_string_ = fault_string;
  fault_node_ = node;
  need_detail_ = need_detail;
  fault_subcode_.clear();
  fault_subcode_ns_.clear();
  is_fault_ = true;
  // A fault set here replaces one read from a peer: it is the one to write.
  write_fault_body_ = true;
  return true;
}

bool SoapMessage::SetFault12(std::u16string_view code, std::u16string_view code_ns,
                             std::u16string_view subcode, std::u16string_view subcode_ns,
                             const std::map<std::u16string, std::u16string>& reasons,
                             std::u16string_view node, bool need_detail) {
  fault_code_ = code;
  fault_code_ns_ = code_ns;
  fault_subcode_ = subcode;
  fault_subcode_ns_ = subcode_ns;
  reasons_ = reasons;
  fault_node_ = node;
  need_detail_ = need_detail;
  is_fault_ = true;
  write_fault_body_ = true;
  return true;
}

void SoapMessage::CaptureFault(const xml::QVSOAPFault& fault) {
  std::u16string name, uri;
  fault.FaultCodeName(soap_version_, &name, &uri);
  if (soap_version_ == xml::kSoapVersion11) {
    SetFault(name, uri, fault.GetFaultString(), u"", fault.NeedsDetail());
  } else {
    std::u16string subcode, subcode_ns;
    fault.GetSubcode(&subcode, &subcode_ns);
    SetFault12(name, uri, subcode, subcode_ns, {{u"en", fault.GetFaultString()}}, u"",
               fault.NeedsDetail());
  }
  xml::ReportEventLog(fault);
}

void SoapMessage::CaptureFault12(const xml::QVSOAPFault& fault) {
  std::u16string name, uri, subcode, subcode_ns;
  fault.FaultCodeName(soap_version_, &name, &uri);
  fault.GetSubcode(&subcode, &subcode_ns);
  SetFault12(name, uri, subcode, subcode_ns, {{u"en", fault.GetFaultString()}}, u"",
             fault.NeedsDetail());
  xml::ReportEventLog(fault);
}

void SoapMessage::ClearFault() {
  ClearFaultHeaderBlocks();
  ClearFaultDetails();
  fault_code_.clear();
  fault_code_ns_.clear();
  fault_subcode_.clear();
  fault_subcode_ns_.clear();
  fault_string_.clear();
  fault_node_.clear();
  need_detail_ = false;
  is_fault_ = false;
  write_fault_body_ = true;
  reasons_.clear();
}

void SoapMessage::SetReason(std::u16string_view language, std::u16string_view text) {
  reasons_.insert_or_assign(std::u16string(language), std::u16string(text));
}

bool SoapMessage::AddFaultDetail(std::u16string_view ns, std::u16string_view name,
                                 const VARIANT& content) {
  return Append(fault_details_, ns, name, content);
}

bool SoapMessage::FindFaultDetail(std::u16string_view ns, std::u16string_view name,
                                  VARIANT* content) const {
  for (const auto& detail : fault_details_) {
    if (detail->namespace_uri == ns && detail->local_name == name) {
      return SUCCEEDED(VariantCopy(content, &detail->content));
    }
  }
  return false;
}

void SoapMessage::ClearFaultHeaderBlocks() {
  RecordList<HeaderBlock>().swap(fault_header_blocks_);
  RecordList<LiteralHeaderBlock>().swap(literal_fault_header_blocks_);
}

void SoapMessage::ClearFaultDetails() { RecordList<MessageElement>().swap(fault_details_); }

bool SoapMessage::AddAttachment(bool request, std::u16string_view id, std::u16string_view type,
                                uint32_t type_name_format, IUnknown* storage,
                                const uint8_t* options, size_t options_length) {
  ComPtr<IStorage> queried = com::QueryInterfacePtr<IStorage>(storage);
  if (!queried) return false;
  std::string id8 = dime::NarrowFieldText(id);
  std::string type8 = dime::NarrowFieldText(type);
  // DIME carries these lengths in 16 bits; a longer field could never be
  // framed, so it is refused here where the caller can see it.
  if (id8.size() > kMaxDimeFieldLength || type8.size() > kMaxDimeFieldLength ||
      options_length > kMaxDimeFieldLength) {
    return false;
  }
  std::unique_ptr<dime::DimePayload> payload(new (std::nothrow) dime::DimePayload(
      queried.Get(), std::move(id8), std::move(type8), type_name_format));
  if (!payload) return false;
  // Walkers hand out a zero-byte array for "no options", so that is accepted
  // as none; anything else must be whole option elements.
  if (options && options_length > 0 && !payload->ParseOptions(options, options_length)) {
    return false;
  }
  (request ? request_attachments_ : response_attachments_).push_back(std::move(payload));
  return true;
}

const dime::DimePayload* SoapMessage::FindAttachment(bool request, std::u16string_view id) const {
  const std::string id8 = dime::NarrowFieldText(id);
  for (const auto& payload : Attachments(request)) {
    if (payload->Id() == id8) return payload.get();
  }
  // Stacks that give a record an id of their own reference it as "cid:id".
  static constexpr std::string_view kCid = "cid:";
  const std::string_view href = id8;
  if (href.size() <= kCid.size() || !text::AsciiIEquals(href.substr(0, kCid.size()), kCid)) {
    return nullptr;
  }
  const std::string_view bare = href.substr(kCid.size());
  for (const auto& payload : Attachments(request)) {
    if (payload->Id() == bare) return payload.get();
  }
  return nullptr;
}

void SoapMessage::AddRoles(const std::vector<std::u16string>& roles) {
  roles_.insert(roles.begin(), roles.end());
}

}  // namespace message
