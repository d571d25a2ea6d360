#include "message/value_decoder.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "interfaces/soapstruct.h"
#include "message/array_attributes.h"
#include "message/internal/faults.h"
#include "message/soap_message.h"
#include "message/xsd_types.h"
#include "platform/com/activation.h"
#include "platform/com/oledate.h"
#include "platform/text/text.h"
#include "xml/codecs.h"
#include "xml/namespaces.h"

namespace message {

using internal::ThrowClient;
using internal::ThrowEncodingFault;
using internal::ThrowFault;

namespace {

constexpr std::u16string_view kUnknownItemType =
    u"Encountered unrecognized array item accessor type.";
constexpr std::u16string_view kMemberReference =
    u"Encountered struct member accessor with invalid reference.";
constexpr std::u16string_view kItemReference =
    u"Encountered array item accessor with invalid reference.";

[[noreturn]] void ThrowInternal() { ThrowFault(xml::kFaultServer, u"Internal error.", true); }

bool IsBuiltInNamespace(std::u16string_view ns) {
  return xml::IsXmlSchemaNamespace(ns) || xml::IsSoapEncodingNamespace(ns);
}

// encodingStyle may list several URIs; the first one names the encoding.
bool EncodingDiffers(const Accessor& acc, std::u16string_view expected) {
  return acc.has_encoding_style && acc.encoding_style != expected &&
         !acc.encoding_style.str().starts_with(std::u16string(expected) + u" ");
}

struct ArrayDeleter {
  void operator()(SAFEARRAY* psa) const { SafeArrayDestroy(psa); }
};
using ArrayPtr = std::unique_ptr<SAFEARRAY, ArrayDeleter>;

// Hands `value` to a fresh cell: putting a copy would hold every string
// twice for a moment.
void MoveInto(SAFEARRAY* array, const LONG* indices, Variant& value) {
  void* cell = nullptr;
  if (FAILED(SafeArrayPtrOfIndex(array, indices, &cell))) ThrowInternal();
  VariantClear(static_cast<VARIANT*>(cell));
  *static_cast<VARIANT*>(cell) = value.Detach();
}

// `ok` by reference: it is read after the call that fills it.
bool ReaderType(HRESULT hr, const VARIANT_BOOL& ok) { return SUCCEEDED(hr) && ok == VARIANT_TRUE; }

// Hands `value` to the struct: moved, under names shared by every struct of
// the message, where the struct allows it; copied through automation where not.
template <typename Member>
void AddStructMember(ISoapStruct* s, ISoapStructMembers* members, const Member& m,
                     VARIANT& value) {
  if (members) {
    if (FAILED(members->AppendMember(m.shared.Get(), &value))) ThrowInternal();
    return;
  }
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (FAILED(s->AddMember(m.name.Get(), m.ns.Get(), value, &ok)) || ok != VARIANT_TRUE) {
    ThrowInternal();
  }
}

void StructInto(ComPtr<ISoapStruct>& s, VARIANT* out) {
  VariantClear(out);
  out->vt = VT_DISPATCH;
  out->pdispVal = s.Detach();
}

// Seconds of an hh:mm:ss (or hh:mm:00) time, through the platform's parser.
bool TimeSeconds(std::u16string_view text, int64_t* seconds) {
  DATE t = 0;
  if (FAILED(VarDateFromText(text, VAR_TIMEVALUEONLY, &t))) return false;
  com::OleDateParts parts;
  if (!com::OleDateToParts(t, &parts)) return false;
  *seconds = parts.hour * 3600 + parts.minute * 60 + parts.second;
  return true;
}

// The zone of `rest`: "Z" or nothing is no shift; "+hh:mm" or "-hh:mm" gives
// the offset east of UTC in seconds. False for a sign without hh:mm.
bool ZoneOffset(std::u16string_view rest, int64_t* offset) {
  *offset = 0;
  if (rest.find(u'Z') != std::u16string_view::npos) return true;
  size_t sign = rest.find(u'+');
  int direction = 1;
  if (sign == std::u16string_view::npos) {
    sign = rest.find(u'-');
    direction = -1;
  }
  if (sign == std::u16string_view::npos) return true;
  if (rest.size() < sign + 6) return false;
  std::u16string zone(rest.substr(sign + 1, 5));
  zone += u":00";
  int64_t seconds = 0;
  if (!TimeSeconds(zone, &seconds)) return false;
  *offset = direction * seconds;
  return true;
}

// An absolute instant (seconds from 1899-12-30 00:00 UTC) as an OLE date,
// with the sign convention of dates before day 0.
bool DateFromInstant(int64_t instant, DATE* out) {
  int64_t days = instant / 86400;
  int64_t rest = instant % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  com::OleDateParts parts;
  com::CivilFromDays(days, &parts.year, &parts.month, &parts.day);
  parts.hour = static_cast<int>(rest / 3600);
  parts.minute = static_cast<int>(rest / 60 % 60);
  parts.second = static_cast<int>(rest % 60);
  return com::OleDateFromParts(parts, out);
}

// The day number of a date-only OLE date.
bool DayNumber(std::u16string_view text, int64_t* days) {
  DATE d = 0;
  if (FAILED(VarDateFromText(text, VAR_DATEVALUEONLY, &d))) return false;
  com::OleDateParts parts;
  if (!com::OleDateToParts(d, &parts)) return false;
  *days = com::DaysFromCivil(parts.year, parts.month, parts.day);
  return true;
}

bool BytesInto(const std::vector<uint8_t>& bytes, VARIANT* out) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (!psa) return false;
  if (!bytes.empty()) {
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(psa, &data))) {
      SafeArrayDestroy(psa);
      return false;
    }
    std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(data));
    SafeArrayUnaccessData(psa);
  }
  VariantClear(out);
  out->vt = VT_ARRAY | VT_UI1;
  out->parray = psa;
  return true;
}

// The character data as UTF-8 without C-locale white space.
std::string CompactText(std::u16string_view text) {
  std::string narrow = text::Narrow(text);
  std::string out;
  out.reserve(narrow.size());
  for (char c : narrow) {
    if (!text::IsAsciiSpace(c)) out.push_back(c);
  }
  return out;
}

// What a copy of `v` allocates: strings and arrays deep, objects shared.
size_t CopyBytes(const VARIANT& v) {
  if (v.vt == VT_BSTR) return v.bstrVal ? SysStringByteLen(v.bstrVal) + 6 : 0;
  if (!(v.vt & VT_ARRAY) || !v.parray) return 0;
  SAFEARRAY* psa = v.parray;
  size_t cells = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) cells *= psa->rgsabound[i].cElements;
  size_t bytes = sizeof(SAFEARRAY) + cells * psa->cbElements;
  if (psa->fFeatures & FADF_VARIANT) {
    const auto* items = static_cast<const VARIANT*>(psa->pvData);
    for (size_t i = 0; i < cells; ++i) bytes += CopyBytes(items[i]);
  } else if (psa->fFeatures & FADF_BSTR) {
    const auto* items = static_cast<const BSTR*>(psa->pvData);
    for (size_t i = 0; i < cells; ++i) bytes += items[i] ? SysStringByteLen(items[i]) + 6 : 0;
  }
  return bytes;
}

// What decoding one struct member or array cell is counted as, beyond its
// text: the cell and the member's two names.
constexpr size_t kStructBytes = 64;
// The decoder's own record of one reference followed or one value shared.
constexpr size_t kRecordBytes = 96;

size_t TextBytes(std::u16string_view text) { return text.size() * sizeof(char16_t) + 6; }

size_t MemberBytes(const Accessor& member) {
  return sizeof(VARIANT) + 2 * (member.local_name.size() + member.namespace_uri.size()) + 12;
}

}  // namespace

// ---- text codecs -------------------------------------------------------------------

bool DecodeBase64Binary(std::u16string_view text, VARIANT* out) {
  const std::string compact = CompactText(text);
  size_t count = 0;
  if (!xml::Base64Decode(std::string_view(compact), nullptr, &count)) return false;
  std::vector<uint8_t> bytes(count);
  if (!xml::Base64Decode(std::string_view(compact), bytes.data(), &count)) return false;
  bytes.resize(count);
  return BytesInto(bytes, out);
}

bool DecodeHexBinary(std::u16string_view text, VARIANT* out) {
  std::string compact = CompactText(text);
  for (char& c : compact) c = text::AsciiToUpper(c);
  size_t count = 0;
  if (!xml::HexCodec::Decode(std::string_view(compact), nullptr, &count)) return false;
  std::vector<uint8_t> bytes(count);
  if (!xml::HexCodec::Decode(std::string_view(compact), bytes.data(), &count)) return false;
  bytes.resize(count);
  return BytesInto(bytes, out);
}

bool DecodeXsdDateTime(std::u16string_view text, DATE* out) {
  const size_t t = text.find(u'T');
  if (t == std::u16string_view::npos || text.size() < t + 9) return false;
  int64_t days = 0, seconds = 0, offset = 0;
  if (!DayNumber(text.substr(0, t), &days)) return false;
  if (!TimeSeconds(text.substr(t + 1, 8), &seconds)) return false;
  if (!ZoneOffset(text.substr(t + 1), &offset)) return false;
  return DateFromInstant(days * 86400 + seconds - offset, out);
}

bool DecodeXsdDate(std::u16string_view text, DATE* out) {
  if (text.size() < 10) return false;
  int64_t days = 0;
  if (!DayNumber(text.substr(0, 10), &days)) return false;
  return DateFromInstant(days * 86400, out);
}

bool DecodeXsdTime(std::u16string_view text, DATE* out) {
  if (text.size() < 8) return false;
  int64_t seconds = 0, offset = 0;
  if (!TimeSeconds(text.substr(0, 8), &seconds)) return false;
  if (!ZoneOffset(text.substr(8), &offset)) return false;
  int64_t folded = (seconds - offset) % 86400;
  if (folded < 0) folded += 86400;
  return DateFromInstant(folded, out);
}

// ---- decoder -----------------------------------------------------------------------

// One value being decoded: counts the depth and the values built and keeps the
// accessor on the chain, so that a reference back to it is refused.
class ValueDecoder::Frame {
 public:
  Frame(ValueDecoder& decoder, const Accessor& accessor) : decoder_(decoder), accessor_(accessor) {
    if (decoder.depth_ >= decoder.max_depth_) {
      ThrowClient(
          text::WFormat("Value nesting exceeds the limit of %d levels.", decoder.max_depth_), true);
    }
    decoder.CountValue();
    ++decoder.depth_;
    // Only an element with an id can be a reference's target, and so be met
    // again while it is being decoded.
    if (!accessor.id.empty()) inserted_ = decoder.active_.insert(&accessor).second;
  }
  ~Frame() {
    --decoder_.depth_;
    if (inserted_) decoder_.active_.erase(&accessor_);
  }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

 private:
  ValueDecoder& decoder_;
  const Accessor& accessor_;
  bool inserted_ = false;
};

ValueDecoder::ValueDecoder(const DecodeContext& context, const SoapMessage& message,
                           Idorvish2* reader)
    : context_(context), message_(message), reader_(reader) {}

int ValueDecoder::Version() const { return message_.GetSoapVersion(); }

bool ValueDecoder::IsNil(const Accessor& accessor) {
  return accessor.nil_text == u"true" || accessor.nil_text == u"1";
}

std::u16string ReferenceFaultText::Text() const {
  return format_ ? internal::FormatName(format_, text_) : std::u16string(text_);
}

void ValueDecoder::ThrowInvalidReference(const ReferenceFaultText& fault_text) const {
  const std::u16string text = fault_text.Text();
  if (Version() == xml::kSoapVersion11) ThrowClient(text, true);
  ThrowFault(xml::kFaultClient, u"MissingID", xml::kSoap12EncodingNamespace, text, true);
}

void ValueDecoder::CountValue() {
  if (values_ >= max_values_) {
    ThrowClient(text::WFormat("Message holds more than %zu values.", max_values_), true);
  }
  ++values_;
}

void ValueDecoder::Charge(size_t bytes) {
  DecodeBudget& budget = context_.Budget();
  if (bytes > budget.limit - budget.used) {
    ThrowClient(text::WFormat("Message decodes to more than %zu bytes.", budget.limit), true);
  }
  budget.used += bytes;
}

ComPtr<ISoapStruct> ValueDecoder::NewStruct(const Accessor& accessor,
                                            ComPtr<ISoapStructMembers>* members) {
  size_t bytes = kStructBytes;
  for (const AccessorPtr& member : accessor.children) bytes += MemberBytes(*member);
  Charge(bytes);
  // One class lookup per decoder: activation by CLSID reads the registry.
  if (!struct_factory_ &&
      (FAILED(CoGetClassObject(CLSID_SoapStruct, CLSCTX_SERVER, nullptr, IClassFactory::kIid,
                               struct_factory_.ReceiveVoid())) ||
       !struct_factory_)) {
    ThrowInternal();
  }
  ComPtr<ISoapStruct> s;
  if (FAILED(struct_factory_->CreateInstance(nullptr, ISoapStruct::kIid, s.ReceiveVoid())) || !s) {
    ThrowInternal();
  }
  *members = com::QueryInterfacePtr<ISoapStructMembers>(s.Get());
  return s;
}

const ValueDecoder::Destination& ValueDecoder::Follow(const Accessor& start) {
  if (auto it = destinations_.find(&start);
      it != destinations_.end() && it->second.kind != Destination::Kind::Walking) {
    return it->second;
  }
  // Walk to the end, or to a hop already followed, marking the way so that a
  // cycle is met as a hop still being walked; every hop on it then learns the
  // end, so a chain is walked once whatever the number of references to it.
  std::vector<const Accessor*> path;
  Destination end;
  const Accessor* current = &start;
  for (;;) {
    if (auto it = destinations_.find(current); it != destinations_.end()) {
      end = it->second;
      if (end.kind == Destination::Kind::Walking) end = Destination{Destination::Kind::Nowhere};
      break;
    }
    if (!current->has_href) {
      end.kind = Destination::Kind::Value;
      end.target = current;
      break;
    }
    CountValue();
    Charge(kRecordBytes);
    destinations_[current] = Destination{};
    path.push_back(current);
    const Accessor* next = context_.ResolveHref(*current);
    if (!next) {
      const dime::DimePayload* payload =
          current->href.empty() ? nullptr
                                : message_.FindAttachment(message_.IsRequestPhase(), current->href);
      if (payload && payload->Storage()) {
        end.kind = Destination::Kind::Attachment;
        end.payload = payload;
        end.hops = -1;  // the last hop was to the attachment
      } else {
        end.kind = Destination::Kind::Nowhere;
      }
      break;
    }
    current = next;
  }
  // A chain longer than the nesting limit is refused from where it is too long.
  for (size_t i = path.size(); i-- > 0;) {
    Destination d = end;
    d.hops = end.hops + static_cast<int>(path.size() - i);
    if (end.kind == Destination::Kind::Nowhere || d.hops > max_depth_) {
      d = Destination{Destination::Kind::Nowhere};
    }
    destinations_[path[i]] = d;
  }
  return destinations_[&start];
}

const Accessor* ValueDecoder::Resolve(const Accessor& accessor,
                                      const ReferenceFaultText& invalid_reference_text,
                                      VARIANT* out) {
  if (!accessor.has_href) return &accessor;
  const Destination& d = Follow(accessor);
  if (d.kind == Destination::Kind::Attachment) {
    VariantClear(out);
    out->vt = VT_UNKNOWN;
    out->punkVal = d.payload->Storage();
    out->punkVal->AddRef();
    return nullptr;
  }
  // A target already being decoded would never end.
  if (d.kind != Destination::Kind::Value || active_.count(d.target)) {
    ThrowInvalidReference(invalid_reference_text);
  }
  return d.target;
}

bool ValueDecoder::TakeShared(const SharedKey& key, VARIANT* out) {
  auto it = shared_.find(key);
  if (it == shared_.end() || it->second.value.vt == VT_EMPTY) return false;
  CountValue();
  Charge(it->second.bytes);
  Variant copy;
  if (FAILED(VariantCopy(&copy, &it->second.value))) ThrowInternal();
  VariantClear(out);
  *out = copy.Detach();
  return true;
}

void ValueDecoder::KeepShared(const SharedKey& key, const VARIANT& value) {
  auto found = shared_.find(key);
  if (found == shared_.end()) {
    Charge(kRecordBytes + TextBytes(std::get<2>(key)) + TextBytes(std::get<3>(key)));
    found = shared_.emplace(key, Shared{}).first;
  }
  Shared& shared = found->second;
  // An object is kept from its first use, so that every reference gets the
  // same one; a copied value only once a second reference shows it is shared.
  const bool object = value.vt == VT_DISPATCH || value.vt == VT_UNKNOWN;
  if (!object && ++shared.uses < 2) return;
  const size_t bytes = CopyBytes(value);
  Charge(bytes);
  if (FAILED(VariantCopy(&shared.value, &value))) ThrowInternal();
  shared.bytes = bytes;
}

void ValueDecoder::DecodeEncoded(const Accessor& accessor, std::u16string_view type_name,
                                 std::u16string_view type_ns, std::u16string_view expected_encoding,
                                 const ReferenceFaultText& invalid_reference_text, VARIANT* out) {
  const Accessor* target = Resolve(accessor, invalid_reference_text, out);
  if (!target) return;
  const bool shared = target != &accessor;
  SharedKey key;
  if (shared) {
    key = SharedKey(target, -1, type_name, type_ns);
    if (TakeShared(key, out)) return;
  }
  {
    Frame frame(*this, *target);
    if (IsBuiltInNamespace(type_ns)) {
      DecodeSimpleAccessor(*target, type_name, expected_encoding, out);
    } else {
      DecodeAccessor(*target, type_name, type_ns, expected_encoding, out);
    }
  }
  if (shared) KeepShared(key, *out);
}
void ValueDecoder::DecodeLiteral(const Accessor& accessor, std::u16string_view type_name,
                                 std::u16string_view type_ns, VARIANT* out) {
  Frame frame(*this, accessor);
  if (IsBuiltInNamespace(type_ns)) {
    DecodeSimpleValue(accessor, type_name, out);
  } else {
    DecodeLiteralAccessor(accessor, type_name, type_ns, out);
  }
}

void ValueDecoder::DecodeSimpleAccessor(const Accessor& accessor, std::u16string_view type_name,
                                        std::u16string_view expected_encoding, VARIANT* out) {
  if (!accessor.children.empty()) {
    ThrowClient(u"Encountered improperly serialized built-in type accessor.", true);
  }
  if (!accessor.node_type.empty() && accessor.node_type != u"simple") {
    ThrowClient(u"Incorrect nodeType on built-in type accessor.", true);
  }
  if (EncodingDiffers(accessor, expected_encoding)) {
    ThrowEncodingFault(Version(), u"Unsupported encodingStyle on built-in type accessor.");
  }
  DecodeSimpleValue(accessor, type_name, out);
}

void ValueDecoder::DecodeSimpleValue(const Accessor& accessor, std::u16string_view type_name,
                                     VARIANT* out) {
  auto fail = [&accessor]() {
    ThrowClient(internal::FormatName("Encountered improperly serialized built-in type accessor: "
                                     "'%s'.",
                                     accessor.local_name),
                true);
  };
  int code = 0;
  if (!LookupXsdType(type_name, &code)) fail();
  if (code == kTypeAny && accessor.has_type) {
    int own = 0;
    if (LookupXsdType(accessor.type_name, &own)) {
      code = own;
    } else if (accessor.node_type != u"simple") {
      ThrowClient(u"Encountered accessor with unrecognized data type.", true);
    }
  }
  Variant value;
  if (IsNil(accessor)) {
    value.vt = VT_NULL;
  } else if (code == VT_BSTR) {
    Charge(TextBytes(accessor.text));
    value = Variant::FromText(accessor.text);
    if (value.vt != VT_BSTR) ThrowInternal();
  } else if (code < 256 || code == kTypeBoolean) {
    // Straight from the text: a string made only to be converted costs an
    // allocation per value.
    if (FAILED(VarScalarFromText(accessor.text,
                                 code == kTypeBoolean ? VARTYPE{VT_BOOL}
                                                      : static_cast<VARTYPE>(code),
                                 &value))) {
      fail();
    }
  } else if (code == kTypeAny || code == kTypeAnyUri) {
    Charge(TextBytes(accessor.text));
    value = Variant::FromText(accessor.text);
    if (value.vt != VT_BSTR) ThrowInternal();
  } else if (code == kTypeDate || code == kTypeTime || code == kTypeDateTime) {
    DATE date = 0;
    const bool ok = code == kTypeDate   ? DecodeXsdDate(accessor.text, &date)
                    : code == kTypeTime ? DecodeXsdTime(accessor.text, &date)
                                        : DecodeXsdDateTime(accessor.text, &date);
    if (!ok) fail();
    value.vt = VT_DATE;
    value.date = date;
  } else if (code == kTypeBase64) {
    Charge(sizeof(SAFEARRAY) + accessor.text.size());
    if (!DecodeBase64Binary(accessor.text, &value)) fail();
  } else if (code == kTypeHex) {
    Charge(sizeof(SAFEARRAY) + accessor.text.size());
    if (!DecodeHexBinary(accessor.text, &value)) fail();
  } else {
    fail();
  }
  VariantClear(out);
  *out = value.Detach();
}

void ValueDecoder::DecodeAccessor(const Accessor& accessor, std::u16string_view type_name,
                                  std::u16string_view type_ns,
                                  std::u16string_view expected_encoding, VARIANT* out) {
  Bstr base, base_ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const Bstr name(type_name), ns(type_ns);
  if (!reader_ || !ReaderType(reader_->GetComplexBaseType(name.Get(), ns.Get(), base.Receive(),
                                                          base_ns.Receive(), &ok),
                              ok)) {
    ThrowClient(u"Encountered accessor with unrecognized type.", true);
  }
  if (xml::IsSoapEncodingNamespace(base_ns.View())) {
    if (base.View() == u"Array") {
      DecodeArray(accessor, type_name, type_ns, expected_encoding, out);
    } else if (base.View() == u"Struct") {
      DecodeStruct(accessor, type_name, type_ns, expected_encoding, out);
    } else {
      DecodeSimpleAccessor(accessor, base.View(), expected_encoding, out);
    }
    return;
  }
  DecodeStruct(accessor, type_name, type_ns, expected_encoding, out);
}

void ValueDecoder::DecodeStruct(const Accessor& accessor, std::u16string_view type_name,
                                std::u16string_view type_ns, std::u16string_view expected_encoding,
                                VARIANT* out) {
  if (EncodingDiffers(accessor, expected_encoding)) {
    ThrowEncodingFault(Version(), u"Unsupported encodingStyle on struct accessor.");
  }
  if (!accessor.node_type.empty() && accessor.node_type != u"struct") {
    ThrowClient(u"Incorrect nodeType on struct accessor.", true);
  }
  ComPtr<ISoapStructMembers> members;
  ComPtr<ISoapStruct> result = NewStruct(accessor, &members);
  StructType* cache = nullptr;
  for (const AccessorPtr& member : accessor.children) {
    const MemberType& m = MemberTypeOf(cache, type_name, type_ns, *member);
    Variant value;
    DecodeEncoded(*member, m.type.View(), m.type_ns.View(), expected_encoding, kMemberReference,
                  &value);
    AddStructMember(result.Get(), members.Get(), m, value);
  }
  StructInto(result, out);
}

const ValueDecoder::MemberType& ValueDecoder::MemberTypeOf(StructType*& cache,
                                                           std::u16string_view struct_name,
                                                           std::u16string_view struct_ns,
                                                           const Accessor& member) {
  if (!cache) {
    for (const auto& known : struct_types_) {
      if (known->name == struct_name && known->ns == struct_ns) cache = known.get();
    }
    if (!cache) {
      struct_types_.push_back(std::make_unique<StructType>());
      cache = struct_types_.back().get();
      cache->name = struct_name;
      cache->ns = struct_ns;
    }
  }
  // Names come interned from the parse, so one text is one address.
  const std::pair<const void*, const void*> key(member.local_name.str().data(),
                                                member.namespace_uri.str().data());
  if (auto it = cache->members.find(key); it != cache->members.end()) return it->second;
  MemberType m;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const Bstr name(struct_name), ns(struct_ns);
  m.name = Bstr(member.local_name);
  m.ns = Bstr(member.namespace_uri);
  if (!reader_ ||
      !ReaderType(reader_->GetStructMemberType(name.Get(), ns.Get(), m.name.Get(), m.ns.Get(),
                                               m.type.Receive(), m.type_ns.Receive(), &ok),
                  ok)) {
    ThrowClient(u"Encountered struct member accessor with unrecognized type.", true);
  }
  m.shared = SoapMemberNamePtr(SoapMemberName::Create(member.local_name, member.namespace_uri));
  if (!m.shared) ThrowInternal();
  Charge(kRecordBytes);
  return cache->members.emplace(key, std::move(m)).first->second;
}

bool ValueDecoder::FindItemKind(std::u16string_view item_type, std::u16string_view item_ns,
                                ItemKind* kind) {
  int code = 0;
  if (IsBuiltInNamespace(item_ns)) {
    *kind = ItemKind::Simple;
    return LookupXsdType(item_type, &code);
  }
  Bstr base, base_ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const Bstr name(item_type), ns(item_ns);
  if (!reader_ || !ReaderType(reader_->GetComplexBaseType(name.Get(), ns.Get(), base.Receive(),
                                                          base_ns.Receive(), &ok),
                              ok)) {
    return false;
  }
  if (!xml::IsSoapEncodingNamespace(base_ns.View()) || base.View() == u"Struct") {
    *kind = ItemKind::Struct;
    return true;
  }
  if (base.View() == u"Array") {
    *kind = ItemKind::Array;
    return true;
  }
  *kind = ItemKind::Simple;
  return LookupXsdType(base.View(), &code);
}

void ValueDecoder::DecodeArray(const Accessor& accessor, std::u16string_view type_name,
                               std::u16string_view type_ns, std::u16string_view expected_encoding,
                               VARIANT* out) {
  if (EncodingDiffers(accessor, expected_encoding)) {
    ThrowEncodingFault(Version(), u"Unsupported encodingStyle on array accessor.");
  }
  if (!accessor.node_type.empty() && accessor.node_type != u"array") {
    ThrowClient(u"Incorrect nodeType on array accessor.", true);
  }
  const Bstr array_name(type_name), array_ns(type_ns);
  Bstr item_type, item_ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (!reader_ || !ReaderType(reader_->GetArrayType(array_name.Get(), array_ns.Get(),
                                                    item_type.Receive(), item_ns.Receive(), &ok),
                              ok)) {
    ThrowClient(u"Encountered unrecognized array accessor.", true);
  }
  if (!IsNil(accessor) &&
      accessor.encoding_style.str().starts_with(xml::kSoap11EncodingNamespace) &&
      item_type.View() != u"anyType" && item_type.View() != u"ur-type" &&
      (accessor.Array().item_type_name != item_type.View() ||
       accessor.Array().item_type_namespace != item_ns.View())) {
    ThrowClient(kImproperArray, true);
  }
  ItemKind kind = ItemKind::Simple;
  if (!FindItemKind(item_type.View(), item_ns.View(), &kind)) {
    ThrowClient(kUnknownItemType, true);
  }
  LONG rank = 0;
  ok = VARIANT_FALSE;
  if (!ReaderType(reader_->GetArrayDims(array_name.Get(), array_ns.Get(), &rank, &ok), ok) ||
      rank < 1 || rank > kMaxArrayRank) {
    ThrowClient(u"Unable to determine dimensionality of array.", true);
  }

  // Shape, in written order. Sizes were parsed as non-negative 32-bit
  // numbers and their product bounded when the attributes were read.
  const size_t r = static_cast<size_t>(rank);
  const int64_t n = static_cast<int64_t>(accessor.children.size());
  const ArrayShape& shape = accessor.Array();
  std::vector<int32_t> dims = shape.dims;
  int64_t declared = shape.declared_count;
  if (!accessor.has_array_shape) {
    if (r != 1) ThrowClient(kImproperArray, true);
    dims = {0};
    declared = -1;
  }
  if (dims.size() != r) ThrowClient(kImproperArray, true);
  if (!shape.offsets.empty() && shape.offsets.size() != r) ThrowClient(kImproperArray, true);
  auto offset_of = [&shape](size_t i) { return shape.offsets.empty() ? 0 : shape.offsets[i]; };
  if (declared != -1 && declared != n) ThrowClient(kSizeConflict, true);
  if (n > kMaxArrayItems) ThrowClient(kSizeConflict, true);

  std::vector<SAFEARRAYBOUND> written(r);
  if (IsNil(accessor)) {
    for (auto& b : written) b = {0, 0};
  } else if (declared != -1) {
    for (size_t i = 0; i < r; ++i) {
      const int32_t span = dims[i] - offset_of(i);
      if (span < 0) ThrowClient(kSizeConflict, true);
      written[i] = {static_cast<ULONG>(span), offset_of(i)};
    }
  } else {
    int64_t others = 1;
    for (size_t i = 1; i < r; ++i) {
      if (__builtin_mul_overflow(others, int64_t{dims[i]}, &others) || others > kMaxArrayItems) {
        ThrowClient(kSizeConflict, true);
      }
    }
    int64_t first = 0;
    if (others == 0) {
      if (n != 0) ThrowClient(kSizeConflict, true);
    } else {
      if (n % others != 0) ThrowClient(kSizeConflict, true);
      first = n / others;
    }
    // The last index of the first dimension must still be a LONG.
    if (first > 0 && offset_of(0) > INT32_MAX - (first - 1)) ThrowClient(kSizeConflict, true);
    written[0] = {static_cast<ULONG>(first), offset_of(0)};
    for (size_t i = 1; i < r; ++i) written[i] = {static_cast<ULONG>(dims[i]), 0};
  }

  // SafeArrayCreate takes the bounds last written dimension first, so that
  // the last written dimension varies fastest.
  std::vector<SAFEARRAYBOUND> bounds(written.rbegin(), written.rend());
  int64_t cells = 1;
  for (const auto& b : written) cells *= b.cElements;
  Charge(sizeof(SAFEARRAY) + static_cast<size_t>(cells) * sizeof(VARIANT));
  ArrayPtr array(SafeArrayCreate(VT_VARIANT, static_cast<UINT>(r), bounds.data()));
  if (!array) ThrowInternal();

  std::vector<LONG> index(r);  // written order
  for (size_t i = 0; i < r; ++i) index[i] = written[i].lLbound;
  std::vector<LONG> indices(r);  // SafeArrayCreate order
  const int64_t fill = std::min(n, cells);
  for (int64_t k = 0; k < fill; ++k) {
    const Accessor& item = *accessor.children[static_cast<size_t>(k)];
    Variant value;
    DecodeItemKind(item, kind, 0, item_type.View(), item_ns.View(), expected_encoding, &value);
    for (size_t i = 0; i < r; ++i) indices[i] = index[r - 1 - i];
    MoveInto(array.get(), indices.data(), value);
    for (size_t i = r; i-- > 0;) {
      if (++index[i] < written[i].lLbound + static_cast<int64_t>(written[i].cElements)) break;
      index[i] = written[i].lLbound;
    }
  }
  VariantClear(out);
  out->vt = VT_ARRAY | VT_VARIANT;
  out->parray = array.release();
}

void ValueDecoder::DecodeItemKind(const Accessor& item, ItemKind kind, int,
                                  std::u16string_view item_type, std::u16string_view item_ns,
                                  std::u16string_view expected_encoding, VARIANT* out) {
  const Accessor* target = Resolve(item, kItemReference, out);
  if (!target) return;
  const bool shared = target != &item;
  SharedKey key;
  if (shared) {
    key = SharedKey(target, static_cast<int>(kind), item_type, item_ns);
    if (TakeShared(key, out)) return;
  }
  {
    Frame frame(*this, *target);
    switch (kind) {
      case ItemKind::Struct:
        DecodeStruct(*target, item_type, item_ns, expected_encoding, out);
        break;
      case ItemKind::Array:
        DecodeArray(*target, item_type, item_ns, expected_encoding, out);
        break;
      case ItemKind::Simple:
        DecodeSimpleAccessor(*target, item_type, expected_encoding, out);
        break;
    }
  }
  if (shared) KeepShared(key, *out);
}

// ---- literal family ----------------------------------------------------------------

void ValueDecoder::DecodeLiteralAccessor(const Accessor& accessor, std::u16string_view type_name,
                                         std::u16string_view type_ns, VARIANT* out) {
  if (!reader_) ThrowClient(u"Encountered accessor with unrecognized type.", true);
  const Bstr name(type_name), ns(type_ns);
  Bstr item_type, item_type_ns, item_name, item_ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (ReaderType(reader_->GetArrayTypeLit(name.Get(), ns.Get(), item_type.Receive(),
                                          item_type_ns.Receive(), item_name.Receive(),
                                          item_ns.Receive(), &ok),
                 ok)) {
    DecodeLiteralArray(accessor, type_name, type_ns, out);
    return;
  }
  Bstr base, base_ns;
  ok = VARIANT_FALSE;
  if (!ReaderType(
          reader_->GetComplexBaseType(name.Get(), ns.Get(), base.Receive(), base_ns.Receive(), &ok),
          ok)) {
    ThrowClient(u"Encountered accessor with unrecognized type.", true);
  }
  if (IsBuiltInNamespace(base_ns.View())) {
    DecodeSimpleValue(accessor, base.View(), out);
  } else {
    DecodeLiteralStruct(accessor, type_name, type_ns, out);
  }
}

void ValueDecoder::DecodeLiteralStruct(const Accessor& accessor, std::u16string_view type_name,
                                       std::u16string_view type_ns, VARIANT* out) {
  ComPtr<ISoapStructMembers> members;
  ComPtr<ISoapStruct> result = NewStruct(accessor, &members);
  StructType* cache = nullptr;
  for (const AccessorPtr& member : accessor.children) {
    const MemberType& m = MemberTypeOf(cache, type_name, type_ns, *member);
    Variant value;
    DecodeLiteral(*member, m.type.View(), m.type_ns.View(), &value);
    AddStructMember(result.Get(), members.Get(), m, value);
  }
  StructInto(result, out);
}

void ValueDecoder::DecodeLiteralArray(const Accessor& accessor, std::u16string_view type_name,
                                      std::u16string_view type_ns, VARIANT* out) {
  const Bstr name(type_name), ns(type_ns);
  Bstr item_type, item_type_ns, item_name, item_ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (!reader_ || !ReaderType(reader_->GetArrayTypeLit(name.Get(), ns.Get(), item_type.Receive(),
                                                       item_type_ns.Receive(), item_name.Receive(),
                                                       item_ns.Receive(), &ok),
                              ok)) {
    ThrowClient(u"Encountered unrecognized array accessor.", true);
  }
  ItemKind kind = ItemKind::Simple;
  if (!FindItemKind(item_type.View(), item_type_ns.View(), &kind)) {
    ThrowClient(u"Encountered array item accessor with unrecognized type.", true);
  }
  const size_t n = accessor.children.size();
  if (static_cast<int64_t>(n) > kMaxArrayItems) ThrowClient(kSizeConflict, true);
  Charge(sizeof(SAFEARRAY) + n * sizeof(VARIANT));
  ArrayPtr array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(n)));
  if (!array) ThrowInternal();
  for (size_t i = 0; i < n; ++i) {
    const Accessor& item = *accessor.children[i];
    if (item.local_name != item_name.View() || item.namespace_uri != item_ns.View()) {
      ThrowClient(u"Encountered unrecognized array item accessor.", true);
    }
    Variant value;
    {
      Frame frame(*this, item);
      switch (kind) {
        case ItemKind::Simple:
          DecodeSimpleValue(item, item_type.View(), &value);
          break;
        case ItemKind::Struct:
          DecodeLiteralStruct(item, item_type.View(), item_type_ns.View(), &value);
          break;
        case ItemKind::Array:
          DecodeLiteralAccessor(item, item_type.View(), item_type_ns.View(), &value);
          break;
      }
    }
    const LONG index = static_cast<LONG>(i);
    MoveInto(array.get(), &index, value);
  }
  VariantClear(out);
  out->vt = VT_ARRAY | VT_VARIANT;
  out->parray = array.release();
}

}  // namespace message
