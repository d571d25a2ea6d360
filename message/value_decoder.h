// ValueDecoder: turns Accessor records into VARIANTs, driven by the declared
// type the WSDL reader gives. Built-in XML Schema types become automation
// scalars, VT_BSTR, VT_DATE (UTC), VT_BOOL or byte arrays; structs become
// SoapStruct objects (VT_DISPATCH); arrays of any rank become VT_ARRAY|
// VT_VARIANT; a reference that names a DIME attachment becomes VT_UNKNOWN.
// There are two families: SOAP-encoded (encodingStyle, nodeType, href and
// array attribute checks) and literal (plain element structure).
//
// Every failure throws a QVSOAPFault by pointer with the need-detail flag set;
// whatever was built for the failing value is released first. The decoder
// keeps the chain of accessors being decoded, so a reference cycle is refused
// as an invalid reference, and bounds the nesting depth, the number of values
// one decoder builds and the bytes every decoder of one parse builds.
//
// A reference is followed once: every hop of a chain learns where the chain
// ends. A value reached through references is decoded once and then shared:
// a struct is handed out as the same object, any other value as a copy that
// is charged to the byte budget before it is made.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "interfaces/dorvish.h"
#include "interfaces/soapstruct.h"
#include "interfaces/soapstruct_members.h"
#include "message/accessor.h"
#include "message/decode_context.h"
#include "platform/com/activation.h"
#include "platform/com/variant.h"

namespace dime {
class DimePayload;
}

namespace message {

class SoapMessage;


// Deepest nesting of values (elements and references together).
inline constexpr int kMaxDecodeDepth = 1100;
// Most values one decoder builds; a shared value counts each time it is used,
// and each hop of a reference chain once.
inline constexpr size_t kMaxDecodedValues = size_t{1} << 20;

// The fault text of a reference that names nothing: a fixed text, or a format
// with one "%s" for an accessor's name. A decode sets one up per value and
// almost never raises it, so the name is put in only when it is.
class ReferenceFaultText {
 public:
  // Implicit: a fixed text is passed as it stands.
  ReferenceFaultText(std::u16string_view text) : text_(text) {}
  ReferenceFaultText(const char16_t* text) : text_(text) {}
  ReferenceFaultText(const std::u16string& text) : text_(text) {}
  ReferenceFaultText(const char* format, std::u16string_view name) : format_(format), text_(name) {}

  std::u16string Text() const;

 private:
  const char* format_ = nullptr;  // null: text_ is the whole text
  std::u16string_view text_;      // else the name
};

class ValueDecoder {
 public:
  ValueDecoder(const DecodeContext& context, const SoapMessage& message, Idorvish2* reader);
  ValueDecoder(const ValueDecoder&) = delete;
  ValueDecoder& operator=(const ValueDecoder&) = delete;

  // The encoded entry of every caller: the reference rule (href replaced by
  // its target, else an attachment, else the invalid-reference fault with
  // `invalid_reference_text`), then the simple entry for XML Schema and SOAP
  // encoding types or DecodeAccessor for the others. `out` must be
  // initialised; it is cleared and written on success.
  void DecodeEncoded(const Accessor& accessor, std::u16string_view type_name,
                     std::u16string_view type_ns, std::u16string_view expected_encoding,
                     const ReferenceFaultText& invalid_reference_text, VARIANT* out);
  // The literal entry: DecodeSimpleValue for built-in types, else
  // DecodeLiteralAccessor.
  void DecodeLiteral(const Accessor& accessor, std::u16string_view type_name,
                     std::u16string_view type_ns, VARIANT* out);

  void DecodeSimpleAccessor(const Accessor& accessor, std::u16string_view type_name,
                            std::u16string_view expected_encoding, VARIANT* out);
  void DecodeSimpleValue(const Accessor& accessor, std::u16string_view type_name, VARIANT* out);
  void DecodeAccessor(const Accessor& accessor, std::u16string_view type_name,
                      std::u16string_view type_ns, std::u16string_view expected_encoding,
                      VARIANT* out);
  void DecodeStruct(const Accessor& accessor, std::u16string_view type_name,
                    std::u16string_view type_ns, std::u16string_view expected_encoding,
                    VARIANT* out);
  void DecodeArray(const Accessor& accessor, std::u16string_view type_name,
                   std::u16string_view type_ns, std::u16string_view expected_encoding,
                   VARIANT* out);
  void DecodeLiteralAccessor(const Accessor& accessor, std::u16string_view type_name,
                             std::u16string_view type_ns, VARIANT* out);
  void DecodeLiteralStruct(const Accessor& accessor, std::u16string_view type_name,
                           std::u16string_view type_ns, VARIANT* out);
  void DecodeLiteralArray(const Accessor& accessor, std::u16string_view type_name,
                          std::u16string_view type_ns, VARIANT* out);

  static bool IsNil(const Accessor& accessor);

  // Lower limits for tests that show what happens when they are reached.
  void SetLimitsForTest(int max_depth, size_t max_values) {
    max_depth_ = max_depth;
    max_values_ = max_values;
  }

 private:
  class Frame;
  enum class ItemKind { Simple, Struct, Array };

  // Where a reference leads, once followed.
  struct Destination {
    enum class Kind { Walking, Nowhere, Value, Attachment } kind = Kind::Walking;
    const Accessor* target = nullptr;
    const dime::DimePayload* payload = nullptr;
    int hops = 0;  // to the end of the chain
  };
  // A value decoded through a reference, by its accessor and how it was
  // asked for.
  using SharedKey = std::tuple<const Accessor*, int, std::u16string, std::u16string>;
  struct Shared {
    int uses = 0;
    Variant value;  // VT_EMPTY until kept
    size_t bytes = 0;
  };

  // A struct member's WSDL type and its names as the struct takes them,
  // asked of the reader once per struct type and member name.
  struct MemberType {
    Bstr type, type_ns;
    Bstr name, ns;
    SoapMemberNamePtr shared;  // the names every struct of this message shares
  };
  struct StructType {
    std::u16string name, ns;
    // By the member's interned name and namespace texts.
    std::map<std::pair<const void*, const void*>, MemberType> members;
  };
  const MemberType& MemberTypeOf(StructType*& cache, std::u16string_view struct_name,
                                 std::u16string_view struct_ns, const Accessor& member);

  // Resolves `accessor`'s reference. Returns the accessor to decode, or null
  // when the value was an attachment (then written to `out`).
  const Accessor* Resolve(const Accessor& accessor,
                          const ReferenceFaultText& invalid_reference_text, VARIANT* out);
  const Destination& Follow(const Accessor& start);
  // The value for `target` when one is kept for this way of asking; true when
  // `out` was written from it.
  bool TakeShared(const SharedKey& key, VARIANT* out);
  void KeepShared(const SharedKey& key, const VARIANT& value);
  // Counts bytes the decoders of this parse are about to build.
  void Charge(size_t bytes);
  void CountValue();
  // A new struct, and its in-process side door when it has one.
  ComPtr<ISoapStruct> NewStruct(const Accessor& accessor, ComPtr<ISoapStructMembers>* members);
  void DecodeItemKind(const Accessor& item, ItemKind kind, int simple_code,
                      std::u16string_view item_type, std::u16string_view item_ns,
                      std::u16string_view expected_encoding, VARIANT* out);
  bool FindItemKind(std::u16string_view item_type, std::u16string_view item_ns, ItemKind* kind);
  [[noreturn]] void ThrowInvalidReference(const ReferenceFaultText& text) const;
  int Version() const;

  const DecodeContext& context_;
  const SoapMessage& message_;
  Idorvish2* reader_;
  std::unordered_set<const Accessor*> active_;
  std::unordered_map<const Accessor*, Destination> destinations_;
  std::map<SharedKey, Shared> shared_;
  ComPtr<IClassFactory> struct_factory_;
  std::vector<std::unique_ptr<StructType>> struct_types_;
  int depth_ = 0;
  size_t values_ = 0;
  int max_depth_ = kMaxDecodeDepth;
  size_t max_values_ = kMaxDecodedValues;
};

// Text codecs over an accessor's character data; false when the text is not
// of the form. Dates are UTC instants as OLE dates.
bool DecodeBase64Binary(std::u16string_view text, VARIANT* out);
bool DecodeHexBinary(std::u16string_view text, VARIANT* out);
bool DecodeXsdDateTime(std::u16string_view text, DATE* out);
bool DecodeXsdDate(std::u16string_view text, DATE* out);
bool DecodeXsdTime(std::u16string_view text, DATE* out);

}  // namespace message
