// SharedString: an immutable UTF-16 string that copies by reference. Trees
// hold namespace URIs, local names and prefixes this way, so one copy of a
// name serves every node that carries it, and no node's memory depends on how
// long the names it inherits are. StringInterner hands out one SharedString
// per distinct text.
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace xml {

class SharedString {
 public:
  SharedString() = default;
  // Implicit: names used to be plain strings, and callers still pass them.
  SharedString(std::u16string text) : rep_(text.empty() ? nullptr : new Rep(std::move(text))) {}
  SharedString(std::u16string_view text) : SharedString(std::u16string(text)) {}
  SharedString(const char16_t* text) : SharedString(std::u16string_view(text)) {}
  SharedString(const SharedString& other) noexcept : rep_(other.rep_) {
    if (rep_) rep_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  SharedString(SharedString&& other) noexcept : rep_(std::exchange(other.rep_, nullptr)) {}
  SharedString& operator=(SharedString other) noexcept {
    std::swap(rep_, other.rep_);
    return *this;
  }
  ~SharedString() {
    if (rep_ && rep_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete rep_;
  }

  // The text; the empty string lives in no object of its own.
  const std::u16string& str() const { return rep_ ? rep_->text : Empty(); }
  operator const std::u16string&() const { return str(); }
  operator std::u16string_view() const { return str(); }
  bool empty() const { return !rep_; }
  size_t size() const { return str().size(); }

  friend bool operator==(const SharedString& a, const SharedString& b) {
    return a.rep_ == b.rep_ || a.str() == b.str();
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

  // One pointer per holder, not a shared_ptr's two: records hold many names.
  struct Rep {
    explicit Rep(std::u16string t) : text(std::move(t)) {}
    std::atomic<size_t> refs{1};  // holders may sit on several threads
    const std::u16string text;
  };
  Rep* rep_ = nullptr;  // null: empty
};

// One SharedString per distinct text for as long as the interner lives; its
// memory is that of the distinct texts, however often each is asked for.
//
// Each thread also keeps the short texts it has interned, up to a bound, for
// the interners it runs later: the names of one kind of document (envelope
// URIs, element names) come back parse after parse, and are then shared
// rather than made again. A text is kept either there or in the interner, so
// within one thread an interner still hands out one string per text.
class StringInterner {
 public:
  // Texts up to this long, this many per thread, are kept between interners.
  static constexpr size_t kMaxKeptLength = 64;
  static constexpr size_t kMaxKeptTexts = 256;

  SharedString Intern(std::u16string_view text) {
    if (text.empty()) return {};
    // The kept texts first: most names of a document are among them.
    Table& kept = KeptTexts();
    if (auto k = kept.find(text); k != kept.end()) return k->second;
    auto it = strings_.find(text);
    if (it != strings_.end()) return it->second;
    bool is_kept = false;
    SharedString shared = Kept(text, &is_kept);
    // The key views the shared text, which never moves or changes.
    if (!is_kept) strings_.emplace(std::u16string_view(shared.str()), shared);
    return shared;
  }

  // For trees built by code, which name the same few things message after
  // message: the thread's kept string of a short text (kept now if there is
  // room), else a new one.
  static SharedString Share(std::u16string_view text) {
    if (text.empty()) return {};
    bool kept = false;
    return Kept(text, &kept);
  }
  // Drops every string of its own (trees keep theirs) and the table's space.
  void Reset() { strings_ = Table(); }

  // The texts this thread keeps for its interners.
  static size_t KeptTextCountForTest() { return KeptTexts().size(); }

 private:
  using Table = std::unordered_map<std::u16string_view, SharedString>;
  static Table& KeptTexts() {
    thread_local Table kept;
    return kept;
  }
  // The kept string of `text` (*kept true), else a new one.
  static SharedString Kept(std::u16string_view text, bool* kept) {
    Table& table = KeptTexts();
    if (auto k = table.find(text); k != table.end()) {
      *kept = true;
      return k->second;
    }
    SharedString shared{text};
    if (text.size() <= kMaxKeptLength && table.size() < kMaxKeptTexts) {
      if (table.empty()) table.reserve(kMaxKeptTexts);
      table.emplace(std::u16string_view(shared.str()), shared);
      *kept = true;
    }
    return shared;
  }

  Table strings_;
};

}  // namespace xml
