#include "message/envelope_serializer.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/soapstruct.h"
#include "interfaces/soapstruct_members.h"
#include "message/digest_block_types.h"
#include "message/internal/faults.h"
#include "message/message_parser.h"
#include "message/soap_message.h"
#include "message/xsd_types.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"
#include "xml/codecs.h"
#include "xml/namespaces.h"
#include "xml/shared_string.h"
#include "xml/xml_writer.h"

namespace message {

namespace {

using xml::XmlElement;
using xml::XmlElementPtr;

constexpr std::u16string_view kEmptyRoleMarker = u"\"\"";

// `ok` by reference: it is read after the call that fills it has run.
bool Ok(HRESULT hr, const VARIANT_BOOL& ok) { return SUCCEEDED(hr) && ok == VARIANT_TRUE; }

std::u16string_view EnvelopeNs(int version) {
  return version == xml::kSoapVersion11 ? xml::kSoap11EnvelopeNamespace
                                        : xml::kSoap12EnvelopeNamespace;
}
std::u16string_view EncodingNs(int version) {
  return version == xml::kSoapVersion11 ? xml::kSoap11EncodingNamespace
                                        : xml::kSoap12EncodingNamespace;
}
// A type of the digest header blocks, written from its own definition.
bool IsDigestType(std::u16string_view name, std::u16string_view ns) {
  return ns == xml::kDigestAuthNamespace && !DigestBlockMembers(name).empty();
}
bool IsSimpleTypeNs(std::u16string_view ns) {
  return xml::IsXmlSchemaNamespace(ns) || xml::IsSoapEncodingNamespace(ns);
}

// An element in `ns` written as prefix:local with the prefix bound on it; with
// an empty namespace the bare name and no declaration (xmlns:p="" is not
// legal XML).
XmlElementPtr NewElement(std::u16string_view prefix, std::u16string_view ns,
                         std::u16string_view local) {
  if (ns.empty()) {
    return std::make_unique<XmlElement>(std::u16string(local), xml::SharedString(),
                                        xml::StringInterner::Share(local));
  }
  std::u16string qname(prefix);
  qname += u':';
  qname += local;
  auto element = std::make_unique<XmlElement>(std::move(qname), xml::StringInterner::Share(ns),
                                              xml::StringInterner::Share(local));
  element->AddNamespace(prefix, ns);
  return element;
}

XmlElementPtr NewEnvElement(int version, std::u16string_view local) {
  return NewElement(u"SOAP-ENV", EnvelopeNs(version), local);
}

void AddAttr(XmlElement& element, std::u16string_view qname, std::u16string_view ns,
             std::u16string_view value) {
  element.AddAttributeNode(qname, ns, value);
}

// "p:name" for a name in a namespace bound to p on `element`; the bare name
// when the namespace is empty.
std::u16string TreeQualifiedValue(XmlElement& element, std::u16string_view prefix,
                              std::u16string_view ns, std::u16string_view name) {
  if (ns.empty()) return std::u16string(name);
  element.AddNamespace(prefix, ns);
  std::u16string value(prefix);
  value += u':';
  value += name;
  return value;
}

// Copies `element`'s names, scope and attributes, not its text or children.
XmlElementPtr ShallowCopy(XmlElement& element) {
  xml::ChildList children;
  children.swap(element.GetChildList());
  std::u16string text = std::move(element.GetMutableText());
  element.GetMutableText().clear();
  XmlElementPtr copy = XmlElement::DeepCopy(element);
  element.GetChildList().swap(children);
  element.GetMutableText() = std::move(text);
  return copy;
}

[[noreturn]] void ThrowArrayFault(const char16_t* text) {
  internal::ThrowFault(xml::kFaultServer, text, true);
}

// A view of one SAFEARRAY cell as a VARIANT (not owning: never cleared).
VARIANT CellView(VARTYPE vt, const void* cell, ULONG size) {
  VARIANT view;
  VariantInit(&view);
  if (vt == VT_VARIANT) return *static_cast<const VARIANT*>(cell);
  if (vt == VT_DECIMAL) {
    memcpy(&view.decVal, cell, sizeof(DECIMAL));
  } else {
    memcpy(&view.llVal, cell, size < sizeof(view.llVal) ? size : sizeof(view.llVal));
  }
  view.vt = vt;
  return view;
}

// ---- value elements, written as they are met ---------------------------------
//
// A value's element goes straight into the output text: no tree is built for
// the values, which may number hundreds of thousands. Each element is first
// described as a tree element would be (its names, the prefixes it binds and
// its attributes, stored by the tree's rules), so that its start tag has the
// bytes the tree writer gave it.

// An attribute as the tree keeps it: the parts of its key (xml::AttributeKey),
// its qualified name and its value, stored in its Tag.
struct TagAttribute {
  std::u16string_view part1, part2, part3, ns;
  std::u16string_view qname;
  size_t value_at = 0;
  size_t value_size = 0;
};

// Code-unit order of the parts joined, as the tree orders attribute keys.
int CompareJoined(const std::u16string_view (&a)[3], const std::u16string_view (&b)[3]) {
  size_t i = 0, j = 0, ai = 0, bj = 0;
  for (;;) {
    while (i < 3 && ai == a[i].size()) ++i, ai = 0;
    while (j < 3 && bj == b[j].size()) ++j, bj = 0;
    if (i == 3 || j == 3) return i == 3 && j == 3 ? 0 : (i == 3 ? -1 : 1);
    const char16_t ca = a[i][ai++], cb = b[j][bj++];
    if (ca != cb) return ca < cb ? -1 : 1;
  }
}

int CompareKeys(const TagAttribute& a, const TagAttribute& b) {
  const std::u16string_view pa[3] = {a.part1, a.part2, a.part3};
  const std::u16string_view pb[3] = {b.part1, b.part2, b.part3};
  if (int r = CompareJoined(pa, pb); r != 0) return r;
  return a.ns.compare(b.ns);
}

struct Binding {
  std::u16string_view prefix, uri;
};

// One value element before its start tag is written. The views it keeps
// (names, URIs, attribute names) belong to the caller and live until then;
// the attribute values are its own. Tags are reused from element to element,
// so their buffers stop growing after the first few.
class Tag {
 public:
  // The element NewElement would make: prefix:local bound to `ns`, or the bare
  // name in no namespace.
  void Reset(std::u16string_view prefix, std::u16string_view ns, std::u16string_view local) {
    bindings_.clear();
    attributes_.clear();
    values_.clear();
    ns_ = ns;
    local_ = local;
    qname_.clear();
    if (ns.empty()) {
      qname_ = local;
      return;
    }
    qname_.append(prefix).append(1, u':').append(local);
    AddNamespace(prefix, ns);
  }

  // The URI this element binds to `prefix`, or null.
  const std::u16string_view* Lookup(std::u16string_view prefix) const {
    for (const Binding& b : bindings_) {
      if (b.prefix == prefix) return &b.uri;
    }
    return nullptr;
  }
  // As XmlElement::AddNamespace: a prefix already bound stays as it is.
  void AddNamespace(std::u16string_view prefix, std::u16string_view uri) {
    if (!Lookup(prefix)) bindings_.push_back({prefix, uri});
  }
  // As XmlElement::AddAttributeNode: refused for an empty prefix or URI, a
  // prefix bound to another URI, or a key already present.
  bool AddAttribute(std::u16string_view qname, std::u16string_view uri,
                    std::u16string_view value) {
    TagAttribute attribute;
    attribute.qname = qname;
    const size_t colon = qname.find(u':');
    bool bind = false;
    std::u16string_view prefix;
    if (colon == std::u16string_view::npos) {
      attribute.part1 = ns_;
      attribute.part2 = local_;
      attribute.part3 = qname;
    } else {
      prefix = qname.substr(0, colon);
      if (prefix.empty() || uri.empty()) return false;
      const std::u16string_view* bound = Lookup(prefix);
      if (bound && *bound != uri) return false;
      bind = bound == nullptr;
      attribute.part1 = uri;
      attribute.part3 = qname.substr(colon + 1);
      attribute.ns = uri;
    }
    for (const TagAttribute& present : attributes_) {
      if (CompareKeys(present, attribute) == 0) return false;
    }
    if (bind) bindings_.push_back({prefix, uri});
    attribute.value_at = values_.size();
    attribute.value_size = value.size();
    values_.append(value);
    attributes_.push_back(attribute);
    return true;
  }

  std::u16string_view QualifiedName() const { return qname_; }
  std::u16string_view NamespaceUri() const { return ns_; }
  std::u16string_view LocalName() const { return local_; }

  // `<name attributes declarations` as the tree writer writes them; returns
  // the default namespace in force for the children.
  template <typename Parent>
  std::u16string_view WriteStart(const Parent& parent, std::u16string_view in_force,
                                 xml::Utf8Buffer& out) {
    out.Append('<');
    out.AppendWide(qname_);
    // Insertion sorts: an element has a handful of each.
    order_.clear();
    for (size_t i = 0; i < attributes_.size(); ++i) {
      size_t at = order_.size();
      while (at > 0 && CompareKeys(attributes_[order_[at - 1]], attributes_[i]) > 0) --at;
      order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(at), i);
    }
    for (size_t i : order_) {
      const TagAttribute& a = attributes_[i];
      out.Append(' ');
      out.AppendWide(a.qname);
      out.Append("=\"");
      out.AppendEscaped(std::u16string_view(values_).substr(a.value_at, a.value_size), true);
      out.Append('"');
    }
    sorted_.assign(bindings_.begin(), bindings_.end());
    std::sort(sorted_.begin(), sorted_.end(),
              [](const Binding& a, const Binding& b) { return a.prefix < b.prefix; });
    bool declared_default = false;
    for (const Binding& b : sorted_) {
      const std::u16string_view* bound = parent.Lookup(b.prefix);
      if (bound && *bound == b.uri) continue;
      if (b.prefix == u"xml" && b.uri == xml::kXmlNamespace && !bound) continue;
      Declare(b.prefix, b.uri, out);
      if (b.prefix.empty()) {
        declared_default = true;
        in_force = b.uri;
      }
    }
    if (!declared_default && !in_force.empty() && !local_.empty() && ns_.empty() &&
        qname_.find(u':') == std::u16string::npos) {
      Declare(u"", u"", out);
      in_force = {};
    }
    return in_force;
  }

 private:
  static void Declare(std::u16string_view prefix, std::u16string_view uri, xml::Utf8Buffer& out) {
    out.Append(prefix.empty() ? " xmlns" : " xmlns:");
    out.AppendWide(prefix);
    out.Append("=\"");
    out.AppendEscaped(uri, true);
    out.Append('"');
  }

  std::u16string qname_;
  std::u16string_view ns_, local_;
  std::vector<Binding> bindings_;
  std::vector<TagAttribute> attributes_;
  std::u16string values_;
  std::vector<size_t> order_;
  std::vector<Binding> sorted_;
};

// What a value element is written under: a Tag of the stream or an element of
// the tree, and the default namespace its ancestors declared.
struct Place {
  Place(const Tag* tag, const XmlElement* tree, std::u16string_view in_force)
      : tag(tag), tree(tree), in_force(in_force) {}

  const Tag* tag;
  const XmlElement* tree;
  std::u16string_view in_force;

  // The URI the parent binds to `prefix` (the tree writer's test), or null.
  const std::u16string_view* Lookup(std::u16string_view prefix) const {
    if (tag) return tag->Lookup(prefix);
    if (!tree) return nullptr;
    const std::u16string* uri = tree->LookupNamespace(prefix);
    if (!uri) return nullptr;
    found_ = *uri;
    return &found_;
  }

 private:
  mutable std::u16string_view found_;
};

// Attributes a caller adds to the outermost element of a value once it is
// made (a header block's, a fault detail's): applied after the value's own.
struct ExtraAttribute {
  std::u16string_view qname, uri, value;
};
using Extras = std::span<const ExtraAttribute>;

// The text of a simple value: UTF-16 to escape, or ASCII as it stands.
struct ValueText {
  std::u16string_view wide;
  const std::string* ascii = nullptr;
  Variant owner;  // keeps `wide` alive when it was converted
  bool empty() const { return ascii ? ascii->empty() : wide.empty(); }
};

class Writer {
 public:
  Writer(SoapMessage& message, Idorvish2* reader)
      : message_(message),
        reader_(reader),
        version_(message.GetSoapVersion()),
        method_(message.GetMethodName()) {}

  bool BodyMessage();
  bool FaultMessage();
  // The written document, for the caller to free; null when there is none.
  char* Release(size_t* length) { return out_.Release(length); }

 private:
  XmlElementPtr Envelope(XmlElementPtr* copied_header);
  // Writes the Header and its blocks when there are any.
  bool HeaderBlocks(const XmlElement& envelope, std::u16string_view in_force,
                    XmlElementPtr copied_header, bool fault);
  bool HeaderBlock(const message::HeaderBlock& block, bool fault, const XmlElement& header,
                   std::u16string_view in_force);
  // A block's type and encoding as the endpoint's description gives them;
  // false when it gives no type.
  bool DescribedHeaderBlock(const message::HeaderBlock& block, bool fault, std::u16string* type,
                            std::u16string* type_ns, std::u16string* encoding);
  bool RpcBody(const XmlElement& envelope, std::u16string_view in_force);
  std::vector<const MethodParam*> OutputOrder();
  XmlElementPtr LiteralBody();
  bool ParamType(std::u16string_view name, Bstr* type, Bstr* type_ns);

  // Tree elements around the values: the start tag now, the end at Close.
  std::u16string_view Open(const XmlElement& element, const XmlElement* parent,
                           std::u16string_view in_force);
  void Close(std::u16string_view qname);
  // Ends a start tag still open before content is written into it.
  void Seal() {
    if (open_) out_.Append('>');
    open_ = false;
  }

  // A struct member's described type, asked of the reader once per message:
  // every item of an array of structs asks the same questions.
  struct MemberType {
    std::u16string type, type_ns;
  };
  struct MemberKeyView {
    std::u16string_view type, type_ns, name, ns;
    auto operator<=>(const MemberKeyView&) const = default;
  };
  struct MemberKey {
    std::u16string type, type_ns, name, ns;
    MemberKeyView View() const { return {type, type_ns, name, ns}; }
  };
  struct MemberKeyLess {
    using is_transparent = void;
    static MemberKeyView V(const MemberKey& k) { return k.View(); }
    static MemberKeyView V(const MemberKeyView& k) { return k; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      return V(a) < V(b);
    }
  };
  using TypeCache = std::map<MemberKey, std::optional<MemberType>, MemberKeyLess>;
  // The cached answer for `key`, asked with `ask` on a miss; null when the
  // reader has none.
  template <typename Ask>
  const MemberType* Described(TypeCache& cache, const MemberKeyView& key, Ask ask);
  // Null when the reader does not describe the member.
  const MemberType* StructMemberType(std::u16string_view type, std::u16string_view type_ns,
                                     std::u16string_view name, std::u16string_view ns);
  // A complex type's base type; null when the reader has none.
  const MemberType* BaseType(std::u16string_view type, std::u16string_view type_ns);

  // Value writers: false means the value cannot be written (what was written
  // of it is then thrown away with the whole document).
  bool Value(const Place& place, std::u16string_view prefix, std::u16string_view ns,
             std::u16string_view name, std::u16string_view type, std::u16string_view type_ns,
             const VARIANT& value, std::u16string_view encoding, bool literal, Extras extras);
  bool Complex(const Place& place, std::u16string_view prefix, std::u16string_view ns,
               std::u16string_view name, std::u16string_view type, std::u16string_view type_ns,
               const VARIANT& value, std::u16string_view encoding, bool literal, Extras extras);
  bool EncodedArray(Tag& tag, const Place& place, Extras extras, std::u16string_view type,
                    std::u16string_view type_ns, const VARIANT& value,
                    std::u16string_view encoding);
  bool LiteralArray(Tag& tag, const Place& place, Extras extras, std::u16string_view type,
                    std::u16string_view type_ns, const VARIANT& value);
  bool Struct(Tag& tag, const Place& place, Extras extras, std::u16string_view type,
              std::u16string_view type_ns, const VARIANT& value, std::u16string_view encoding,
              bool literal);
  // Writes one member; false when it cannot be written, and *described false
  // (nothing written) when the reader does not describe it.
  bool Member(const Tag& parent, std::u16string_view children_in_force,
              const MemberType* member_type, std::u16string_view name, std::u16string_view ns,
              const VARIANT& value, std::u16string_view encoding, bool literal);

  // A struct type's members in the order its first struct had them, with
  // their described types: the structs of an array repeat that order, so a
  // member is found by its place before it is looked up by its names.
  struct StructShape {
    std::u16string type, type_ns;
    struct Entry {
      std::u16string name, ns;
      const MemberType* type;  // null: not described
    };
    std::vector<Entry> members;
  };
  StructShape& ShapeOf(std::u16string_view type, std::u16string_view type_ns);
  // The described type of the member at `index` of a struct of `shape`.
  const MemberType* MemberAt(StructShape& shape, size_t index, std::u16string_view name,
                             std::u16string_view ns);
  void SetNil(Tag& tag, std::u16string_view schema_ns);
  bool WriteText(int code, const VARIANT& value, ValueText* text);
  // "prefix:name" with the prefix bound on `tag`; the bare name when `ns` is
  // empty. The text lives in scratch_ until the next call.
  std::u16string_view QualifiedValue(Tag& tag, std::u16string_view prefix,
                                     std::u16string_view ns, std::u16string_view name);

  // A Tag for the element about to be written, reused at its depth.
  Tag& TakeTag();
  // The start tag of a value element with children; they follow, then End.
  std::u16string_view StartComplex(Tag& tag, const Place& place, Extras extras);
  void EndComplex(const Tag& tag) { Close(tag.QualifiedName()); }
  // A value element with its text and no children.
  void WriteLeaf(Tag& tag, const Place& place, Extras extras, const ValueText& text);

  SoapMessage& message_;
  Idorvish2* reader_;
  const int version_;
  const Bstr method_;
  xml::Utf8Buffer out_;
  bool open_ = false;  // the last start tag written still lacks its '>'
  // Guards against values that contain themselves or nest past what the
  // stack can hold.
  int depth_ = 0;
  std::vector<IUnknown*> open_structs_;  // identities on the path being written
  std::vector<std::unique_ptr<Tag>> tags_;
  size_t tags_used_ = 0;
  std::u16string scratch_;
  std::string ascii_;
  TypeCache member_types_;
  TypeCache base_types_;
  std::vector<std::unique_ptr<StructShape>> shapes_;
};

// Counts one level of nesting for the writer's life of a Complex call.
class NestingGuard {
 public:
  explicit NestingGuard(int& depth) : depth_(depth) {
    if (++depth_ > kMaxSerializeDepth) {
      internal::ThrowFault(xml::kFaultServer, u"Value nests too deeply to be serialized.", true);
    }
  }
  ~NestingGuard() { --depth_; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;

 private:
  int& depth_;
};

// Gives back the Tag a writer took, however it leaves.
class TagLease {
 public:
  explicit TagLease(size_t& used) : used_(used) {}
  ~TagLease() { --used_; }
  TagLease(const TagLease&) = delete;
  TagLease& operator=(const TagLease&) = delete;

 private:
  size_t& used_;
};

Tag& Writer::TakeTag() {
  if (tags_used_ == tags_.size()) tags_.push_back(std::make_unique<Tag>());
  return *tags_[tags_used_++];
}

std::u16string_view Writer::Open(const XmlElement& element, const XmlElement* parent,
                                 std::u16string_view in_force) {
  Seal();
  in_force = xml::WriteStartTag(element, parent, in_force, out_);
  open_ = true;
  return in_force;
}

void Writer::Close(std::u16string_view qname) {
  if (open_) {
    out_.Append(" />");
    open_ = false;
    return;
  }
  out_.Append("</");
  out_.AppendWide(qname);
  out_.Append('>');
}

std::u16string_view Writer::StartComplex(Tag& tag, const Place& place, Extras extras) {
  for (const ExtraAttribute& a : extras) tag.AddAttribute(a.qname, a.uri, a.value);
  Seal();
  const std::u16string_view in_force = tag.WriteStart(place, place.in_force, out_);
  open_ = true;
  return in_force;
}

void Writer::WriteLeaf(Tag& tag, const Place& place, Extras extras, const ValueText& text) {
  for (const ExtraAttribute& a : extras) tag.AddAttribute(a.qname, a.uri, a.value);
  Seal();
  tag.WriteStart(place, place.in_force, out_);
  if (text.empty()) {
    out_.Append(" />");
    return;
  }
  out_.Append('>');
  if (text.ascii) {
    out_.Append(*text.ascii);  // digits, dates and encodings: nothing to escape
  } else {
    out_.AppendEscaped(text.wide, /*attribute=*/false);
  }
  out_.Append("</");
  out_.AppendWide(tag.QualifiedName());
  out_.Append('>');
}

std::u16string_view Writer::QualifiedValue(Tag& tag, std::u16string_view prefix,
                                           std::u16string_view ns, std::u16string_view name) {
  if (ns.empty()) return name;
  tag.AddNamespace(prefix, ns);
  scratch_.assign(prefix).append(1, u':').append(name);
  return scratch_;
}

void Writer::SetNil(Tag& tag, std::u16string_view schema_ns) {
  std::u16string_view instance = xml::SchemaInstanceNamespace(schema_ns);
  if (instance.empty()) instance = xml::kXmlSchemaInstanceNamespace;
  if (instance == xml::kXmlSchemaInstance1999Namespace) {
    tag.AddAttribute(u"xsi:null", instance, u"1");
  } else {
    tag.AddAttribute(u"xsi:nil", instance, u"true");
  }
}

// The text of a value whose written type has `code`. False when the value is
// not of a form the type can carry.
bool Writer::WriteText(int code, const VARIANT& value, ValueText* text) {
  ascii_.clear();
  switch (code) {
    case kTypeDate:
    case kTypeTime:
    case kTypeDateTime: {
      Variant date;
      if (FAILED(VariantChangeType(&date, &value, 0, VT_DATE))) return false;
      text->ascii = &ascii_;
      if (code == kTypeDate) return xml::FormatXsdDate(date.date, ascii_);
      if (code == kTypeTime) return xml::FormatXsdTime(date.date, ascii_);
      return xml::FormatXsdDateTime(date.date, ascii_);
    }
    case kTypeBase64:
    case kTypeHex:
      if (value.vt != (VT_ARRAY | VT_UI1)) return false;
      text->ascii = &ascii_;
      if (!value.parray) return true;  // an unfilled byte array is written empty
      return code == kTypeBase64 ? xml::EncodeBase64Binary(value.parray, ascii_)
                                 : xml::EncodeHexBinary(value.parray, ascii_);
    case kTypeBoolean: {
      Variant flag;
      if (FAILED(VariantChangeType(&flag, &value, 0, VT_BOOL))) return false;
      text->wide = flag.boolVal ? u"1" : u"0";
      return true;
    }
    default: {
      if (value.vt == VT_BSTR) {  // already text: no converted copy
        text->wide = BstrView(value.bstrVal);
        return true;
      }
      // A number's digits need no string of their own; what has no digits
      // (a non-finite number) takes the general path and its fault.
      if (SUCCEEDED(VarScalarToText(value, &ascii_))) {
        text->ascii = &ascii_;
        return true;
      }
      if (FAILED(VariantChangeType(&text->owner, &value, 0, VT_BSTR))) {
        // Non-finite numbers among them: they have no form in XML.
        internal::ThrowFault(xml::kFaultServer, u"Unable to convert parameter value to text.",
                             true);
      }
      text->wide = BstrView(text->owner.bstrVal);
      return true;
    }
  }
}

bool Writer::Value(const Place& place, std::u16string_view prefix, std::u16string_view ns,
                   std::u16string_view name, std::u16string_view type,
                   std::u16string_view type_ns, const VARIANT& in, std::u16string_view encoding,
                   bool literal, Extras extras) {
  // Copied only to see through a reference: a copy of each string written
  // would cost an allocation per value.
  Variant deref;
  if ((in.vt & VT_BYREF) && FAILED(VariantCopyInd(&deref, &in))) return false;
  const VARIANT& value = (in.vt & VT_BYREF) ? deref : in;
  Tag& tag = TakeTag();
  const TagLease lease(tags_used_);
  tag.Reset(prefix, ns, name);
  ValueText text;
  if (value.vt == VT_NULL) {
    SetNil(tag, type_ns);
    WriteLeaf(tag, place, extras, text);
    return true;
  }
  if (value.vt == VT_UNKNOWN && !literal) {
    std::u16string id;
    if (!xml::MakeMessageId(id)) return false;
    if (encoding.starts_with(xml::kSoap11EncodingNamespace)) {
      tag.AddAttribute(u"href", u"", id);
    } else {
      tag.AddAttribute(u"SOAP-ENC:ref", xml::kSoap12EncodingNamespace, id);
    }
    if (!message_.AddAttachment(message_.IsRequestPhase(), id, u"", 3, value.punkVal, nullptr, 0)) {
      return false;
    }
    WriteLeaf(tag, place, extras, text);
    return true;
  }
  int code = 0;
  if (!LookupXsdType(type, &code)) return false;
  std::u16string_view written = type;
  bool always_typed = false;
  if (code == kTypeAny) {
    always_typed = true;
    switch (value.vt) {
      case VT_I2:
        written = u"short";
        break;
      case VT_I4:
        written = u"int";
        break;
      case VT_R4:
        written = u"float";
        break;
      case VT_R8:
        written = u"double";
        break;
      case VT_DATE:
        written = type_ns == xml::kXmlSchema1999Namespace ? u"timeInstant" : u"dateTime";
        break;
      case VT_BSTR:
        written = u"string";
        break;
      case VT_BOOL:
        written = u"boolean";
        break;
      case VT_DECIMAL:
        written = u"decimal";
        break;
      case VT_I1:
        written = u"byte";
        break;
      case VT_UI1:
        written = u"unsignedByte";
        break;
      case VT_UI2:
        written = u"unsignedShort";
        break;
      case VT_UI4:
        written = u"unsignedInt";
        break;
      default:
        return false;
    }
    LookupXsdType(written, &code);
  }
  if (!WriteText(code, value, &text)) return false;
  if (always_typed || message_.IsExplicitTyping()) {
    std::u16string_view schema = IsSimpleTypeNs(type_ns) && xml::IsXmlSchemaNamespace(type_ns)
                                     ? type_ns
                                     : xml::kXmlSchemaNamespace;
    std::u16string_view instance = xml::SchemaInstanceNamespace(schema);
    tag.AddAttribute(u"xsi:type", instance, QualifiedValue(tag, u"ns", schema, written));
  }
  if (!literal && version_ != xml::kSoapVersion11 && message_.IsNodeTypeEnabled()) {
    tag.AddAttribute(u"SOAP-ENC:nodeType", xml::kSoap12EncodingNamespace, u"simple");
  }
  WriteLeaf(tag, place, extras, text);
  return true;
}

bool Writer::Complex(const Place& place, std::u16string_view prefix, std::u16string_view ns,
                     std::u16string_view name, std::u16string_view type,
                     std::u16string_view type_ns, const VARIANT& in,
                     std::u16string_view encoding, bool literal, Extras extras) {
  const NestingGuard nesting(depth_);
  // Only a reference is copied, to see through it: an array copied whole
  // would cost as much as the array.
  Variant deref;
  if ((in.vt & VT_BYREF) && FAILED(VariantCopyInd(&deref, &in))) return false;
  const VARIANT& value = (in.vt & VT_BYREF) ? deref : in;
  Tag& tag = TakeTag();
  const TagLease lease(tags_used_);
  if (literal) {
    const Bstr type_b(type), type_ns_b(type_ns);
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr item, item_ns, item_name, item_name_ns;
    if (Ok(reader_->GetArrayTypeLit(type_b.Get(), type_ns_b.Get(), item.Receive(),
                                    item_ns.Receive(), item_name.Receive(), item_name_ns.Receive(),
                                    &ok),
           ok)) {
      tag.Reset(prefix, ns, name);
      return LiteralArray(tag, place, extras, type, type_ns, value);
    }
    tag.Reset(prefix, ns, name);
    return Struct(tag, place, extras, type, type_ns, value, encoding, true);
  }
  const MemberType* described = BaseType(type, type_ns);
  if (!described) return false;
  const std::u16string_view base = described->type, base_ns = described->type_ns;
  const bool soap_enc = xml::IsSoapEncodingNamespace(base_ns);
  if (soap_enc && base == u"Array") {
    tag.Reset(prefix, ns, name);
    return EncodedArray(tag, place, extras, type, type_ns, value, encoding);
  }
  if ((soap_enc && base == u"Struct") || (!soap_enc && !xml::IsXmlSchemaNamespace(base_ns))) {
    tag.Reset(prefix, ns, name);
    return Struct(tag, place, extras, type, type_ns, value, encoding, false);
  }
  return false;
}

bool Writer::EncodedArray(Tag& tag, const Place& place, Extras extras, std::u16string_view type,
                          std::u16string_view type_ns, const VARIANT& value,
                          std::u16string_view encoding) {
  if ((value.vt & VT_ARRAY) == 0) ThrowArrayFault(u"Error while serializing array parameter.");
  SAFEARRAY* array = value.parray;
  if (!array) {
    // An output the service left unfilled.
    SetNil(tag, xml::kXmlSchemaNamespace);
    WriteLeaf(tag, place, extras, ValueText{});
    return true;
  }
  Bstr item_type, item_ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const Bstr type_b(type), type_ns_b(type_ns);
  if (!Ok(reader_->GetArrayType(type_b.Get(), type_ns_b.Get(), item_type.Receive(),
                                item_ns.Receive(), &ok),
          ok)) {
    ThrowArrayFault(u"Error while serializing array parameter.");
  }
  const std::u16string qualified_item(
      QualifiedValue(tag, u"nsa", item_ns.View(), item_type.View()));
  const bool soap11 = encoding.starts_with(xml::kSoap11EncodingNamespace);
  std::u16string sizes, offsets;
  uint64_t cells = array->cDims ? 1 : 0;
  for (USHORT d = 0; d < array->cDims; ++d) {
    const SAFEARRAYBOUND& bound = array->rgsabound[d];
    cells *= bound.cElements;
    if (d) {
      sizes += soap11 ? u"," : u" ";
      offsets += u",";
    }
    // SOAP 1.1 keeps a partly sent array's full extent with its offset; SOAP
    // 1.2 has no offset, so its size is the count.
    const int64_t size = soap11 ? int64_t{bound.cElements} + bound.lLbound : bound.cElements;
    sizes += text::Widen(std::to_string(size));
    offsets += text::Widen(std::to_string(bound.lLbound));
  }
  if (soap11) {
    tag.AddAttribute(u"SOAP-ENC:arrayType", xml::kSoap11EncodingNamespace,
                     qualified_item + u"[" + sizes + u"]");
    tag.AddAttribute(u"SOAP-ENC:offset", xml::kSoap11EncodingNamespace, u"[" + offsets + u"]");
  } else {
    tag.AddAttribute(u"SOAP-ENC:itemType", xml::kSoap12EncodingNamespace, qualified_item);
    tag.AddAttribute(u"SOAP-ENC:arraySize", xml::kSoap12EncodingNamespace, sizes);
  }
  if (message_.IsExplicitTyping()) {
    tag.AddNamespace(u"SOAP-ENC", EncodingNs(version_));
    tag.AddAttribute(u"xsi:type", xml::kXmlSchemaInstanceNamespace, u"SOAP-ENC:Array");
  }
  if (version_ != xml::kSoapVersion11 && message_.IsNodeTypeEnabled()) {
    tag.AddAttribute(u"SOAP-ENC:nodeType", xml::kSoap12EncodingNamespace, u"array");
  }
  const bool simple = IsSimpleTypeNs(item_ns.View());
  VARTYPE vt = VT_EMPTY;
  SafeArrayGetVartype(array, &vt);
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) {
    ThrowArrayFault(u"Error while serializing array parameter.");
  }
  struct Unaccess {
    SAFEARRAY* a;
    ~Unaccess() { SafeArrayUnaccessData(a); }
  } unaccess{array};
  const Place items{&tag, nullptr, StartComplex(tag, place, extras)};
  const ULONG size = array->cbElements;
  for (uint64_t i = 0; i < cells; ++i) {
    const VARIANT cell = CellView(vt, static_cast<const char*>(data) + i * size, size);
    bool written;
    const char16_t* failure = u"Error while serializing 'array' parameter.";
    if (simple) {
      written = Value(items, u"", u"", u"item", item_type.View(), item_ns.View(), cell, encoding,
                      false, {});
    } else {
      const bool nested = (cell.vt & VT_ARRAY) != 0;
      failure = nested ? u"Error while serializing 'array of array' parameter."
                       : u"Error while serializing 'array of struct' parameter.";
      written = Complex(items, u"", u"", u"item", item_type.View(), item_ns.View(), cell,
                        encoding, false, {});
    }
    if (!written) ThrowArrayFault(failure);
  }
  EndComplex(tag);
  return true;
}

bool Writer::LiteralArray(Tag& tag, const Place& place, Extras extras, std::u16string_view type,
                          std::u16string_view type_ns, const VARIANT& value) {
  if ((value.vt & VT_ARRAY) == 0) {
    ThrowArrayFault(u"Error while serializing literal array parameter.");
  }
  SAFEARRAY* array = value.parray;
  if (!array) {
    SetNil(tag, xml::kXmlSchemaNamespace);
    WriteLeaf(tag, place, extras, ValueText{});
    return true;
  }
  Bstr item_type, item_ns, item_name, item_name_ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const Bstr type_b(type), type_ns_b(type_ns);
  if (!Ok(reader_->GetArrayTypeLit(type_b.Get(), type_ns_b.Get(), item_type.Receive(),
                                   item_ns.Receive(), item_name.Receive(), item_name_ns.Receive(),
                                   &ok),
          ok)) {
    ThrowArrayFault(u"Error while serializing literal array parameter.");
  }
  if (message_.IsExplicitTyping()) {
    tag.AddAttribute(u"xsi:type", xml::kXmlSchemaInstanceNamespace,
                     QualifiedValue(tag, u"nss", type_ns, type));
  }
  const bool simple = IsSimpleTypeNs(item_ns.View());
  VARTYPE vt = VT_EMPTY;
  SafeArrayGetVartype(array, &vt);
  uint64_t cells = array->cDims ? 1 : 0;
  for (USHORT d = 0; d < array->cDims; ++d) cells *= array->rgsabound[d].cElements;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) {
    ThrowArrayFault(u"Error while serializing literal array parameter.");
  }
  struct Unaccess {
    SAFEARRAY* a;
    ~Unaccess() { SafeArrayUnaccessData(a); }
  } unaccess{array};
  const Place items{&tag, nullptr, StartComplex(tag, place, extras)};
  const ULONG size = array->cbElements;
  for (uint64_t i = 0; i < cells; ++i) {
    const VARIANT cell = CellView(vt, static_cast<const char*>(data) + i * size, size);
    bool written;
    const char16_t* failure = u"Error while serializing 'array of simple type' literal parameter.";
    if (simple) {
      written = Value(items, u"nsb", item_name_ns.View(), item_name.View(), item_type.View(),
                      item_ns.View(), cell, u"", true, {});
    } else {
      failure = (cell.vt & VT_ARRAY)
                    ? u"Error while serializing 'array of array' literal parameter."
                    : u"Error while serializing 'array of struct' literal parameter.";
      written = Complex(items, u"nsb", item_name_ns.View(), item_name.View(), item_type.View(),
                        item_ns.View(), cell, u"", true, {});
    }
    if (!written) ThrowArrayFault(failure);
  }
  EndComplex(tag);
  return true;
}

Writer::StructShape& Writer::ShapeOf(std::u16string_view type, std::u16string_view type_ns) {
  for (const auto& shape : shapes_) {
    if (shape->type == type && shape->type_ns == type_ns) return *shape;
  }
  shapes_.push_back(std::make_unique<StructShape>());
  shapes_.back()->type = type;
  shapes_.back()->type_ns = type_ns;
  return *shapes_.back();
}

const Writer::MemberType* Writer::MemberAt(StructShape& shape, size_t index,
                                           std::u16string_view name, std::u16string_view ns) {
  if (index < shape.members.size()) {
    const StructShape::Entry& entry = shape.members[index];
    if (entry.name == name && entry.ns == ns) return entry.type;
  }
  const MemberType* type = StructMemberType(shape.type, shape.type_ns, name, ns);
  if (index == shape.members.size()) {
    shape.members.push_back({std::u16string(name), std::u16string(ns), type});
  }
  return type;
}

bool Writer::Member(const Tag& parent, std::u16string_view children_in_force,
                    const MemberType* member_type, std::u16string_view name,
                    std::u16string_view ns, const VARIANT& value, std::u16string_view encoding,
                    bool literal) {
  const Place place{&parent, nullptr, children_in_force};
  const std::u16string_view m_type = member_type->type, m_type_ns = member_type->type_ns;
  const std::u16string_view prefix = literal ? u"nsb" : u"nsm";
  return IsSimpleTypeNs(m_type_ns)
             ? Value(place, prefix, ns, name, m_type, m_type_ns, value, encoding, literal, {})
             : Complex(place, prefix, ns, name, m_type, m_type_ns, value, encoding, literal, {});
}

bool Writer::Struct(Tag& tag, const Place& place, Extras extras, std::u16string_view type,
                    std::u16string_view type_ns, const VARIANT& value,
                    std::u16string_view encoding, bool literal) {
  if (value.vt != VT_DISPATCH) return false;
  if (!value.pdispVal) {
    // An output the service left unfilled.
    SetNil(tag, xml::kXmlSchemaNamespace);
    WriteLeaf(tag, place, extras, ValueText{});
    return true;
  }
  ComPtr<ISoapStruct> fields = com::QueryInterfacePtr<ISoapStruct>(value.pdispVal);
  if (!fields) return false;
  // IUnknown is the object's identity whichever interface holds it.
  ComPtr<IUnknown> identity = com::QueryInterfacePtr<IUnknown>(value.pdispVal);
  if (std::find(open_structs_.begin(), open_structs_.end(), identity.Get()) !=
      open_structs_.end()) {
    internal::ThrowFault(xml::kFaultServer, u"Struct value contains itself; it cannot be serialized.",
                         true);
  }
  open_structs_.push_back(identity.Get());
  struct PopOnExit {
    std::vector<IUnknown*>& open;
    ~PopOnExit() { open.pop_back(); }
  } pop{open_structs_};
  if (message_.IsExplicitTyping()) {
    tag.AddAttribute(u"xsi:type", xml::kXmlSchemaInstanceNamespace,
                     QualifiedValue(tag, u"nss", type_ns, type));
  }
  const std::u16string_view children_in_force = StartComplex(tag, place, extras);
  // Members past the first the reader does not describe are named in the
  // log instead of written.
  std::u16string dropped;
  bool walking = true;
  bool failed = false;
  StructShape& shape = ShapeOf(type, type_ns);
  size_t index = 0;
  auto one = [&](std::u16string_view name, std::u16string_view ns, const VARIANT& member) {
    if (walking) {
      const MemberType* member_type = MemberAt(shape, index++, name, ns);
      walking = member_type != nullptr;
      if (walking && !Member(tag, children_in_force, member_type, name, ns, member, encoding,
                             literal)) {
        failed = true;
        return false;
      }
    }
    if (!walking) {
      if (!dropped.empty()) dropped += u", ";
      dropped += name;
    }
    return true;
  };
  if (ComPtr<ISoapStructMembers> members = com::QueryInterfacePtr<ISoapStructMembers>(fields.Get())) {
    // Read in place: no copy of the names or the values.
    struct Visitor final : SoapMemberVisitor {
      decltype(one)& visit;
      explicit Visitor(decltype(one)& v) : visit(v) {}
      bool Visit(std::u16string_view name, std::u16string_view ns, const VARIANT& value) override {
        return visit(name, ns, value);
      }
    } visitor(one);
    members->VisitMembers(&visitor);
  } else {
    Bstr name, ns;
    Variant member;
    LONG position = 0;
    VARIANT_BOOL more = VARIANT_FALSE;
    fields->GetFirstMember(name.Receive(), ns.Receive(), &member, &position, &more);
    while (more == VARIANT_TRUE) {
      if (!one(name.View(), ns.View(), member)) break;
      VariantClear(&member);
      more = VARIANT_FALSE;
      fields->GetNextMember(name.Receive(), ns.Receive(), &member, &position, &more);
    }
  }
  if (failed) return false;
  EndComplex(tag);
  if (!dropped.empty()) {
    const std::string line =
        "Struct members not described in WSDL were not written: " + text::Narrow(dropped);
    xml::QVSOAPFault note(xml::kFaultServer, text::Widen(line), false);
    xml::ReportEventLog(note);
  }
  return true;
}

template <typename Ask>
const Writer::MemberType* Writer::Described(TypeCache& cache, const MemberKeyView& key, Ask ask) {
  if (auto it = cache.find(key); it != cache.end()) return it->second ? &*it->second : nullptr;
  Bstr type, type_ns;
  std::optional<MemberType> answer;
  if (ask(&type, &type_ns)) {
    answer = MemberType{std::u16string(type.View()), std::u16string(type_ns.View())};
  }
  auto [it, added] = cache.emplace(
      MemberKey{std::u16string(key.type), std::u16string(key.type_ns), std::u16string(key.name),
                std::u16string(key.ns)},
      std::move(answer));
  return it->second ? &*it->second : nullptr;
}

const Writer::MemberType* Writer::StructMemberType(std::u16string_view type,
                                                   std::u16string_view type_ns,
                                                   std::u16string_view name,
                                                   std::u16string_view ns) {
  if (IsDigestType(type, type_ns)) {
    static const MemberType kString{u"string", std::u16string(xml::kXmlSchemaNamespace)};
    static const MemberType kBytes{u"base64Binary", std::u16string(xml::kXmlSchemaNamespace)};
    if (!ns.empty()) return nullptr;
    for (const DigestMemberType& member : DigestBlockMembers(type)) {
      if (member.name == name) return member.type == u"string" ? &kString : &kBytes;
    }
    return nullptr;
  }
  if (!reader_) return nullptr;
  return Described(member_types_, {type, type_ns, name, ns}, [&](Bstr* out, Bstr* out_ns) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    return Ok(reader_->GetStructMemberType(Bstr(type).Get(), Bstr(type_ns).Get(), Bstr(name).Get(),
                                           Bstr(ns).Get(), out->Receive(), out_ns->Receive(), &ok),
              ok);
  });
}

const Writer::MemberType* Writer::BaseType(std::u16string_view type, std::u16string_view type_ns) {
  if (IsDigestType(type, type_ns)) {
    static const MemberType kStruct{u"Struct", std::u16string(xml::kSoap11EncodingNamespace)};
    return &kStruct;
  }
  if (!reader_) return nullptr;
  return Described(base_types_, {type, type_ns, {}, {}}, [&](Bstr* out, Bstr* out_ns) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    return Ok(reader_->GetComplexBaseType(Bstr(type).Get(), Bstr(type_ns).Get(), out->Receive(),
                                          out_ns->Receive(), &ok),
              ok);
  });
}

bool Writer::ParamType(std::u16string_view name, Bstr* type, Bstr* type_ns) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  const Bstr part(name);
  const HRESULT hr = message_.IsRequestPhase()
                         ? reader_->GetInputMsgPartType(method_.Get(), part.Get(), type->Receive(),
                                                        type_ns->Receive(), &ok)
                         : reader_->GetOutputMsgPartType(method_.Get(), part.Get(), type->Receive(),
                                                         type_ns->Receive(), &ok);
  return Ok(hr, ok);
}

bool Writer::DescribedHeaderBlock(const message::HeaderBlock& block, bool fault,
                                  std::u16string* type_out, std::u16string* type_ns_out,
                                  std::u16string* encoding) {
  if (!reader_) return false;
  const Bstr name(block.local_name), ns(block.namespace_uri);
  Bstr type, type_ns, style;
  VARIANT_BOOL ok = VARIANT_FALSE;
  HRESULT hr;
  if (fault) {
    hr = reader_->GetInHeaderFaultPartType(method_.Get(), name.Get(), ns.Get(), type.Receive(),
                                           type_ns.Receive(), &ok);
  } else if (message_.IsRequestPhase()) {
    hr = reader_->GetInputHeaderPartType(method_.Get(), name.Get(), ns.Get(), type.Receive(),
                                         type_ns.Receive(), &ok);
  } else {
    hr = reader_->GetOutputHeaderPartType(method_.Get(), name.Get(), ns.Get(), type.Receive(),
                                          type_ns.Receive(), &ok);
  }
  if (!Ok(hr, ok)) {
    ok = VARIANT_FALSE;
    hr = reader_->GetHeaderElemType(name.Get(), ns.Get(), type.Receive(), type_ns.Receive(), &ok);
    if (!Ok(hr, ok)) return false;
  }
  ok = VARIANT_FALSE;
  if (fault) {
    hr = reader_->GetInHeaderFaultPartEncStyle(method_.Get(), name.Get(), ns.Get(), style.Receive(),
                                               &ok);
  } else if (message_.IsRequestPhase()) {
    hr = reader_->GetInputHeaderPartEncStyle(method_.Get(), name.Get(), ns.Get(), style.Receive(),
                                             &ok);
  } else {
    hr = reader_->GetOutputHeaderPartEncStyle(method_.Get(), name.Get(), ns.Get(), style.Receive(),
                                              &ok);
  }
  *type_out = type.View();
  *type_ns_out = type_ns.View();
  *encoding = Ok(hr, ok) ? style.View() : EncodingNs(version_);
  return true;
}

bool Writer::HeaderBlock(const message::HeaderBlock& block, bool fault, const XmlElement& header,
                         std::u16string_view in_force) {
  std::u16string type, type_ns, encoding;
  if (IsDigestType(block.local_name, block.namespace_uri)) {
    // Their own types, never the endpoint's: see digest_block_types.h.
    type = block.local_name;
    type_ns = block.namespace_uri;
    encoding = EncodingNs(version_);
  } else if (!DescribedHeaderBlock(block, fault, &type, &type_ns, &encoding)) {
    return false;
  }
  const std::u16string_view env = EnvelopeNs(version_);
  // The block's own attributes, added to its element once the value is made.
  ExtraAttribute extras[4];
  size_t count = 0;
  extras[count++] = {u"SOAP-ENV:encodingStyle", env, encoding};
  if (!block.role.empty()) {
    // The parsers keep an explicitly empty actor as the two-quote marker.
    const std::u16string_view role =
        block.role == kEmptyRoleMarker ? std::u16string_view() : std::u16string_view(block.role);
    extras[count++] = {version_ == xml::kSoapVersion11 ? u"SOAP-ENV:actor" : u"SOAP-ENV:role", env,
                       role};
  }
  if (block.must_understand) {
    extras[count++] = {u"SOAP-ENV:mustUnderstand", env,
                       version_ == xml::kSoapVersion11 ? u"1" : u"true"};
  }
  if (block.relay && version_ != xml::kSoapVersion11) {
    extras[count++] = {u"SOAP-ENV:relay", env, u"true"};
  }
  const Place place{nullptr, &header, in_force};
  const Extras added(extras, count);
  return IsSimpleTypeNs(type_ns)
             ? Value(place, u"h", block.namespace_uri, block.local_name, type,
                     type_ns, block.content, encoding, false, added)
             : Complex(place, u"h", block.namespace_uri, block.local_name, type,
                       type_ns, block.content, encoding, false, added);
}

bool Writer::HeaderBlocks(const XmlElement& envelope, std::u16string_view in_force,
                          XmlElementPtr copied_header, bool fault) {
  const auto& literal =
      fault ? message_.LiteralFaultHeaderBlocks() : message_.LiteralHeaderBlocks();
  const auto& encoded = fault ? message_.FaultHeaderBlocks() : message_.HeaderBlocks();
  if (literal.empty() && encoded.empty()) return true;
  // A Header read with the message is written again only when blocks remain.
  const XmlElementPtr header =
      copied_header ? std::move(copied_header) : NewEnvElement(version_, u"Header");
  const std::u16string_view blocks_in_force = Open(*header, &envelope, in_force);
  for (const auto& block : literal) {
    XmlElementPtr parsed;
    try {
      parsed = MessageParser::ParseXmlFragment(block->LiteralXml());
    } catch (int) {
    }
    // A plug-in may add any text; one that is not an element is this
    // message's fault, answered as such rather than with no envelope.
    if (!parsed) {
      internal::ThrowFault(xml::kFaultServer, u"Error while serializing literal header block.",
                           true);
    }
    Seal();
    xml::WriteXmlElement(*parsed, header.get(), blocks_in_force, out_);
  }
  for (const auto& block : encoded) {
    if (!HeaderBlock(*block, fault, *header, blocks_in_force)) return false;
  }
  Close(header->GetQualifiedName());
  return true;
}

XmlElementPtr Writer::Envelope(XmlElementPtr* copied_header) {
  copied_header->reset();
  MessageParser& parser = message_.IsRequestPhase()
                              ? static_cast<MessageParser&>(message_.GetRequestParser())
                              : message_.GetResponseParser();
  xml::XmlElement* parsed = parser.GetEnvelopeElement();
  if (!parsed) return NewEnvElement(version_, u"Envelope");
  XmlElementPtr envelope = ShallowCopy(*parsed);
  if (XmlElement* header = parsed->FindChild(u"Header", parsed->GetNamespaceURI())) {
    *copied_header = ShallowCopy(*header);
  }
  return envelope;
}

XmlElementPtr Writer::LiteralBody() {
  const message::LiteralBody* body = message_.GetLiteralBodyRecord();
  if (!body) return NewEnvElement(version_, u"Body");
  XmlElementPtr parsed;
  try {
    parsed = MessageParser::ParseXmlFragment(body->literal_xml);
  } catch (int) {
  }
  if (!parsed) {
    internal::ThrowFault(xml::kFaultServer, u"Error while serializing literal body.", true);
  }
  return parsed;
}

std::vector<const MethodParam*> Writer::OutputOrder() {
  std::vector<const MethodParam*> params;
  for (const auto& param : message_.MethodParams()) params.push_back(param.get());
  if (message_.IsRequestPhase()) return params;
  // rpc peers read outputs by position: the operation's parameterOrder first,
  // then the output message's parts as written, name order only for the rest.
  struct Place {
    int tier;
    LONG index;
  };
  std::vector<Place> places;
  places.reserve(params.size());
  for (const MethodParam* param : params) {
    const Bstr name(param->local_name);
    LONG index = 0;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (Ok(reader_->GetMethodParamIndex(method_.Get(), name.Get(), &index, &ok), ok)) {
      places.push_back({0, index});
      continue;
    }
    ok = VARIANT_FALSE;
    if (Ok(reader_->GetOutputPartIndex(method_.Get(), name.Get(), &index, &ok), ok)) {
      places.push_back({1, index});
      continue;
    }
    places.push_back({2, 0});
  }
  std::vector<size_t> order(params.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (places[a].tier != places[b].tier) return places[a].tier < places[b].tier;
    if (places[a].tier == 2) return params[a]->local_name < params[b]->local_name;
    return places[a].index < places[b].index;
  });
  std::vector<const MethodParam*> sorted;
  sorted.reserve(order.size());
  for (size_t i : order) sorted.push_back(params[i]);
  return sorted;
}

bool Writer::RpcBody(const XmlElement& envelope, std::u16string_view in_force) {
  const XmlElementPtr body = NewEnvElement(version_, u"Body");
  const bool request = message_.IsRequestPhase();
  std::u16string method_name(message_.GetMethodName());
  if (!request) method_name += u"Response";
  const XmlElementPtr method = NewElement(u"m", message_.GetMethodNamespace(), method_name);
  Bstr use, style;
  VARIANT_BOOL ok = VARIANT_FALSE;
  HRESULT hr = request ? reader_->GetSOAPInputBodyUse(method_.Get(), use.Receive(), &ok)
                       : reader_->GetSOAPOutputBodyUse(method_.Get(), use.Receive(), &ok);
  const bool encoded = Ok(hr, ok) && use.View() == u"encoded";
  std::u16string encoding;
  if (encoded) {
    ok = VARIANT_FALSE;
    hr = request ? reader_->GetSOAPInputBodyEncStyle(method_.Get(), style.Receive(), &ok)
                 : reader_->GetSOAPOutputBodyEncStyle(method_.Get(), style.Receive(), &ok);
    encoding = Ok(hr, ok) && style.Length() ? std::u16string(style.View())
                                            : std::u16string(EncodingNs(version_));
    AddAttr(*method, u"SOAP-ENV:encodingStyle", EnvelopeNs(version_), encoding);
  }
  const std::u16string_view body_in_force = Open(*body, &envelope, in_force);
  const Place place{nullptr, method.get(), Open(*method, body.get(), body_in_force)};
  auto write = [&](std::u16string_view ns, std::u16string_view name, const VARIANT& value,
                   bool return_value) -> bool {
    Bstr type, type_ns;
    VARIANT_BOOL found = VARIANT_FALSE;
    const Bstr part(name);
    bool typed = ParamType(name, &type, &type_ns);
    if (!typed && return_value) {
      typed = Ok(reader_->GetOperationReturnType(method_.Get(), part.Get(), type.Receive(),
                                                 type_ns.Receive(), &found),
                 found);
    }
    if (!typed) return false;
    const std::u16string_view element_ns = encoded ? u"" : ns;
    return IsSimpleTypeNs(type_ns.View())
               ? Value(place, u"nsb", element_ns, name, type.View(), type_ns.View(), value,
                       encoding, !encoded, {})
               : Complex(place, u"nsb", element_ns, name, type.View(), type_ns.View(), value,
                         encoding, !encoded, {});
  };
  if (!request && message_.GetReturnValue().vt != VT_EMPTY) {
    std::u16string name = message_.GetReturnValueName();
    if (name.empty()) name = u"return";
    if (version_ != xml::kSoapVersion11) {
      XmlElementPtr result = NewElement(u"SOAP-RPC", xml::kSoap12RpcNamespace, u"result");
      result->SetText(name);
      Seal();
      xml::WriteXmlElement(*result, method.get(), place.in_force, out_);
    }
    if (!write(u"", name, message_.GetReturnValue(), true)) return false;
  }
  for (const MethodParam* param : OutputOrder()) {
    if (!write(param->namespace_uri, param->local_name, param->content, false)) return false;
  }
  Close(method->GetQualifiedName());
  Close(body->GetQualifiedName());
  return true;
}

bool Writer::BodyMessage() {
  XmlElementPtr header;
  const XmlElementPtr envelope = Envelope(&header);
  out_.AppendWide(xml::kXmlDeclaration);
  const std::u16string_view in_force = Open(*envelope, nullptr, {});
  if (!HeaderBlocks(*envelope, in_force, std::move(header), false)) return false;
  bool rpc = false;
  if (!message_.IsIntermediary() && reader_) {
    Bstr style;
    VARIANT_BOOL ok = VARIANT_FALSE;
    rpc = Ok(reader_->GetSOAPBindingStyle(style.Receive(), &ok), ok) && style.View() == u"rpc";
  }
  if (rpc) {
    if (!RpcBody(*envelope, in_force)) return false;
  } else {
    const XmlElementPtr body = LiteralBody();
    Seal();
    xml::WriteXmlElement(*body, envelope.get(), in_force, out_);
  }
  Close(envelope->GetQualifiedName());
  return true;
}

bool Writer::FaultMessage() {
  const XmlElementPtr envelope = NewEnvElement(version_, u"Envelope");
  out_.AppendWide(xml::kXmlDeclaration);
  const std::u16string_view in_force = Open(*envelope, nullptr, {});
  if (!HeaderBlocks(*envelope, in_force, nullptr, true)) return false;
  const XmlElementPtr body = NewEnvElement(version_, u"Body");
  const XmlElementPtr fault = NewEnvElement(version_, u"Fault");
  // Every part before the detail is a small tree of its own.
  std::vector<XmlElementPtr> parts;
  auto code_element = [](XmlElementPtr element, std::u16string_view ns, std::u16string_view name) {
    element->SetText(TreeQualifiedValue(*element, u"ns", ns, name));
    return element;
  };
  const bool soap11 = version_ == xml::kSoapVersion11;
  if (soap11) {
    parts.push_back(code_element(NewElement(u"", u"", u"faultcode"),
                                 message_.GetFaultCodeNamespace(), message_.GetFaultCode()));
    XmlElementPtr text = NewElement(u"", u"", u"faultstring");
    text->SetText(message_.GetFaultString());
    parts.push_back(std::move(text));
  } else {
    XmlElementPtr code = NewEnvElement(version_, u"Code");
    code->AppendChild(code_element(NewEnvElement(version_, u"Value"),
                                   message_.GetFaultCodeNamespace(), message_.GetFaultCode()));
    if (!message_.GetFaultSubcode().empty()) {
      XmlElement* sub = code->AppendChild(NewEnvElement(version_, u"Subcode"));
      sub->AppendChild(code_element(NewEnvElement(version_, u"Value"),
                                    message_.GetFaultSubcodeNamespace(),
                                    message_.GetFaultSubcode()));
    }
    parts.push_back(std::move(code));
    XmlElementPtr reason = NewEnvElement(version_, u"Reason");
    auto add_text = [&](std::u16string_view lang, std::u16string_view text) {
      XmlElement* t = reason->AppendChild(NewEnvElement(version_, u"Text"));
      AddAttr(*t, u"xml:lang", xml::kXmlNamespace, lang);
      t->SetText(std::u16string(text));
    };
    if (message_.Reasons().empty()) {
      add_text(u"en", u"No Reason specified.");
    } else {
      for (const auto& [lang, text] : message_.Reasons()) add_text(lang, text);
    }
    parts.push_back(std::move(reason));
  }
  if (message_.IsIntermediary() || !message_.GetFaultNode().empty()) {
    XmlElementPtr node =
        soap11 ? NewElement(u"", u"", u"faultactor") : NewEnvElement(version_, u"Node");
    node->SetText(message_.GetFaultNode().empty() ? message_.GetNodeUri()
                                                  : message_.GetFaultNode());
    parts.push_back(std::move(node));
  }
  const std::u16string_view body_in_force = Open(*body, envelope.get(), in_force);
  const std::u16string_view fault_in_force = Open(*fault, body.get(), body_in_force);
  for (const XmlElementPtr& part : parts) {
    Seal();
    xml::WriteXmlElement(*part, fault.get(), fault_in_force, out_);
  }
  if (message_.NeedsDetail()) {
    const XmlElementPtr detail =
        soap11 ? NewElement(u"", u"", u"detail") : NewEnvElement(version_, u"Detail");
    const Place place{nullptr, detail.get(), Open(*detail, fault.get(), fault_in_force)};
    for (const auto& item : message_.FaultDetails()) {
      Bstr type, type_ns, use, style;
      const Bstr name(item->local_name), ns(item->namespace_uri);
      VARIANT_BOOL ok = VARIANT_FALSE;
      bool typed = false;
      bool encoded = false;
      if (reader_) {
        typed = Ok(reader_->GetFaultDetailPartType(method_.Get(), name.Get(), ns.Get(),
                                                   type.Receive(), type_ns.Receive(), &ok),
                   ok);
        ok = VARIANT_FALSE;
        encoded =
            Ok(reader_->GetFaultDetailUse(method_.Get(), name.Get(), ns.Get(), use.Receive(), &ok),
               ok) &&
            use.View() == u"encoded";
      }
      if (!typed) {
        // A detail the description does not type: written with the type its
        // value has, so a plug-in's detail is never lost.
        type = Bstr(u"anyType");
        type_ns = Bstr(xml::kXmlSchemaNamespace);
        encoded = false;
      }
      std::u16string encoding;
      if (encoded) {
        ok = VARIANT_FALSE;
        encoding = Ok(reader_->GetFaultDetailEncStyle(method_.Get(), name.Get(), ns.Get(),
                                                      style.Receive(), &ok),
                      ok)
                       ? std::u16string(style.View())
                       : std::u16string(EncodingNs(version_));
      }
      const ExtraAttribute style_attribute{u"SOAP-ENV:encodingStyle", EnvelopeNs(version_),
                                           encoding};
      const Extras extras = encoded ? Extras(&style_attribute, 1) : Extras();
      const bool written =
          IsSimpleTypeNs(type_ns.View())
              ? Value(place, u"nsb", item->namespace_uri, item->local_name, type.View(),
                      type_ns.View(), item->content, encoding, !encoded, extras)
              : Complex(place, u"nsb", item->namespace_uri, item->local_name, type.View(),
                        type_ns.View(), item->content, encoding, !encoded, extras);
      if (!written) return false;
    }
    Close(detail->GetQualifiedName());
  }
  Close(fault->GetQualifiedName());
  Close(body->GetQualifiedName());
  Close(envelope->GetQualifiedName());
  return true;
}

// Hands the written document to the message; false (and no envelope) when
// there is none.
bool Store(SoapMessage& message, Writer& writer, bool written) {
  message.SetEnvelopeBytes(nullptr, 0);
  if (!written) return false;
  size_t length = 0;
  char* bytes = writer.Release(&length);
  if (!bytes || length > UINT32_MAX) {
    free(bytes);
    return false;
  }
  message.SetEnvelopeBytes(bytes, static_cast<uint32_t>(length));
  return true;
}

}  // namespace

bool SerializeMessage(SoapMessage& message) {
  if (message.IsFault() && message.WritesFaultBody()) return SerializeFaultMessage(message);
  message.SetEnvelopeBytes(nullptr, 0);
  Writer writer(message, message.GetWsdlReader());
  return Store(message, writer, writer.BodyMessage());
}

bool SerializeFaultMessage(SoapMessage& message) {
  message.SetEnvelopeBytes(nullptr, 0);
  Writer writer(message, message.GetWsdlReader());
  return Store(message, writer, writer.FaultMessage());
}

}  // namespace message
