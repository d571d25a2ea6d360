#include "message/array_attributes.h"

#include <cstdint>
#include <string>
#include <vector>

#include "message/internal/faults.h"
#include "platform/text/text.h"

namespace message {

using internal::ThrowClient;

namespace {

constexpr std::u16string_view kBadArrayType =
    u"Value of attribute 'arrayType' on element is invalid, size may be unspecified for "
    u"innermost dimension only.";
constexpr std::u16string_view kBadOffset =
    u"Invalid value for attribute 'offset' or 'arrayType' on element.";

// A non-negative 32-bit decimal written with digits only (spaces around
// allowed). False for anything else; *too_big when it is digits but above
// INT32_MAX.
bool ParseSize(std::u16string_view s, int32_t* out, bool* too_big) {
  *too_big = false;
  while (!s.empty() && text::IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && text::IsSpace(s.back())) s.remove_suffix(1);
  if (s.empty()) return false;
  int64_t value = 0;
  for (char16_t c : s) {
    if (!text::IsDigit(c)) return false;
    value = value * 10 + (c - u'0');
    if (value > INT32_MAX) {
      *too_big = true;
      return false;
    }
  }
  *out = static_cast<int32_t>(value);
  return true;
}

// The product of the sizes, refusing one above kMaxArrayItems.
int64_t DeclaredCount(const std::vector<int32_t>& sizes) {
  int64_t product = 1;
  for (int32_t size : sizes) {
    if (__builtin_mul_overflow(product, int64_t{size}, &product) || product > kMaxArrayItems) {
      ThrowClient(kSizeConflict, true);
    }
  }
  return product;
}

void ResolvePrefixed(std::u16string_view value, const xml::XmlElement& element,
                     std::u16string_view undeclared, std::u16string_view unresolvable,
                     std::u16string* ns, std::u16string_view* rest) {
  const size_t colon = value.find(u':');
  if (colon == std::u16string_view::npos) {
    if (element.GetDefaultNamespace().empty()) ThrowClient(unresolvable, true);
    *ns = element.GetDefaultNamespace();
    *rest = value;
    return;
  }
  const std::u16string* uri = element.LookupNamespace(value.substr(0, colon));
  if (!uri) ThrowClient(undeclared, true);
  *ns = *uri;
  *rest = value.substr(colon + 1);
}

// One size of an array's shape, in the order written.
void AddDimension(std::u16string_view entry, Accessor& accessor) {
  ArrayShape& shape = accessor.MutableArray();
  int32_t size = 0;
  bool too_big = false;
  if (!ParseSize(entry, &size, &too_big))
    ThrowClient(too_big ? kSizeConflict : kBadArrayType, true);
  shape.dims.push_back(size);
  if (shape.dims.size() > static_cast<size_t>(kMaxArrayRank)) ThrowClient(kImproperArray, true);
}

// An open first size still bounds the others.
void SetShape(bool unspecified, Accessor& accessor) {
  ArrayShape& shape = accessor.MutableArray();
  accessor.has_array_shape = true;
  if (unspecified) {
    shape.declared_count = -1;
    DeclaredCount(std::vector<int32_t>(shape.dims.begin() + 1, shape.dims.end()));
  } else {
    shape.declared_count = DeclaredCount(shape.dims);
  }
}

}  // namespace

void ParseArrayType(std::u16string_view value, const xml::XmlElement& element, Accessor& accessor) {
  ArrayShape& shape = accessor.MutableArray();
  shape.dims.clear();
  std::u16string ns;
  std::u16string_view rest;
  ResolvePrefixed(value, element,
                  u"Encountered undeclared namespace prefix for attribute 'arrayType' on element.",
                  u"Encountered unresolvable namespace for attribute 'arrayType' on element.", &ns,
                  &rest);
  const size_t bracket = rest.rfind(u'[');
  if (bracket == std::u16string_view::npos) {
    ThrowClient(u"Value of attribute 'arrayType' on element doesn't have size given.", true);
  }
  shape.item_type_namespace = ns;
  shape.item_type_name = rest.substr(0, bracket);
  std::u16string_view sizes = rest.substr(bracket + 1);
  if (size_t close = sizes.find(u']'); close != std::u16string_view::npos) {
    sizes = sizes.substr(0, close);
  }
  bool unspecified = false;
  for (size_t i = 0;; ++i) {
    const size_t comma = sizes.find(u',');
    const std::u16string_view entry = sizes.substr(0, comma);
    if (i == 0 && (entry.empty() || !text::IsDigit(entry[0]))) {
      // Any non-digit first entry leaves the size open; 0 keeps the places.
      unspecified = true;
      shape.dims.push_back(0);
    } else {
      if (entry.empty() || !text::IsDigit(entry[0])) ThrowClient(kBadArrayType, true);
      AddDimension(entry, accessor);
    }
    if (comma == std::u16string_view::npos) break;
    sizes.remove_prefix(comma + 1);
  }
  SetShape(unspecified, accessor);
}

void ParseItemType(std::u16string_view value, const xml::XmlElement& element, Accessor& accessor) {
  ArrayShape& shape = accessor.MutableArray();
  std::u16string ns;
  std::u16string_view rest;
  ResolvePrefixed(value, element,
                  u"Encountered undeclared namespace prefix for attribute 'itemType' on element.",
                  u"Encountered unresolvable namespace for attribute 'itemType' on element.", &ns,
                  &rest);
  shape.item_type_namespace = ns;
  shape.item_type_name = rest;
}

void ParseArraySize(std::u16string_view value, Accessor& accessor) {
  ArrayShape& shape = accessor.MutableArray();
  shape.dims.clear();
  bool unspecified = false;
  size_t i = 0;
  while (true) {
    while (!value.empty() && text::IsSpace(value.front())) value.remove_prefix(1);
    if (value.empty()) break;
    size_t end = 0;
    while (end < value.size() && !text::IsSpace(value[end])) ++end;
    const std::u16string_view entry = value.substr(0, end);
    value.remove_prefix(end);
    if (entry == u"*") {
      if (i != 0) ThrowClient(kBadArrayType, true);
      unspecified = true;
      shape.dims.push_back(0);
    } else {
      AddDimension(entry, accessor);
    }
    ++i;
  }
  if (shape.dims.empty()) ThrowClient(kBadArrayType, true);
  SetShape(unspecified, accessor);
}

void ParseOffset(std::u16string_view value, Accessor& accessor) {
  ArrayShape& shape = accessor.MutableArray();
  shape.offsets.clear();
  const size_t bracket = value.rfind(u'[');
  if (bracket == std::u16string_view::npos) ThrowClient(kBadOffset, true);
  std::u16string_view list = value.substr(bracket + 1);
  if (size_t close = list.find(u']'); close != std::u16string_view::npos) {
    list = list.substr(0, close);
  }
  while (true) {
    const size_t comma = list.find(u',');
    int32_t offset = 0;
    bool too_big = false;
    if (!ParseSize(list.substr(0, comma), &offset, &too_big)) ThrowClient(kBadOffset, true);
    if (!shape.offsets.empty() && offset != 0) ThrowClient(kBadOffset, true);
    shape.offsets.push_back(offset);
    if (shape.offsets.size() > static_cast<size_t>(kMaxArrayRank)) {
      ThrowClient(kBadOffset, true);
    }
    if (comma == std::u16string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  if (accessor.has_href) return;
  if (shape.offsets.size() != shape.dims.size()) ThrowClient(kBadOffset, true);
  if (shape.declared_count != -1) {
    std::vector<int32_t> spans;
    for (size_t i = 0; i < shape.dims.size(); ++i) {
      if (shape.dims[i] < shape.offsets[i]) ThrowClient(kBadOffset, true);
      spans.push_back(shape.dims[i] - shape.offsets[i]);
    }
    shape.declared_count = DeclaredCount(spans);
  }
}

}  // namespace message
