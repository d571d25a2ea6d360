// The struct value class behind CLSID_SoapStruct.
#pragma once

#include <mutex>
#include <vector>

#include "interfaces/soapstruct.h"
#include "platform/com/object.h"

namespace soapstruct {

// Far above any real struct; AddMember and SetMember refuse more.
inline constexpr size_t kMaxMembers = 1 << 20;

class SoapStructImpl final : public com::ComObject<SoapStructImpl, com::Dispatch<ISoapStruct>> {
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

 private:
  struct Member {
    Bstr name;
    Bstr namespace_uri;
    VARIANT value;
  };

  // Index of the first member named `name`, or -1. Needs mu_.
  long Find(BSTR name, bool unqualified_only) const;
  // Writes member `index` to the outs; false (nothing written) when it
  // cannot be copied. Needs mu_.
  bool Emit(size_t index, BSTR* name, BSTR* namespace_uri, VARIANT* value) const;
  // Appends a copy of `value`; false when it cannot be copied. Needs mu_.
  bool Append(BSTR name, BSTR namespace_uri, const VARIANT& value);

  // Objects are apartment-bound, but a struct handed between threads costs
  // nothing to guard.
  mutable std::mutex mu_;
  std::vector<Member> members_;  // Guarded by mu_; in insertion order.
};

}  // namespace soapstruct
