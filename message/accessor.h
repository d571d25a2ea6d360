// Accessor: what the message parsers keep of one element that carries a value
// (a header block, the method wrapper, a parameter, a multi-reference element,
// a struct member, an array item, the fault detail). The value decoders work
// on these records: the parser keeps no tree of such elements, only these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "xml/shared_string.h"
#include "xml/xml_element.h"

namespace message {

// Largest array the decoders build, in items; a declared size above it is
// refused before anything is allocated.
inline constexpr int64_t kMaxArrayItems = int64_t{1} << 20;
// Most dimensions an array may declare.
inline constexpr int kMaxArrayRank = 32;

// Array attributes. `dims` and `offsets` are in written order; an
// unspecified first size holds 0 so that the positions stay aligned.
struct ArrayShape {
  std::vector<int32_t> dims;
  std::vector<int32_t> offsets;
  int64_t declared_count = -1;  // -1: first size unspecified
  xml::SharedString item_type_name;
  xml::SharedString item_type_namespace;
};

struct Accessor;
// Accessors live in their parse's arena: releasing one only destroys it.
struct AccessorDelete {
  void operator()(Accessor* accessor) const;
};
using AccessorPtr = std::unique_ptr<Accessor, AccessorDelete>;

struct Accessor {
  // `arena` holds the child list: the parse's, for records the parsers make.
  explicit Accessor(std::pmr::memory_resource* arena = std::pmr::get_default_resource())
      : children(arena) {}

  int soap_version = 11;
  bool has_encoding_style = false;
  bool has_href = false;
  bool has_type = false;
  bool has_array_shape = false;           // arrayType or arraySize given
  bool inherited_encoding_style = false;  // encoding_style is not the element's own
  // Header blocks only.
  bool must_understand = false;
  bool relay = false;

  // Shared with the tree and, for an inherited encodingStyle, with every
  // element that inherits it; the attribute texts, seldom present, cost a
  // pointer each when absent.
  xml::SharedString local_name;
  xml::SharedString namespace_uri;
  xml::SharedString encoding_style;  // own, or inherited (SOAP 1.1)
  xml::SharedString id;
  xml::SharedString href;  // SOAP 1.1 href or SOAP 1.2 ref
  xml::SharedString node_type;  // SOAP 1.2: "simple", "struct" or "array"
  xml::SharedString type_name;  // xsi:type
  xml::SharedString type_namespace;
  xml::SharedString nil_text;

  // The array attributes, made by the first one read: most elements are no
  // arrays, and an empty shape is what an element without them has.
  const ArrayShape& Array() const { return array_ ? *array_ : kNoArrayShape; }
  ArrayShape& MutableArray() {
    if (!array_) array_ = std::make_unique<ArrayShape>();
    return *array_;
  }

  xml::SharedString role;  // header blocks only

  // The element's text: a slice of the parse's source where it stands there
  // unchanged, else a copy in the parse's arena; both live as the record does.
  std::u16string_view text;
  std::pmr::vector<AccessorPtr> children;

 private:
  static inline const ArrayShape kNoArrayShape{};
  std::unique_ptr<ArrayShape> array_;
};

inline void AccessorDelete::operator()(Accessor* accessor) const { accessor->~Accessor(); }

// Bytes the decoders of one parsed message may build: a multiple of the
// message's own size, so that a small request cannot ask for an unbounded
// amount through shared references, with room for small messages.
inline constexpr size_t kDecodedBytesPerMessageByte = 16;
inline constexpr size_t kMinDecodedBytes = size_t{1} << 20;

struct DecodeBudget {
  size_t limit = kMinDecodedBytes;
  size_t used = 0;

  static size_t ForMessage(size_t message_bytes) {
    return message_bytes > kMinDecodedBytes / kDecodedBytesPerMessageByte
               ? message_bytes * kDecodedBytesPerMessageByte
               : kMinDecodedBytes;
  }
};

}  // namespace message
