// The struct value class behind CLSID_SoapStruct.
#pragma once

#include <mutex>

#include "interfaces/soapstruct.h"
#include "interfaces/soapstruct_members.h"
#include "platform/com/object.h"

namespace soapstruct {

// Far above any real struct; AddMember and SetMember refuse more.
inline constexpr size_t kMaxMembers = 1 << 20;

class SoapStructImpl final
    : public com::ComObject<SoapStructImpl, com::Dispatch<ISoapStruct>, ISoapStructMembers> {
 public:
  SoapStructImpl() = default;
  ~SoapStructImpl() override;

  HRESULT GetMember(BSTR bstrName, VARIANT* pvarValue, VARIANT_BOOL* pResult) override;
  HRESULT SetMember(BSTR bstrName, VARIANT varValue, VARIANT_BOOL* pResult) override;
  HRESULT GetMemberCount(LONG* plCount, VARIANT_BOOL* pResult) override;
  HRESULT GetMemberNamespace(BSTR bstrName, BSTR* pbstrNamespaceURI,
                             VARIANT_BOOL* pResult) override;
  HRESULT RemoveMember(BSTR bstrName, VARIANT_BOOL* pResult) override;
  HRESULT AddMember(BSTR bstrName, BSTR bstrNamespaceURI, VARIANT varValue,
                    VARIANT_BOOL* pResult) override;
  HRESULT GetFirstMember(BSTR* pbstrName, BSTR* pbstrNamespaceURI, VARIANT* pvarValue,
                         LONG* plPosition, VARIANT_BOOL* pResult) override;
  HRESULT GetNextMember(BSTR* pbstrName, BSTR* pbstrNamespaceURI, VARIANT* pvarValue,
                        LONG* plPosition, VARIANT_BOOL* pResult) override;

  HRESULT AppendMember(const SoapMemberName* name, VARIANT* value) override;
  HRESULT VisitMembers(SoapMemberVisitor* visitor) override;

 private:
  // Plain data, moved as bytes: the name holds one reference, the value is
  // cleared with the member.
  struct Member {
    const SoapMemberName* name;
    VARIANT value;
  };

  // The members in insertion order; the first few live in the object itself,
  // so a small struct is one block.
  class Members {
   public:
    static constexpr size_t kInline = 4;
    Members() = default;
    ~Members();
    Members(const Members&) = delete;
    Members& operator=(const Members&) = delete;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Member& operator[](size_t i) { return data_[i]; }
    const Member& operator[](size_t i) const { return data_[i]; }
    // False when no room could be had.
    bool push_back(const Member& member);
    // Drops the slot; the caller has released what it held.
    void erase(size_t i);

   private:
    Member inline_[kInline];
    Member* data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = kInline;
  };

  // Index of the first member named `name`, or -1. Needs mu_.
  long Find(std::u16string_view name, bool unqualified_only) const;
  // Writes member `index` to the outs; false (nothing written) when it
  // cannot be copied. Needs mu_.
  bool Emit(size_t index, BSTR* name, BSTR* namespace_uri, VARIANT* value) const;
  // Appends a copy of `value`; false when it cannot be copied. Needs mu_.
  bool Append(BSTR name, BSTR namespace_uri, const VARIANT& value);

  // Objects are apartment-bound, but a struct handed between threads costs
  // nothing to guard.
  mutable std::mutex mu_;
  Members members_;  // Guarded by mu_.
};

}  // namespace soapstruct
