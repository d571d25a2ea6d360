// CompactName: the text of a name or attribute value as the description model
// keeps it, in 16 bytes: up to seven UTF-16 units inline, a longer text in one
// allocation of its exact length, and a value that bindings repeat in every
// operation (the SOAP encoding, style "document") in none. A model holds
// several per definition, and most are short; a std::u16string spends 32
// bytes on each.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "xml/namespaces.h"

namespace wsdl {

class CompactName {
 public:
  static constexpr size_t kInlineUnits = 7;

  CompactName() = default;
  CompactName(std::u16string_view text) { Set(text); }
  CompactName(const char16_t* text) : CompactName(std::u16string_view(text)) {}
  CompactName(const std::u16string& text) : CompactName(std::u16string_view(text)) {}
  CompactName(const CompactName& other) : CompactName(other.view()) {}
  CompactName(CompactName&& other) noexcept {
    std::memcpy(units_, other.units_, sizeof units_);
    other.units_[kTag] = 0;  // the allocation, if any, now belongs here
  }
  CompactName& operator=(const CompactName& other) {
    if (this != &other) assign(other.view());
    return *this;
  }
  CompactName& operator=(CompactName&& other) noexcept {
    if (this != &other) {
      Release();
      std::memcpy(units_, other.units_, sizeof units_);
      other.units_[kTag] = 0;
    }
    return *this;
  }
  CompactName& operator=(std::u16string_view text) { return assign(text); }
  CompactName& operator=(const char16_t* text) { return assign(std::u16string_view(text)); }
  CompactName& operator=(const std::u16string& text) { return assign(std::u16string_view(text)); }
  ~CompactName() { Release(); }

  CompactName& assign(std::u16string_view text) {
    // `text` may view this name's own allocation.
    CompactName copy(text);
    return *this = std::move(copy);
  }

  std::u16string_view view() const {
    if (units_[kTag] > kInlineUnits) return {HeapData(), HeapSize()};
    return {units_, units_[kTag]};
  }
  operator std::u16string_view() const { return view(); }
  std::u16string str() const { return std::u16string(view()); }
  bool empty() const { return units_[kTag] == 0; }
  size_t size() const { return view().size(); }

  friend bool operator==(const CompactName& a, const CompactName& b) {
    return a.view() == b.view();
  }
  friend bool operator==(const CompactName& a, std::u16string_view b) { return a.view() == b; }
  friend bool operator==(const CompactName& a, const char16_t* b) {
    return a.view() == std::u16string_view(b);
  }
  friend bool operator==(const CompactName& a, const std::u16string& b) {
    return a.view() == std::u16string_view(b);
  }
  friend std::strong_ordering operator<=>(const CompactName& a, const CompactName& b) {
    return a.view() <=> b.view();
  }
  friend std::strong_ordering operator<=>(const CompactName& a, std::u16string_view b) {
    return a.view() <=> b;
  }

 private:
  // units_[kTag]: the inline length (0 is empty), or kHeapTag (owned) or
  // kSharedTag (one of kShared) with the text's pointer in the first eight
  // bytes and its length in the next four. A text is a name or value of a
  // document of at most 64 MiB.
  static constexpr size_t kTag = 7;
  static constexpr char16_t kHeapTag = 0xffff;
  static constexpr char16_t kSharedTag = 0xfffe;
  static constexpr std::u16string_view kShared[] = {
      xml::kSoap11EncodingNamespace, xml::kSoap12EncodingNamespace,
      u"http://schemas.xmlsoap.org/soap/http", u"document"};

  bool IsHeap() const { return units_[kTag] == kHeapTag; }
  const char16_t* HeapData() const {
    const char16_t* data;
    std::memcpy(&data, units_, sizeof data);
    return data;
  }
  uint32_t HeapSize() const {
    uint32_t size;
    std::memcpy(&size, units_ + 4, sizeof size);
    return size;
  }
  void Set(std::u16string_view text) {
    if (text.size() <= kInlineUnits) {
      std::memcpy(units_, text.data(), text.size() * sizeof(char16_t));
      units_[kTag] = static_cast<char16_t>(text.size());
      return;
    }
    const auto size = static_cast<uint32_t>(text.size());
    for (std::u16string_view shared : kShared) {
      if (text == shared) {
        const char16_t* data = shared.data();
        std::memcpy(units_, &data, sizeof data);
        std::memcpy(units_ + 4, &size, sizeof size);
        units_[kTag] = kSharedTag;
        return;
      }
    }
    auto* data = new char16_t[text.size()];
    std::memcpy(data, text.data(), text.size() * sizeof(char16_t));
    std::memcpy(units_, &data, sizeof data);
    std::memcpy(units_ + 4, &size, sizeof size);
    units_[kTag] = kHeapTag;
  }
  void Release() {
    if (IsHeap()) delete[] HeapData();
    units_[kTag] = 0;
  }

  alignas(8) char16_t units_[8] = {};
};

static_assert(sizeof(CompactName) == 16);

}  // namespace wsdl
