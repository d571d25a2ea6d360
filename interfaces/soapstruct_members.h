// ISoapStructMembers: the struct class's in-process side door for the message
// object, which builds and writes structs by the thousand. Members go in
// without a copy (the value is moved, the names are shared with every struct
// that has a member so named) and are read without one. The automation
// interface (ISoapStruct) sees the same members.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <string_view>

#include "interfaces/soapstruct.h"
#include "platform/base/base.h"

// A member's name and namespace URI in one counted block. Immutable; its
// count may move on any thread.
class SoapMemberName {
 public:
  // One reference held by the caller; null when the block cannot be had.
  static SoapMemberName* Create(std::u16string_view name, std::u16string_view ns) {
    if (name.size() > UINT32_MAX || ns.size() > UINT32_MAX) return nullptr;
    void* block = malloc(sizeof(SoapMemberName) + (name.size() + ns.size()) * sizeof(char16_t));
    if (!block) return nullptr;
    auto* created = new (block) SoapMemberName(uint32_t(name.size()), uint32_t(ns.size()));
    char16_t* text = created->Text();
    if (!name.empty()) memcpy(text, name.data(), name.size() * sizeof(char16_t));
    if (!ns.empty()) memcpy(text + name.size(), ns.data(), ns.size() * sizeof(char16_t));
    return created;
  }

  void AddRef() const { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() const {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      this->~SoapMemberName();
      free(const_cast<SoapMemberName*>(this));
    }
  }

  std::u16string_view Name() const { return {Text(), name_size_}; }
  std::u16string_view Namespace() const { return {Text() + name_size_, ns_size_}; }

  SoapMemberName(const SoapMemberName&) = delete;
  SoapMemberName& operator=(const SoapMemberName&) = delete;

 private:
  SoapMemberName(uint32_t name_size, uint32_t ns_size)
      : name_size_(name_size), ns_size_(ns_size) {}
  ~SoapMemberName() = default;

  // The texts follow the header in the same block.
  char16_t* Text() const {
    return reinterpret_cast<char16_t*>(const_cast<SoapMemberName*>(this) + 1);
  }

  mutable std::atomic<uint32_t> refs_{1};
  const uint32_t name_size_;
  const uint32_t ns_size_;
};

// Called for each member in order; false stops the walk.
class SoapMemberVisitor {
 public:
  virtual bool Visit(std::u16string_view name, std::u16string_view ns, const VARIANT& value) = 0;

 protected:
  ~SoapMemberVisitor() = default;
};

class ISoapStructMembers : public IUnknown {
 public:
  static constexpr IID kIid =  // {6E0C1C53-2F8B-4D5A-9E41-3B7C2A9D8F10}
      {0x6E0C1C53, 0x2F8B, 0x4D5A, {0x9E, 0x41, 0x3B, 0x7C, 0x2A, 0x9D, 0x8F, 0x10}};

  // Appends a member named by `name` (the struct takes its own reference)
  // whose value is taken from *value, which is left VT_EMPTY; a by-reference
  // value is stored as a copy of what it points at. E_POINTER for a null
  // argument, E_OUTOFMEMORY when the struct is full or the copy fails (then
  // *value is unchanged).
  virtual HRESULT AppendMember(const SoapMemberName* name, VARIANT* value) = 0;
  // Walks the members in order under the struct's lock: the visitor reads
  // them in place and must not change this struct. Exceptions the visitor
  // throws pass through.
  virtual HRESULT VisitMembers(SoapMemberVisitor* visitor) = 0;

 protected:
  ~ISoapStructMembers() = default;
};

// Holds one reference to a SoapMemberName.
class SoapMemberNamePtr {
 public:
  SoapMemberNamePtr() = default;
  explicit SoapMemberNamePtr(SoapMemberName* adopted) : name_(adopted) {}
  SoapMemberNamePtr(SoapMemberNamePtr&& other) noexcept : name_(other.name_) {
    other.name_ = nullptr;
  }
  SoapMemberNamePtr& operator=(SoapMemberNamePtr&& other) noexcept {
    if (this != &other) {
      if (name_) name_->Release();
      name_ = other.name_;
      other.name_ = nullptr;
    }
    return *this;
  }
  ~SoapMemberNamePtr() {
    if (name_) name_->Release();
  }

  const SoapMemberName* Get() const { return name_; }
  explicit operator bool() const { return name_ != nullptr; }

 private:
  SoapMemberName* name_ = nullptr;
};
