#include "message/envelope_serializer.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/soapstruct.h"
#include "message/internal/faults.h"
#include "message/message_parser.h"
#include "message/soap_message.h"
#include "message/xsd_types.h"
#include "platform/com/object.h"
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
bool IsSimpleTypeNs(std::u16string_view ns) {
  return xml::IsXmlSchemaNamespace(ns) || xml::IsSoapEncodingNamespace(ns);
}

// An element in `ns` written as prefix:local with the prefix bound on it; with
// an empty namespace the bare name and no declaration (xmlns:p="" is not
// legal XML). With `names`, the names are shared with every element written
// before that carries them: values repeat a few names many times.
XmlElementPtr NewElement(std::u16string_view prefix, std::u16string_view ns,
                         std::u16string_view local, xml::StringInterner* names = nullptr) {
  auto shared = [names](std::u16string_view text) {
    return names ? names->Intern(text) : xml::SharedString(text);
  };
  if (ns.empty()) {
    return std::make_unique<XmlElement>(std::u16string(local), xml::SharedString(u""),
                                        shared(local));
  }
  std::u16string qname(prefix);
  qname += u':';
  qname += local;
  auto element = std::make_unique<XmlElement>(std::move(qname), shared(ns), shared(local));
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
std::u16string QualifiedValue(XmlElement& element, std::u16string_view prefix,
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

class Writer {
 public:
  Writer(SoapMessage& message, Idorvish2* reader)
      : message_(message),
        reader_(reader),
        version_(message.GetSoapVersion()),
        method_(message.GetMethodName()) {}

  XmlElementPtr BodyMessage();
  XmlElementPtr FaultMessage();

 private:
  XmlElementPtr Envelope(XmlElementPtr* copied_header);
  bool AddHeaderBlocks(XmlElement& envelope, XmlElementPtr header, bool fault);
  XmlElementPtr HeaderBlock(const message::HeaderBlock& block, bool fault);
  XmlElementPtr RpcBody();
  std::vector<const MethodParam*> OutputOrder();
  XmlElementPtr LiteralBody();
  bool ParamType(std::u16string_view name, Bstr* type, Bstr* type_ns);

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

  // Writers; null means the value cannot be written.
  XmlElementPtr Value(std::u16string_view prefix, std::u16string_view ns, std::u16string_view name,
                      std::u16string_view type, std::u16string_view type_ns, const VARIANT& value,
                      std::u16string_view encoding, bool literal);
  XmlElementPtr Complex(std::u16string_view prefix, std::u16string_view ns,
                        std::u16string_view name, std::u16string_view type,
                        std::u16string_view type_ns, const VARIANT& value,
                        std::u16string_view encoding, bool literal);
  XmlElementPtr EncodedArray(XmlElementPtr element, std::u16string_view type,
                             std::u16string_view type_ns, const VARIANT& value,
                             std::u16string_view encoding);
  XmlElementPtr LiteralArray(XmlElementPtr element, std::u16string_view type,
                             std::u16string_view type_ns, const VARIANT& value);
  XmlElementPtr Struct(XmlElementPtr element, std::u16string_view type, std::u16string_view type_ns,
                       const VARIANT& value, std::u16string_view encoding, bool literal);
  void SetNil(XmlElement& element, std::u16string_view schema_ns);
  bool WriteText(XmlElement& element, int code, const VARIANT& value);

  SoapMessage& message_;
  Idorvish2* reader_;
  const int version_;
  const Bstr method_;
  // Guards against values that contain themselves or nest past what the
  // stack can hold.
  int depth_ = 0;
  std::vector<IUnknown*> open_structs_;  // identities on the path being written
  xml::StringInterner names_;            // the values' element names
  TypeCache member_types_;
  TypeCache base_types_;
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

void Writer::SetNil(XmlElement& element, std::u16string_view schema_ns) {
  std::u16string_view instance = xml::SchemaInstanceNamespace(schema_ns);
  if (instance.empty()) instance = xml::kXmlSchemaInstanceNamespace;
  if (instance == xml::kXmlSchemaInstance1999Namespace) {
    AddAttr(element, u"xsi:null", instance, u"1");
  } else {
    AddAttr(element, u"xsi:nil", instance, u"true");
  }
}

// The text of a value whose written type has `code`. False when the value is
// not of a form the type can carry.
bool Writer::WriteText(XmlElement& element, int code, const VARIANT& value) {
  switch (code) {
    case kTypeDate:
    case kTypeTime:
    case kTypeDateTime: {
      Variant date;
      if (FAILED(VariantChangeType(&date, &value, 0, VT_DATE))) return false;
      if (code == kTypeDate) return xml::FormatXsdDate(date.date, element);
      if (code == kTypeTime) return xml::FormatXsdTime(date.date, element);
      return xml::FormatXsdDateTime(date.date, element);
    }
    case kTypeBase64:
    case kTypeHex:
      if (value.vt != (VT_ARRAY | VT_UI1)) return false;
      if (!value.parray) return true;  // an unfilled byte array is written empty
      return code == kTypeBase64 ? xml::EncodeBase64Binary(value.parray, element)
                                 : xml::EncodeHexBinary(value.parray, element);
    case kTypeBoolean: {
      Variant flag;
      if (FAILED(VariantChangeType(&flag, &value, 0, VT_BOOL))) return false;
      element.AppendText(flag.boolVal ? u"1" : u"0");
      return true;
    }
    default: {
      if (value.vt == VT_BSTR) {  // already text: no converted copy
        element.AppendText(BstrView(value.bstrVal));
        return true;
      }
      // A number's digits need no string of their own; what has no digits
      // (a non-finite number) takes the general path and its fault.
      if (std::string digits; SUCCEEDED(VarScalarToText(value, &digits))) {
        std::u16string& out = element.GetMutableText();
        out.insert(out.end(), digits.begin(), digits.end());
        return true;
      }
      Variant text;
      if (FAILED(VariantChangeType(&text, &value, 0, VT_BSTR))) {
        // Non-finite numbers among them: they have no form in XML.
        internal::ThrowFault(xml::kFaultServer, u"Unable to convert parameter value to text.",
                             true);
      }
      element.AppendText(BstrView(text.bstrVal));
      return true;
    }
  }
}

XmlElementPtr Writer::Value(std::u16string_view prefix, std::u16string_view ns,
                            std::u16string_view name, std::u16string_view type,
                            std::u16string_view type_ns, const VARIANT& in,
                            std::u16string_view encoding, bool literal) {
  // Copied only to see through a reference: a copy of each string written
  // would cost an allocation per value.
  Variant deref;
  if ((in.vt & VT_BYREF) && FAILED(VariantCopyInd(&deref, &in))) return nullptr;
  const VARIANT& value = (in.vt & VT_BYREF) ? deref : in;
  XmlElementPtr element = NewElement(prefix, ns, name, &names_);
  if (value.vt == VT_NULL) {
    SetNil(*element, type_ns);
    return element;
  }
  if (value.vt == VT_UNKNOWN && !literal) {
    std::u16string id;
    if (!xml::MakeMessageId(id)) return nullptr;
    if (encoding.starts_with(xml::kSoap11EncodingNamespace)) {
      AddAttr(*element, u"href", u"", id);
    } else {
      AddAttr(*element, u"SOAP-ENC:ref", xml::kSoap12EncodingNamespace, id);
    }
    if (!message_.AddAttachment(message_.IsRequestPhase(), id, u"", 3, value.punkVal, nullptr, 0)) {
      return nullptr;
    }
    return element;
  }
  int code = 0;
  if (!LookupXsdType(type, &code)) return nullptr;
  std::u16string written(type);
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
        return nullptr;
    }
    LookupXsdType(written, &code);
  }
  if (!WriteText(*element, code, value)) return nullptr;
  if (always_typed || message_.IsExplicitTyping()) {
    std::u16string_view schema = IsSimpleTypeNs(type_ns) && xml::IsXmlSchemaNamespace(type_ns)
                                     ? type_ns
                                     : xml::kXmlSchemaNamespace;
    std::u16string_view instance = xml::SchemaInstanceNamespace(schema);
    AddAttr(*element, u"xsi:type", instance, QualifiedValue(*element, u"ns", schema, written));
  }
  if (!literal && version_ != xml::kSoapVersion11 && message_.IsNodeTypeEnabled()) {
    AddAttr(*element, u"SOAP-ENC:nodeType", xml::kSoap12EncodingNamespace, u"simple");
  }
  return element;
}

XmlElementPtr Writer::Complex(std::u16string_view prefix, std::u16string_view ns,
                              std::u16string_view name, std::u16string_view type,
                              std::u16string_view type_ns, const VARIANT& in,
                              std::u16string_view encoding, bool literal) {
  const NestingGuard nesting(depth_);
  Variant value;
  if (FAILED(VariantCopyInd(&value, &in))) return nullptr;
  if (literal) {
    const Bstr type_b(type), type_ns_b(type_ns);
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr item, item_ns, item_name, item_name_ns;
    if (Ok(reader_->GetArrayTypeLit(type_b.Get(), type_ns_b.Get(), item.Receive(),
                                    item_ns.Receive(), item_name.Receive(), item_name_ns.Receive(),
                                    &ok),
           ok)) {
      return LiteralArray(NewElement(prefix, ns, name, &names_), type, type_ns, value);
    }
    return Struct(NewElement(prefix, ns, name, &names_), type, type_ns, value, encoding, true);
  }
  const MemberType* described = BaseType(type, type_ns);
  if (!described) return nullptr;
  const std::u16string_view base = described->type, base_ns = described->type_ns;
  const bool soap_enc = xml::IsSoapEncodingNamespace(base_ns);
  if (soap_enc && base == u"Array") {
    return EncodedArray(NewElement(prefix, ns, name, &names_), type, type_ns, value, encoding);
  }
  if ((soap_enc && base == u"Struct") || (!soap_enc && !xml::IsXmlSchemaNamespace(base_ns))) {
    return Struct(NewElement(prefix, ns, name, &names_), type, type_ns, value, encoding, false);
  }
  return nullptr;
}

XmlElementPtr Writer::EncodedArray(XmlElementPtr element, std::u16string_view type,
                                   std::u16string_view type_ns, const VARIANT& value,
                                   std::u16string_view encoding) {
  if ((value.vt & VT_ARRAY) == 0) ThrowArrayFault(u"Error while serializing array parameter.");
  SAFEARRAY* array = value.parray;
  if (!array) {
    // An output the service left unfilled.
    SetNil(*element, xml::kXmlSchemaNamespace);
    return element;
  }
  Bstr item_type, item_ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const Bstr type_b(type), type_ns_b(type_ns);
  if (!Ok(reader_->GetArrayType(type_b.Get(), type_ns_b.Get(), item_type.Receive(),
                                item_ns.Receive(), &ok),
          ok)) {
    ThrowArrayFault(u"Error while serializing array parameter.");
  }
  const std::u16string qualified_item =
      QualifiedValue(*element, u"nsa", item_ns.View(), item_type.View());
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
    AddAttr(*element, u"SOAP-ENC:arrayType", xml::kSoap11EncodingNamespace,
            qualified_item + u"[" + sizes + u"]");
    AddAttr(*element, u"SOAP-ENC:offset", xml::kSoap11EncodingNamespace, u"[" + offsets + u"]");
  } else {
    AddAttr(*element, u"SOAP-ENC:itemType", xml::kSoap12EncodingNamespace, qualified_item);
    AddAttr(*element, u"SOAP-ENC:arraySize", xml::kSoap12EncodingNamespace, sizes);
  }
  if (message_.IsExplicitTyping()) {
    element->AddNamespace(u"SOAP-ENC", EncodingNs(version_));
    AddAttr(*element, u"xsi:type", xml::kXmlSchemaInstanceNamespace, u"SOAP-ENC:Array");
  }
  if (version_ != xml::kSoapVersion11 && message_.IsNodeTypeEnabled()) {
    AddAttr(*element, u"SOAP-ENC:nodeType", xml::kSoap12EncodingNamespace, u"array");
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
  const ULONG size = array->cbElements;
  for (uint64_t i = 0; i < cells; ++i) {
    const VARIANT cell = CellView(vt, static_cast<const char*>(data) + i * size, size);
    XmlElementPtr item;
    const char16_t* failure = u"Error while serializing 'array' parameter.";
    if (simple) {
      item = Value(u"", u"", u"item", item_type.View(), item_ns.View(), cell, encoding, false);
    } else {
      const bool nested = (cell.vt & VT_ARRAY) != 0;
      failure = nested ? u"Error while serializing 'array of array' parameter."
                       : u"Error while serializing 'array of struct' parameter.";
      item = Complex(u"", u"", u"item", item_type.View(), item_ns.View(), cell, encoding, false);
    }
    if (!item) ThrowArrayFault(failure);
    element->AppendChild(std::move(item));
  }
  return element;
}

XmlElementPtr Writer::LiteralArray(XmlElementPtr element, std::u16string_view type,
                                   std::u16string_view type_ns, const VARIANT& value) {
  if ((value.vt & VT_ARRAY) == 0) {
    ThrowArrayFault(u"Error while serializing literal array parameter.");
  }
  SAFEARRAY* array = value.parray;
  if (!array) {
    SetNil(*element, xml::kXmlSchemaNamespace);
    return element;
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
    AddAttr(*element, u"xsi:type", xml::kXmlSchemaInstanceNamespace,
            QualifiedValue(*element, u"nss", type_ns, type));
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
  const ULONG size = array->cbElements;
  for (uint64_t i = 0; i < cells; ++i) {
    const VARIANT cell = CellView(vt, static_cast<const char*>(data) + i * size, size);
    XmlElementPtr item;
    const char16_t* failure = u"Error while serializing 'array of simple type' literal parameter.";
    if (simple) {
      item = Value(u"nsb", item_name_ns.View(), item_name.View(), item_type.View(), item_ns.View(),
                   cell, u"", true);
    } else {
      failure = (cell.vt & VT_ARRAY)
                    ? u"Error while serializing 'array of array' literal parameter."
                    : u"Error while serializing 'array of struct' literal parameter.";
      item = Complex(u"nsb", item_name_ns.View(), item_name.View(), item_type.View(),
                     item_ns.View(), cell, u"", true);
    }
    if (!item) ThrowArrayFault(failure);
    element->AppendChild(std::move(item));
  }
  return element;
}

XmlElementPtr Writer::Struct(XmlElementPtr element, std::u16string_view type,
                             std::u16string_view type_ns, const VARIANT& value,
                             std::u16string_view encoding, bool literal) {
  if (value.vt != VT_DISPATCH) return nullptr;
  if (!value.pdispVal) {
    // An output the service left unfilled.
    SetNil(*element, xml::kXmlSchemaNamespace);
    return element;
  }
  ComPtr<ISoapStruct> fields = com::QueryInterfacePtr<ISoapStruct>(value.pdispVal);
  if (!fields) return nullptr;
  // IUnknown is the object's identity whichever interface holds it.
  ComPtr<IUnknown> identity = com::QueryInterfacePtr<IUnknown>(value.pdispVal);
  if (std::find(open_structs_.begin(), open_structs_.end(), identity.Get()) !=
      open_structs_.end()) {
    internal::ThrowFault(xml::kFaultServer, u"Struct value contains itself; it cannot be serialized.",
                         true);
  }
  open_structs_.push_back(identity.Get());
  struct Close {
    std::vector<IUnknown*>& open;
    ~Close() { open.pop_back(); }
  } close{open_structs_};
  if (message_.IsExplicitTyping()) {
    AddAttr(*element, u"xsi:type", xml::kXmlSchemaInstanceNamespace,
            QualifiedValue(*element, u"nss", type_ns, type));
  }
  Bstr name, ns;
  Variant member;
  LONG position = 0;
  VARIANT_BOOL more = VARIANT_FALSE;
  fields->GetFirstMember(name.Receive(), ns.Receive(), &member, &position, &more);
  std::u16string dropped;
  bool walking = true;
  while (more == VARIANT_TRUE) {
    if (walking) {
      const MemberType* member_type = StructMemberType(type, type_ns, name.View(), ns.View());
      if (!member_type) {
        walking = false;
      } else {
        const std::u16string_view m_type = member_type->type, m_type_ns = member_type->type_ns;
        XmlElementPtr child =
            IsSimpleTypeNs(m_type_ns)
                ? Value(literal ? u"nsb" : u"nsm", ns.View(), name.View(), m_type, m_type_ns,
                        member, encoding, literal)
                : Complex(literal ? u"nsb" : u"nsm", ns.View(), name.View(), m_type, m_type_ns,
                          member, encoding, literal);
        if (!child) return nullptr;
        element->AppendChild(std::move(child));
      }
    }
    if (!walking) {
      if (!dropped.empty()) dropped += u", ";
      dropped += name.View();
    }
    VariantClear(&member);
    more = VARIANT_FALSE;
    fields->GetNextMember(name.Receive(), ns.Receive(), &member, &position, &more);
  }
  if (!dropped.empty()) {
    const std::string line =
        "Struct members not described in WSDL were not written: " + text::Narrow(dropped);
    xml::QVSOAPFault note(xml::kFaultServer, text::Widen(line), false);
    xml::ReportEventLog(note);
  }
  return element;
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
  return Described(member_types_, {type, type_ns, name, ns}, [&](Bstr* out, Bstr* out_ns) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    return Ok(reader_->GetStructMemberType(Bstr(type).Get(), Bstr(type_ns).Get(), Bstr(name).Get(),
                                           Bstr(ns).Get(), out->Receive(), out_ns->Receive(), &ok),
              ok);
  });
}

const Writer::MemberType* Writer::BaseType(std::u16string_view type, std::u16string_view type_ns) {
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

XmlElementPtr Writer::HeaderBlock(const message::HeaderBlock& block, bool fault) {
  if (!reader_) return nullptr;
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
    if (!Ok(hr, ok)) return nullptr;
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
  const std::u16string encoding(Ok(hr, ok) ? style.View() : EncodingNs(version_));
  XmlElementPtr element = IsSimpleTypeNs(type_ns.View())
                              ? Value(u"h", block.namespace_uri, block.local_name, type.View(),
                                      type_ns.View(), block.content, encoding, false)
                              : Complex(u"h", block.namespace_uri, block.local_name, type.View(),
                                        type_ns.View(), block.content, encoding, false);
  if (!element) return nullptr;
  const std::u16string_view env = EnvelopeNs(version_);
  AddAttr(*element, u"SOAP-ENV:encodingStyle", env, encoding);
  if (!block.role.empty()) {
    // The parsers keep an explicitly empty actor as the two-quote marker.
    const std::u16string_view role = block.role == kEmptyRoleMarker ? u"" : block.role;
    AddAttr(*element, version_ == xml::kSoapVersion11 ? u"SOAP-ENV:actor" : u"SOAP-ENV:role", env,
            role);
  }
  if (block.must_understand) {
    AddAttr(*element, u"SOAP-ENV:mustUnderstand", env,
            version_ == xml::kSoapVersion11 ? u"1" : u"true");
  }
  if (block.relay && version_ != xml::kSoapVersion11) {
    AddAttr(*element, u"SOAP-ENV:relay", env, u"true");
  }
  return element;
}

bool Writer::AddHeaderBlocks(XmlElement& envelope, XmlElementPtr copied_header, bool fault) {
  const auto& literal =
      fault ? message_.LiteralFaultHeaderBlocks() : message_.LiteralHeaderBlocks();
  const auto& encoded = fault ? message_.FaultHeaderBlocks() : message_.HeaderBlocks();
  if (literal.empty() && encoded.empty()) return true;
  // A Header read with the message is written again only when blocks remain.
  XmlElement* header = envelope.AppendChild(copied_header ? std::move(copied_header)
                                                          : NewEnvElement(version_, u"Header"));
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
    header->AppendChild(std::move(parsed));
  }
  for (const auto& block : encoded) {
    XmlElementPtr element = HeaderBlock(*block, fault);
    if (!element) return false;
    header->AppendChild(std::move(element));
  }
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

XmlElementPtr Writer::RpcBody() {
  XmlElementPtr body = NewEnvElement(version_, u"Body");
  const bool request = message_.IsRequestPhase();
  std::u16string method_name(message_.GetMethodName());
  if (!request) method_name += u"Response";
  XmlElementPtr method = NewElement(u"m", message_.GetMethodNamespace(), method_name);
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
    XmlElementPtr element = IsSimpleTypeNs(type_ns.View())
                                ? Value(u"nsb", element_ns, name, type.View(), type_ns.View(),
                                        value, encoding, !encoded)
                                : Complex(u"nsb", element_ns, name, type.View(), type_ns.View(),
                                          value, encoding, !encoded);
    if (!element) return false;
    method->AppendChild(std::move(element));
    return true;
  };
  if (!request && message_.GetReturnValue().vt != VT_EMPTY) {
    std::u16string name = message_.GetReturnValueName();
    if (name.empty()) name = u"return";
    if (version_ != xml::kSoapVersion11) {
      XmlElementPtr result = NewElement(u"SOAP-RPC", xml::kSoap12RpcNamespace, u"result");
      result->SetText(name);
      method->AppendChild(std::move(result));
    }
    if (!write(u"", name, message_.GetReturnValue(), true)) return nullptr;
  }
  for (const MethodParam* param : OutputOrder()) {
    if (!write(param->namespace_uri, param->local_name, param->content, false)) return nullptr;
  }
  body->AppendChild(std::move(method));
  return body;
}

XmlElementPtr Writer::BodyMessage() {
  XmlElementPtr header;
  XmlElementPtr envelope = Envelope(&header);
  if (!AddHeaderBlocks(*envelope, std::move(header), false)) return nullptr;
  bool rpc = false;
  if (!message_.IsIntermediary() && reader_) {
    Bstr style;
    VARIANT_BOOL ok = VARIANT_FALSE;
    rpc = Ok(reader_->GetSOAPBindingStyle(style.Receive(), &ok), ok) && style.View() == u"rpc";
  }
  XmlElementPtr body = rpc ? RpcBody() : LiteralBody();
  if (!body) return nullptr;
  envelope->AppendChild(std::move(body));
  return envelope;
}

XmlElementPtr Writer::FaultMessage() {
  XmlElementPtr envelope = NewEnvElement(version_, u"Envelope");
  if (!AddHeaderBlocks(*envelope, nullptr, true)) return nullptr;
  XmlElement* body = envelope->AppendChild(NewEnvElement(version_, u"Body"));
  XmlElement* fault = body->AppendChild(NewEnvElement(version_, u"Fault"));
  auto code_element = [](XmlElementPtr element, std::u16string_view ns, std::u16string_view name) {
    element->SetText(QualifiedValue(*element, u"ns", ns, name));
    return element;
  };
  const bool soap11 = version_ == xml::kSoapVersion11;
  if (soap11) {
    fault->AppendChild(code_element(NewElement(u"", u"", u"faultcode"),
                                    message_.GetFaultCodeNamespace(), message_.GetFaultCode()));
    XmlElement* text = fault->AppendChild(NewElement(u"", u"", u"faultstring"));
    text->SetText(message_.GetFaultString());
  } else {
    XmlElement* code = fault->AppendChild(NewEnvElement(version_, u"Code"));
    code->AppendChild(code_element(NewEnvElement(version_, u"Value"),
                                   message_.GetFaultCodeNamespace(), message_.GetFaultCode()));
    if (!message_.GetFaultSubcode().empty()) {
      XmlElement* sub = code->AppendChild(NewEnvElement(version_, u"Subcode"));
      sub->AppendChild(code_element(NewEnvElement(version_, u"Value"),
                                    message_.GetFaultSubcodeNamespace(),
                                    message_.GetFaultSubcode()));
    }
    XmlElement* reason = fault->AppendChild(NewEnvElement(version_, u"Reason"));
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
  }
  if (message_.IsIntermediary() || !message_.GetFaultNode().empty()) {
    XmlElement* node = fault->AppendChild(soap11 ? NewElement(u"", u"", u"faultactor")
                                                 : NewEnvElement(version_, u"Node"));
    node->SetText(message_.GetFaultNode().empty() ? message_.GetNodeUri()
                                                  : message_.GetFaultNode());
  }
  if (message_.NeedsDetail()) {
    XmlElement* detail = fault->AppendChild(soap11 ? NewElement(u"", u"", u"detail")
                                                   : NewEnvElement(version_, u"Detail"));
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
      XmlElementPtr element =
          IsSimpleTypeNs(type_ns.View())
              ? Value(u"nsb", item->namespace_uri, item->local_name, type.View(), type_ns.View(),
                      item->content, encoding, !encoded)
              : Complex(u"nsb", item->namespace_uri, item->local_name, type.View(), type_ns.View(),
                        item->content, encoding, !encoded);
      if (!element) return nullptr;
      if (encoded) AddAttr(*element, u"SOAP-ENV:encodingStyle", EnvelopeNs(version_), encoding);
      detail->AppendChild(std::move(element));
    }
  }
  return envelope;
}

bool Store(SoapMessage& message, XmlElementPtr tree) {
  message.SetEnvelopeBytes(nullptr, 0);
  if (!tree) return false;
  char* bytes = nullptr;
  const size_t length = xml::WriteXmlDocument(*tree, &bytes);
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
  return Store(message, writer.BodyMessage());
}

bool SerializeFaultMessage(SoapMessage& message) {
  message.SetEnvelopeBytes(nullptr, 0);
  Writer writer(message, message.GetWsdlReader());
  return Store(message, writer.FaultMessage());
}

}  // namespace message
