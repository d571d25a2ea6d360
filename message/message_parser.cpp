#include "message/message_parser.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory_resource>
#include <new>
#include <type_traits>

#include "message/array_attributes.h"
#include "message/internal/faults.h"
#include "message/internal/parse_blocks.h"
#include "message/soap_message.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"

namespace message {

using internal::ThrowClient;

void ReleaseKeptParseMemory() { internal::ReleaseParseBlocks(); }

namespace {

std::u16string_view EnvelopeNamespace(int version) {
  return version == xml::kSoapVersion11 ? xml::kSoap11EnvelopeNamespace
                                        : xml::kSoap12EnvelopeNamespace;
}

std::u16string_view TrimSpaces(std::u16string_view s) {
  while (!s.empty() && text::IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && text::IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool Attribute(const xml::XmlElement& element, std::u16string_view uri,
               std::u16string_view local_name, std::u16string* value) {
  return element.GetAttributeValue(uri, local_name, value);
}

// Resolves a qualified-name value against the element's scope; the parts view
// `value` and the element's scope.
void ResolveQName(std::u16string_view value, const xml::XmlElement& element,
                  std::u16string_view unresolvable, std::u16string_view undeclared,
                  std::u16string_view* ns, std::u16string_view* local_name) {
  value = TrimSpaces(value);
  const size_t colon = value.find(u':');
  if (colon == std::u16string_view::npos) {
    // An empty `unresolvable` text accepts an unprefixed name in no namespace.
    if (element.GetDefaultNamespace().empty() && !unresolvable.empty()) {
      ThrowClient(unresolvable, true);
    }
    *ns = element.GetDefaultNamespace();
    *local_name = value;
    return;
  }
  const std::u16string* uri = element.LookupNamespace(value.substr(0, colon));
  if (!uri) ThrowClient(undeclared, true);
  *ns = *uri;
  *local_name = value.substr(colon + 1);
}

void ResolveQName(std::u16string_view value, const xml::XmlElement& element,
                  std::u16string_view unresolvable, std::u16string_view undeclared,
                  std::u16string* ns, std::u16string* local_name) {
  std::u16string_view ns_part, local_part;
  ResolveQName(value, element, unresolvable, undeclared, &ns_part, &local_part);
  *ns = ns_part;
  *local_name = local_part;
}

bool FlagValue(std::u16string_view value, bool* flag) {
  if (value == u"1" || value == u"true") {
    *flag = true;
  } else if (value == u"0" || value == u"false") {
    *flag = false;
  } else {
    return false;
  }
  return true;
}

}  // namespace

namespace internal {

using IdTable = std::map<std::u16string, const Accessor*, std::less<>>;

constexpr size_t kArenaFirstBlock = 4096;
// Envelopes up to this many bytes are decoded into their parse's arena.
constexpr size_t kSmallSourceBytes = 16 << 10;

struct ParseState {
  // The records and handlers of one parse, freed together with it: first
  // member, so that it outlives every record the other members own.
  std::pmr::monotonic_buffer_resource arena{kArenaFirstBlock, ParseBlocks()};
  bool response = false;
  int version = xml::kSoapVersion11;
  bool envelope_seen = false;
  bool body_seen = false;
  std::u16string envelope_encoding;
  bool envelope_has_encoding = false;
  std::vector<AccessorPtr> header_blocks;
  AccessorPtr wrapper;
  std::vector<AccessorPtr> multi_refs;
  std::unique_ptr<ParsedFault> fault;
  IdTable header_ids;
  IdTable body_ids;
  // What the literal forms are written from: the body and, in step with
  // header_blocks, the blocks.
  const xml::NamespaceScope* envelope_scope = nullptr;
  const xml::NamespaceScope* header_scope = nullptr;
  ReceivedElement body;
  std::vector<ReceivedElement> received_blocks;
  std::u16string body_encoding;
  bool has_result = false;
  std::u16string result_ns, result_name;
  DecodeBudget budget;
  // Attribute values that repeat from record to record, kept once.
  xml::StringInterner names;
  const xml::XmlParser* parser = nullptr;  // the parse under way
  std::string_view bytes;                  // its input
  // The input as parsed: texts and markup of the records are slices of it.
  // A small one is decoded into the arena: a heap block of its size is past
  // the allocator's per-thread caches and slow to get. A large one goes to the
  // heap, so that the blocks the arena keeps between parses stay small.
  std::u16string_view source;
  std::pmr::u16string small_source{&arena};
  std::u16string large_source;
  std::vector<xml::NodeHandler*> handlers;  // in the arena

  ParseState() = default;
  ParseState(const ParseState&) = delete;
  ParseState& operator=(const ParseState&) = delete;
  ~ParseState() {
    for (xml::NodeHandler* handler : handlers) handler->~NodeHandler();
  }

  // Handlers whose element has ended, for the next element to reuse: a
  // value's handler is needed only while its element is open, so their memory
  // follows the nesting depth rather than the element count.
  std::vector<xml::NodeHandler*> spare;

  template <typename T, typename... Args>
  T* Reuse(Args&&... args) {
    if (spare.empty()) return Make<T>(std::forward<Args>(args)...);
    xml::NodeHandler* slot = spare.back();
    spare.pop_back();
    // Only T's are put back, so the slot has T's size; it stays in `handlers`,
    // and a constructor that cannot throw never leaves it destroyed twice.
    static_assert(std::is_nothrow_constructible_v<T, Args&&...>);
    static_cast<T*>(slot)->~T();
    return new (slot) T(std::forward<Args>(args)...);
  }

  template <typename T, typename... Args>
  T* Make(Args&&... args) {
    // Room first, so that a handler once built is always destroyed.
    if (handlers.size() == handlers.capacity()) handlers.reserve(handlers.size() * 2 + 16);
    T* handler = new (arena.allocate(sizeof(T), alignof(T))) T(std::forward<Args>(args)...);
    handlers.push_back(handler);
    return handler;
  }
  AccessorPtr NewRecord() {
    return AccessorPtr(new (arena.allocate(sizeof(Accessor), alignof(Accessor))) Accessor(&arena));
  }
  // `text` where it lives as long as the records: in the source, or copied.
  std::u16string_view Keep(std::u16string_view text) {
    const auto at = reinterpret_cast<uintptr_t>(text.data());
    const auto first = reinterpret_cast<uintptr_t>(source.data());
    if (at >= first &&
        at + text.size() * sizeof(char16_t) <= first + source.size() * sizeof(char16_t)) {
      return text;
    }
    auto* copy =
        static_cast<char16_t*>(arena.allocate(text.size() * sizeof(char16_t), alignof(char16_t)));
    std::copy(text.begin(), text.end(), copy);
    return {copy, text.size()};
  }
};

}  // namespace internal

namespace {

using internal::IdTable;
using internal::ParseState;

// Fills an accessor from its element: names, encodingStyle (own or, in SOAP
// 1.1, `inherited`), references, array attributes, nil and xsi:type.
AccessorPtr NewAccessor(ParseState& state, int version, xml::XmlElement& element,
                        const xml::SharedString* inherited) {
  AccessorPtr acc = state.NewRecord();
  acc->soap_version = version;
  acc->local_name = element.SharedLocalName();
  acc->namespace_uri = element.SharedNamespaceURI();
  // Most value elements carry no attribute at all.
  const bool bare = element.GetAttributes().empty();
  // The element's own value, not a copy; values that repeat from element to
  // element are shared.
  std::u16string_view value;
  auto Attribute = [&element, &value](std::u16string_view uri, std::u16string_view local_name) {
    const xml::XmlAttribute* attribute = element.GetAttributeNode(uri, local_name);
    if (attribute) value = attribute->GetValue();
    return attribute != nullptr;
  };
  xml::StringInterner& names = state.names;
  if (!bare && Attribute(EnvelopeNamespace(version), u"encodingStyle")) {
    acc->encoding_style = names.Intern(value);
    acc->has_encoding_style = true;
  } else if (version == xml::kSoapVersion11 && inherited) {
    acc->encoding_style = *inherited;
    acc->has_encoding_style = true;
    acc->inherited_encoding_style = true;
  }
  if (bare) return acc;

  if (version == xml::kSoapVersion11) {
    if (Attribute(u"", u"id")) acc->id = value;
    if (Attribute(u"", u"href")) {
      acc->href = value;
      acc->has_href = true;
    }
    if (Attribute(xml::kSoap11EncodingNamespace, u"arrayType")) {
      ParseArrayType(value, element, *acc);
    }
    if (Attribute(xml::kSoap11EncodingNamespace, u"offset")) ParseOffset(value, *acc);
  } else {
    const bool has_id = Attribute(xml::kSoap12EncodingNamespace, u"id");
    if (has_id) acc->id = value;
    if (Attribute(xml::kSoap12EncodingNamespace, u"ref")) {
      if (has_id) ThrowClient(u"Encountered  attributes 'type' and 'id' on same element.", true);
      acc->href = value;
      acc->has_href = true;
    }
    if (Attribute(xml::kSoap12EncodingNamespace, u"nodeType")) {
      if (value != u"simple" && value != u"struct" && value != u"array") {
        ThrowClient(u"Encountered invalid value for attribute 'nodeType' on accessor element.",
                    true);
      }
      acc->node_type = names.Intern(value);
    }
    if (Attribute(xml::kSoap12EncodingNamespace, u"itemType")) {
      ParseItemType(value, element, *acc);
    }
    if (Attribute(xml::kSoap12EncodingNamespace, u"arraySize")) ParseArraySize(value, *acc);
  }

  if (Attribute(xml::kXmlSchemaInstanceNamespace, u"nil") ||
      Attribute(xml::kXmlSchemaInstance1999Namespace, u"null") ||
      Attribute(xml::kXmlSchemaInstance2000Namespace, u"nil")) {
    acc->nil_text = names.Intern(value);
  }
  if (Attribute(xml::kXmlSchemaInstanceNamespace, u"type") ||
      Attribute(xml::kXmlSchemaInstance1999Namespace, u"type") ||
      Attribute(xml::kXmlSchemaInstance2000Namespace, u"type")) {
    std::u16string_view type_ns, type_name;
    ResolveQName(value, element,
                 u"Encountered unresolvable namespace for attribute 'type' on element.",
                 u"Encountered undeclared namespace prefix for attribute 'type' on element.",
                 &type_ns, &type_name);
    acc->type_namespace = names.Intern(type_ns);
    acc->type_name = names.Intern(type_name);
    acc->has_type = true;
  }
  return acc;
}

void ReadHeaderBlockAttributes(xml::XmlElement& element, Accessor& acc) {
  const std::u16string_view env = EnvelopeNamespace(acc.soap_version);
  std::u16string value;
  if (Attribute(element, env, u"mustUnderstand", &value) &&
      !FlagValue(value, &acc.must_understand)) {
    ThrowClient(u"Encountered invalid value for attribute 'mustUnderstand' on header block.",
                false);
  }
  if (Attribute(element, env, acc.soap_version == xml::kSoapVersion11 ? u"actor" : u"role",
                &value)) {
    if (value == kSoap12UltimateReceiverRole) {
      acc.role = {};
    } else if (value.empty()) {
      acc.role = u"\"\"";  // explicitly empty, told apart from no role
    } else {
      acc.role = value;
    }
  }
  if (acc.soap_version != xml::kSoapVersion11 && Attribute(element, env, u"relay", &value) &&
      !FlagValue(value, &acc.relay)) {
    ThrowClient(u"Encountered invalid value for attribute 'relay' on header block.", false);
  }
}

// Registers a child accessor's id; a second use is a fault.
void RegisterChildId(const Accessor& acc, IdTable& ids) {
  if (acc.id.empty()) return;
  if (!ids.emplace(acc.id, &acc).second) {
    constexpr std::u16string_view kText = u"Id value found on accessor element is a duplicate.";
    if (acc.soap_version == xml::kSoapVersion11) ThrowClient(kText, true);
    internal::ThrowFault(xml::kFaultClient, u"DuplicateID", xml::kSoap12EncodingNamespace, kText,
                         true);
  }
}

// Runs `done` with the element's text at its end; skips its children.
class TextHandler : public xml::NodeHandler {
 public:
  using Done = std::function<void(std::u16string_view, xml::XmlElement&)>;
  explicit TextHandler(Done done) : done_(std::move(done)) {}
  NodeHandler* CreateChild(std::u16string_view, std::u16string_view, std::u16string_view,
                           const xml::AttributeMap&, const xml::NamespaceScope&,
                           xml::XmlElement&) override {
    return nullptr;
  }
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement& element) override {
    done_(element.GetText(), element);
    return true;
  }

 private:
  Done done_;
};

class AccessorHandler : public xml::NodeHandler {
 public:
  AccessorHandler(ParseState& state, Accessor& acc, IdTable& ids, bool header_block,
                  bool wrapper) noexcept
      : state_(state), acc_(acc), ids_(ids), header_block_(header_block), wrapper_(wrapper) {
    soap_version_ = acc.soap_version;
  }

  NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                           std::u16string_view, const xml::AttributeMap&,
                           const xml::NamespaceScope&, xml::XmlElement& element) override {
    if (wrapper_ && state_.response && soap_version_ != xml::kSoapVersion11 &&
        local_name == u"result" && uri == xml::kSoap12RpcNamespace) {
      return state_.Make<TextHandler>([this](std::u16string_view text, xml::XmlElement& e) {
        ResolveQName(text, e, u"",
                     u"Encountered undeclared namespace prefix for QName in RPC 'result' element.",
                     &state_.result_ns, &state_.result_name);
        state_.has_result = true;
      });
    }
    AccessorPtr child = NewAccessor(state_, soap_version_, element,
                                    acc_.has_encoding_style ? &acc_.encoding_style : nullptr);
    RegisterChildId(*child, ids_);
    Accessor& ref = *child;
    // The arena never takes back a grown list's old space.
    if (acc_.children.empty()) acc_.children.reserve(4);
    acc_.children.push_back(std::move(child));
    return state_.Reuse<AccessorHandler>(state_, ref, ids_, false, false);
  }
  void Characters(std::u16string_view text) override { acc_.text = state_.Keep(text); }
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override {
    if (header_block_) state_.received_blocks.back().markup = state_.parser->CurrentMarkup();
    // The dispatcher drops this handler now; nothing else holds it.
    state_.spare.push_back(this);
    return true;
  }

 private:
  ParseState& state_;
  Accessor& acc_;
  IdTable& ids_;
  bool header_block_;
  bool wrapper_;
};

class HeaderHandler : public xml::NodeHandler {
 public:
  HeaderHandler(ParseState& state, xml::SharedString encoding, bool has_encoding)
      : state_(state), encoding_(std::move(encoding)), has_encoding_(has_encoding) {
    soap_version_ = state.version;
  }
  NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view, std::u16string_view,
                           const xml::AttributeMap&, const xml::NamespaceScope&,
                           xml::XmlElement& element) override {
    if (uri.empty()) ThrowClient(u"Encountered SOAP Header Block with unqualified name.", false);
    AccessorPtr block =
        NewAccessor(state_, soap_version_, element, has_encoding_ ? &encoding_ : nullptr);
    ReadHeaderBlockAttributes(element, *block);
    if (!block->id.empty()) state_.header_ids.emplace(block->id, block.get());  // first wins
    Accessor& ref = *block;
    // The literal form of a SOAP 1.1 block carries its effective encoding.
    state_.received_blocks.push_back({{},
                                      state_.header_scope,
                                      soap_version_ == xml::kSoapVersion11 &&
                                          ref.has_encoding_style && ref.inherited_encoding_style});
    state_.header_blocks.push_back(std::move(block));
    return state_.Make<AccessorHandler>(state_, ref, state_.header_ids, true, false);
  }

 private:
  ParseState& state_;
  xml::SharedString encoding_;
  bool has_encoding_;
};

class FaultHandler : public xml::NodeHandler {
 public:
  FaultHandler(ParseState& state, xml::SharedString encoding, bool has_encoding)
      : state_(state), encoding_(std::move(encoding)), has_encoding_(has_encoding) {
    soap_version_ = state.version;
  }

  NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                           std::u16string_view, const xml::AttributeMap&,
                           const xml::NamespaceScope&, xml::XmlElement& element) override {
    ParsedFault& fault = *state_.fault;
    if (soap_version_ == xml::kSoapVersion11) {
      if (local_name == u"faultcode") return QNameInto(&fault.code_namespace, &fault.code);
      if (local_name == u"faultstring") return TextInto(&fault.fault_string);
      if (local_name == u"faultactor") return TextInto(&fault.actor);
      if (local_name == u"detail" && !fault.detail) return Detail(element);
      return nullptr;
    }
    if (uri != xml::kSoap12EnvelopeNamespace) return nullptr;
    if (local_name == u"Code") return state_.Make<CodeHandler>(*this, false);
    if (local_name == u"Reason") return state_.Make<ReasonHandler>(state_);
    if (local_name == u"Node") return TextInto(&fault.actor);
    if (local_name == u"Role") return TextInto(&fault.role);
    if (local_name == u"Detail" && !fault.detail) return Detail(element);
    return nullptr;
  }

 private:
  // Code and Subcode: a Value child and, for Code, one Subcode.
  class CodeHandler : public xml::NodeHandler {
   public:
    CodeHandler(FaultHandler& fault, bool subcode) : fault_(fault), subcode_(subcode) {}
    NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                             std::u16string_view, const xml::AttributeMap&,
                             const xml::NamespaceScope&, xml::XmlElement&) override {
      if (uri != xml::kSoap12EnvelopeNamespace) return nullptr;
      ParsedFault& f = *fault_.state_.fault;
      if (local_name == u"Value") {
        return subcode_ ? fault_.QNameInto(&f.subcode_namespace, &f.subcode)
                        : fault_.QNameInto(&f.code_namespace, &f.code);
      }
      if (local_name == u"Subcode" && !subcode_ && !seen_subcode_) {
        seen_subcode_ = true;
        return fault_.state_.Make<CodeHandler>(fault_, true);
      }
      return nullptr;
    }

   private:
    FaultHandler& fault_;
    bool subcode_;
    bool seen_subcode_ = false;
  };

  class ReasonHandler : public xml::NodeHandler {
   public:
    explicit ReasonHandler(ParseState& state) : state_(state) {}
    NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                             std::u16string_view, const xml::AttributeMap&,
                             const xml::NamespaceScope&, xml::XmlElement&) override {
      if (uri != xml::kSoap12EnvelopeNamespace || local_name != u"Text") return nullptr;
      return state_.Make<TextHandler>([this](std::u16string_view text, xml::XmlElement& e) {
        std::u16string lang;
        e.GetAttributeValue(xml::kXmlNamespace, u"lang", &lang);
        state_.fault->reasons.insert_or_assign(lang, std::u16string(text));
      });
    }

   private:
    ParseState& state_;
  };

  NodeHandler* TextInto(std::u16string* target) {
    return state_.Make<TextHandler>(
        [target](std::u16string_view text, xml::XmlElement&) { *target = text; });
  }
  NodeHandler* QNameInto(std::u16string* ns, std::u16string* local_name) {
    return state_.Make<TextHandler>([ns, local_name](std::u16string_view text, xml::XmlElement& e) {
      ResolveQName(text, e,
                   u"Unresolvable namespace for value of fault code element in Fault message.",
                   u"Encountered undeclared namespace prefix for value of fault code element in "
                   u"Fault message.",
                   ns, local_name);
    });
  }
  NodeHandler* Detail(xml::XmlElement& element) {
    ParsedFault& fault = *state_.fault;
    fault.detail =
        NewAccessor(state_, soap_version_, element, has_encoding_ ? &encoding_ : nullptr);
    return state_.Make<AccessorHandler>(state_, *fault.detail, state_.body_ids, false, false);
  }

  ParseState& state_;
  xml::SharedString encoding_;
  bool has_encoding_;
};

class BodyHandler : public xml::NodeHandler {
 public:
  BodyHandler(ParseState& state, xml::SharedString encoding, bool has_encoding)
      : state_(state), encoding_(std::move(encoding)), has_encoding_(has_encoding) {
    soap_version_ = state.version;
  }
  NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                           std::u16string_view, const xml::AttributeMap&,
                           const xml::NamespaceScope&, xml::XmlElement& element) override {
    const xml::SharedString* inherited = has_encoding_ ? &encoding_ : nullptr;
    if (state_.response && local_name == u"Fault" && uri == EnvelopeNamespace(soap_version_) &&
        !state_.fault) {
      state_.fault = std::make_unique<ParsedFault>();
      std::u16string own;
      bool has_own = false;
      if (soap_version_ == xml::kSoapVersion11) {
        has_own = Attribute(element, xml::kSoap11EnvelopeNamespace, u"encodingStyle", &own);
        if (!has_own && has_encoding_) {
          own = encoding_;
          has_own = true;
        }
      }
      return state_.Make<FaultHandler>(state_, own, has_own);
    }
    if (soap_version_ == xml::kSoapVersion11) {
      std::u16string root;
      const bool not_root =
          Attribute(element, xml::kSoap11EncodingNamespace, u"root", &root) && root == u"0";
      if (!state_.wrapper && !not_root) {
        state_.wrapper = NewAccessor(state_, soap_version_, element, inherited);
        return state_.Make<AccessorHandler>(state_, *state_.wrapper, state_.body_ids, false, true);
      }
      AccessorPtr ref = NewAccessor(state_, soap_version_, element, inherited);
      if (!ref->id.empty()) state_.body_ids.emplace(ref->id, ref.get());  // first wins
      Accessor& acc = *ref;
      state_.multi_refs.push_back(std::move(ref));
      return state_.Make<AccessorHandler>(state_, acc, state_.body_ids, false, false);
    }
    if (state_.wrapper) return nullptr;
    state_.wrapper = NewAccessor(state_, soap_version_, element, nullptr);
    return state_.Make<AccessorHandler>(state_, *state_.wrapper, state_.body_ids, false, true);
  }
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override {
    state_.body.markup = state_.parser->CurrentMarkup();
    return true;
  }

 private:
  ParseState& state_;
  xml::SharedString encoding_;
  bool has_encoding_;
};

class EnvelopeHandler : public xml::NodeHandler {
 public:
  explicit EnvelopeHandler(ParseState& state) : state_(state) { soap_version_ = state.version; }

  NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                           std::u16string_view, const xml::AttributeMap&,
                           const xml::NamespaceScope&, xml::XmlElement& element) override {
    const bool envelope_ns =
        uri == xml::kSoap11EnvelopeNamespace || uri == xml::kSoap12EnvelopeNamespace;
    const bool header = envelope_ns && local_name == u"Header";
    const bool body = envelope_ns && local_name == u"Body";
    if (!header && !body) {
      if (soap_version_ == xml::kSoapVersion11) return nullptr;
      ThrowClient(u"Encountered illegal child element within SOAP 1.2 Envelope.", true);
    }
    // A second Body would silently lose the first; a late Header would be
    // processed after the body it should guard.
    if (body && state_.body_seen) {
      ThrowClient(u"More than one Body element found in SOAP Envelope.", true);
    }
    if (header && state_.body_seen) {
      ThrowClient(u"Header element found after Body in SOAP Envelope.", true);
    }
    std::u16string encoding;
    bool has_encoding =
        Attribute(element, EnvelopeNamespace(soap_version_), u"encodingStyle", &encoding);
    if (soap_version_ != xml::kSoapVersion11) {
      if (has_encoding) {
        ThrowClient(header ? u"encodingStyle attribute not allowed on SOAP 1.2 Header element."
                           : u"encodingStyle attribute not allowed on SOAP 1.2 Body element.",
                    true);
      }
    } else if (!has_encoding && state_.envelope_has_encoding) {
      encoding = state_.envelope_encoding;
      has_encoding = true;
    }
    if (header) {
      state_.header_scope = element.GetScope();
      if (!header_) header_ = state_.Make<HeaderHandler>(state_, encoding, has_encoding);
      return header_;
    }
    state_.body_seen = true;
    state_.body.scope = state_.envelope_scope;
    state_.body_encoding = encoding;
    return state_.Make<BodyHandler>(state_, encoding, has_encoding);
  }
  bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                  xml::XmlElement&) override {
    if (!state_.body_seen) ThrowClient(u"Body element not found in SOAP Envelope.", true);
    return true;
  }

 private:
  ParseState& state_;
  HeaderHandler* header_ = nullptr;
};

// The line of the first "<!DOCTYPE" in the buffer, counted as the parser
// counts (a CR LF pair or a lone CR is one line end); the bytes are read as
// UTF-16 after a UTF-16 byte-order mark and as single bytes otherwise.
int DoctypeLine(std::string_view bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t width = 1, start = 0;
  bool big_endian = false;
  if (bytes.size() >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
    width = 2;
    start = 2;
    big_endian = b[0] == 0xFE;
  }
  auto unit = [&](size_t i) -> char16_t {
    const size_t at = start + i * width;
    if (width == 1) return b[at];
    return big_endian ? char16_t(b[at] << 8 | b[at + 1]) : char16_t(b[at + 1] << 8 | b[at]);
  };
  const size_t count = (bytes.size() - start) / width;
  constexpr std::u16string_view kDoctype = u"<!DOCTYPE";
  int line = 1;
  for (size_t i = 0; i < count; ++i) {
    const char16_t c = unit(i);
    if (c == u'<' && count - i >= kDoctype.size()) {
      size_t k = 0;
      while (k < kDoctype.size() && unit(i + k) == kDoctype[k]) ++k;
      if (k == kDoctype.size()) return line;
    }
    if (c == u'\n' || (c == u'\r' && (i + 1 == count || unit(i + 1) != u'\n'))) ++line;
  }
  return line;
}

[[noreturn]] void ThrowParseError(int line) {
  internal::ThrowFault(xml::kFaultClient,
                       text::Widen(text::FormatCapped(internal::kMaxParseErrorText,
                                                      "XML Parser: Parse Error on Line %d.", line)),
                       false);
}

class DocumentHandler : public xml::NodeHandler {
 public:
  explicit DocumentHandler(ParseState& state) : state_(state) {}
  NodeHandler* CreateChild(std::u16string_view uri, std::u16string_view local_name,
                           std::u16string_view, const xml::AttributeMap&,
                           const xml::NamespaceScope&, xml::XmlElement& element) override {
    // A SOAP message carries no document type declaration: its entities and
    // defaults are nothing a peer may impose on the envelope.
    if (state_.parser && state_.parser->HadDoctype()) ThrowParseError(DoctypeLine(state_.bytes));
    if (local_name != u"Envelope") return nullptr;
    if (uri == xml::kSoap11EnvelopeNamespace) {
      state_.version = xml::kSoapVersion11;
    } else if (uri == xml::kSoap12EnvelopeNamespace) {
      state_.version = xml::kSoapVersion12;
    } else {
      internal::ThrowFault(xml::kFaultVersionMismatch, u"SOAP Version Mismatch", false);
    }
    state_.envelope_seen = true;
    state_.envelope_scope = element.GetScope();
    std::u16string encoding;
    if (Attribute(element, EnvelopeNamespace(state_.version), u"encodingStyle", &encoding)) {
      if (state_.version != xml::kSoapVersion11) {
        ThrowClient(u"encodingStyle attribute not allowed on SOAP 1.2 Envelope element.", true);
      }
      state_.envelope_encoding = encoding;
      state_.envelope_has_encoding = true;
    }
    return state_.Make<EnvelopeHandler>(state_);
  }

 private:
  ParseState& state_;
};

}  // namespace

MessageParser::MessageParser() : state_(std::make_unique<ParseState>()) {
  // Envelope, Header and Body: what lies under them lives in the records.
  parser_.SetTreeDepth(2);
  // Nothing here reads prefixes by event: names arrive resolved.
  dispatcher_.SetKeepPrefixMap(false);
}

MessageParser::~MessageParser() = default;

const Accessor* MessageParser::ResolveHref(const Accessor& accessor) const {
  if (!accessor.has_href || accessor.href.empty()) return nullptr;
  const std::u16string_view key = RefKey(accessor);
  if (auto it = state_->body_ids.find(key); it != state_->body_ids.end()) return it->second;
  if (auto it = state_->header_ids.find(key); it != state_->header_ids.end()) return it->second;
  return nullptr;
}

const Accessor* MessageParser::GetWrapper() const { return state_->wrapper.get(); }
const std::vector<AccessorPtr>& MessageParser::GetHeaderAccessors() const {
  return state_->header_blocks;
}
const std::vector<AccessorPtr>& MessageParser::GetMultiRefs() const { return state_->multi_refs; }
const ParsedFault* MessageParser::GetFault() const { return state_->fault.get(); }
int MessageParser::GetParsedVersion() const { return state_->version; }
DecodeBudget& MessageParser::Budget() const { return state_->budget; }
xml::XmlElement* MessageParser::GetEnvelopeElement() const {
  return state_->envelope_seen ? parser_.GetRoot() : nullptr;
}

ReceivedElement MessageParser::GetReceivedHeaderBlock(size_t index) const {
  return index < state_->received_blocks.size() ? state_->received_blocks[index]
                                                : ReceivedElement{};
}

bool MessageParser::GetResultName(std::u16string* ns, std::u16string* local_name) const {
  if (!state_->has_result) return false;
  *ns = state_->result_ns;
  *local_name = state_->result_name;
  return true;
}

xml::XmlElementPtr MessageParser::ParseXmlFragment(std::u16string_view text) {
  xml::XmlParser parser;
  parser.Parse(text, nullptr);
  return parser.DetachRoot();
}

void MessageParser::RunParse(SoapMessage& message, bool response) {
  // The tree about to be replaced may still hold the message's literal body.
  message.SettleLiteralBody(*this);
  state_ = std::make_unique<ParseState>();
  state_->response = response;
  auto* document = state_->Make<DocumentHandler>(*state_);
  dispatcher_.SetRootHandler(document);
  const char* bytes = message.EnvelopeBytes() ? message.EnvelopeBytes() : "";
  state_->parser = &parser_;
  state_->bytes = std::string_view(bytes, message.EnvelopeLength());
  state_->budget.limit = DecodeBudget::ForMessage(message.EnvelopeLength());
  try {
    const uint32_t length = message.EnvelopeLength();
    std::u16string_view text =
        length <= internal::kSmallSourceBytes
            ? xml::XmlParser::DecodeXmlBytes(bytes, length, state_->small_source)
            : xml::XmlParser::DecodeXmlBytes(bytes, length, state_->large_source);
    // Bytes read in place may change under the records: they keep their own.
    const auto at = reinterpret_cast<uintptr_t>(text.data());
    const auto first = reinterpret_cast<uintptr_t>(bytes);
    if (at >= first && at <= first + length) {
      if (length <= internal::kSmallSourceBytes) {
        state_->small_source.assign(text);
        text = state_->small_source;
      } else {
        state_->large_source.assign(text);
        text = state_->large_source;
      }
    }
    state_->source = text;
    parser_.Parse(text, &dispatcher_);
    dispatcher_.SetRootHandler(nullptr);
  } catch (int line) {
    dispatcher_.SetRootHandler(nullptr);
    if (state_->envelope_seen) message.SetSoapVersion(state_->version);
    state_ = std::make_unique<ParseState>();
    ThrowParseError(line);
  } catch (xml::QVSOAPFault*) {
    dispatcher_.SetRootHandler(nullptr);
    if (state_->envelope_seen) message.SetSoapVersion(state_->version);
    state_ = std::make_unique<ParseState>();
    throw;
  }
  if (!state_->envelope_seen) {
    state_ = std::make_unique<ParseState>();
    ThrowClient(u"SOAP Envelope not found in message.", false);
  }
  message.SetSoapVersion(state_->version);
}

void MessageParser::StoreLiteralBody(SoapMessage& message) {
  if (state_->body.markup.empty()) return;
  if (!message.SetParsedLiteralBody(*this, state_->body, state_->body_encoding)) {
    internal::ThrowFault(xml::kFaultServer, u"Internal error.", true);
  }
}

// ---- request -------------------------------------------------------------------

std::u16string_view RequestParser::RefKey(const Accessor& accessor) const {
  std::u16string_view href = accessor.href;
  if (href.starts_with(u'#')) href.remove_prefix(1);
  return href;
}

void RequestParser::Parse(SoapMessage& message, Idorvish2* reader) {
  RunParse(message, false);
  if (state_->wrapper && reader) {
    Bstr style;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (SUCCEEDED(reader->GetSOAPBindingStyle(style.Receive(), &ok)) && ok == VARIANT_TRUE &&
        style.View() == u"rpc") {
      message.SetMethodName(state_->wrapper->local_name);
      message.SetMethodNamespace(state_->wrapper->namespace_uri);
    }
  }
}

// ---- response ------------------------------------------------------------------

std::u16string_view ResponseParser::RefKey(const Accessor& accessor) const {
  // A SOAP 1.2 ref has no '#' to drop: cutting its first character would
  // name another id. An empty reference never reaches here.
  if (accessor.soap_version != xml::kSoapVersion11) return accessor.href;
  return std::u16string_view(accessor.href).substr(1);
}

void ResponseParser::Parse(SoapMessage& message, Idorvish2*) { RunParse(message, true); }

}  // namespace message
