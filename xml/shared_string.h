// SharedString: an immutable UTF-16 string that copies by reference. Trees
// hold namespace URIs, local names and prefixes this way, so one copy of a
// name serves every node that carries it, and no node's memory depends on how
// long the names it inherits are. StringInterner hands out one SharedString
// per distinct text.
#pragma once

#include <compare>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace xml {

class SharedString {
 public:
  SharedString() = default;
  // Implicit: names used to be plain strings, and callers still pass them.
  SharedString(std::u16string text)
      : text_(text.empty() ? nullptr : std::make_shared<const std::u16string>(std::move(text))) {}
  SharedString(std::u16string_view text) : SharedString(std::u16string(text)) {}
  SharedString(const char16_t* text) : SharedString(std::u16string_view(text)) {}

  // The text; the empty string lives in no object of its own.
  const std::u16string& str() const { return text_ ? *text_ : Empty(); }
  operator const std::u16string&() const { return str(); }
  operator std::u16string_view() const { return str(); }
  bool empty() const { return !text_; }
  size_t size() const { return str().size(); }

  friend bool operator==(const SharedString& a, const SharedString& b) {
    return a.text_ == b.text_ || a.str() == b.str();
  }
  friend bool operator==(const SharedString& a, std::u16string_view b) { return a.str() == b; }
  friend bool operator==(const SharedString& a, const char16_t* b) {
    return a.str() == std::u16string_view(b);
  }
  friend std::strong_ordering operator<=>(const SharedString& a, const SharedString& b) {
    return std::u16string_view(a.str()) <=> std::u16string_view(b.str());
  }
  friend std::strong_ordering operator<=>(const SharedString& a, std::u16string_view b) {
    return std::u16string_view(a.str()) <=> b;
  }

 private:
  static const std::u16string& Empty() {
    static const std::u16string empty;
    return empty;
  }

  std::shared_ptr<const std::u16string> text_;  // null: empty
};

// One SharedString per distinct text for as long as the interner lives; its
// memory is that of the distinct texts, however often each is asked for.
class StringInterner {
 public:
  SharedString Intern(std::u16string_view text) {
    if (text.empty()) return {};
    auto it = strings_.find(text);
    if (it != strings_.end()) return it->second;
    SharedString shared{text};
    // The key views the shared text, which never moves or changes.
    strings_.emplace(std::u16string_view(shared.str()), shared);
    return shared;
  }
  // Drops every string (trees keep theirs) and the table's own space.
  void Reset() { strings_ = decltype(strings_)(); }

 private:
  std::unordered_map<std::u16string_view, SharedString> strings_;
};

}  // namespace xml
