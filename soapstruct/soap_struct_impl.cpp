#include "soapstruct/soap_struct_impl.h"

namespace soapstruct {
namespace {

bool SameName(BSTR a, BSTR b) { return BstrView(a) == BstrView(b); }

}  // namespace

SoapStructImpl::~SoapStructImpl() {
  for (Member& m : members_) VariantClear(&m.value);
}

long SoapStructImpl::Find(BSTR name, bool unqualified_only) const {
  for (size_t i = 0; i < members_.size(); ++i) {
    if (!SameName(members_[i].name.Get(), name)) continue;
    if (unqualified_only && members_[i].namespace_uri.Length() != 0) continue;
    return long(i);
  }
  return -1;
}

bool SoapStructImpl::Append(BSTR name, BSTR namespace_uri, const VARIANT& value) {
  if (members_.size() >= kMaxMembers) return false;
  // Most members are unqualified: no namespace is kept for them, and every
  // getter still answers an empty string.
  const std::u16string_view ns = BstrView(namespace_uri);
  Member m{Bstr(BstrView(name)), ns.empty() ? Bstr() : Bstr(ns), {}};
  VariantInit(&m.value);
  if (FAILED(VariantCopyInd(&m.value, &value))) return false;
  // Structs are mostly small: one block for the first few members.
  if (members_.empty()) members_.reserve(4);
  members_.push_back(std::move(m));
  return true;
}

bool SoapStructImpl::Emit(size_t index, BSTR* name, BSTR* namespace_uri,
                          VARIANT* value) const {
  const Member& m = members_[index];
  VARIANT copy;
  VariantInit(&copy);
  if (FAILED(VariantCopy(&copy, &m.value))) return false;
  Bstr name_copy(m.name.View());
  Bstr ns_copy(m.namespace_uri.View());
  VariantClear(value);
  *value = copy;
  *name = name_copy.Detach();
  *namespace_uri = ns_copy.Detach();
  return true;
}

HRESULT SoapStructImpl::GetMember(BSTR bstrName, VARIANT* pvarValue, VARIANT_BOOL* pResult) {
  if (!pvarValue || !pResult) return E_POINTER;
  std::lock_guard lock(mu_);
  const long i = Find(bstrName, /*unqualified_only=*/false);
  *pResult = i >= 0 && SUCCEEDED(VariantCopy(pvarValue, &members_[size_t(i)].value))
                 ? VARIANT_TRUE
                 : VARIANT_FALSE;
  return S_OK;
}

HRESULT SoapStructImpl::SetMember(BSTR bstrName, VARIANT varValue, VARIANT_BOOL* pResult) {
  if (!pResult) return E_POINTER;
  std::lock_guard lock(mu_);
  bool ok;
  if (const long i = Find(bstrName, /*unqualified_only=*/true); i >= 0) {
    VARIANT copy;
    VariantInit(&copy);
    ok = SUCCEEDED(VariantCopyInd(&copy, &varValue));
    if (ok) {
      VariantClear(&members_[size_t(i)].value);
      members_[size_t(i)].value = copy;
    }
  } else {
    ok = Append(bstrName, nullptr, varValue);
  }
  *pResult = ok ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT SoapStructImpl::GetMemberCount(LONG* plCount, VARIANT_BOOL* pResult) {
  if (!plCount || !pResult) return E_POINTER;
  std::lock_guard lock(mu_);
  *plCount = LONG(members_.size());
  *pResult = VARIANT_TRUE;
  return S_OK;
}

HRESULT SoapStructImpl::GetMemberNamespace(BSTR bstrName, BSTR* pbstrNamespaceURI,
                                           VARIANT_BOOL* pResult) {
  if (!pbstrNamespaceURI || !pResult) return E_POINTER;
  std::lock_guard lock(mu_);
  const long i = Find(bstrName, /*unqualified_only=*/false);
  *pResult = VARIANT_FALSE;
  if (i >= 0) {
    *pbstrNamespaceURI = SysAllocString(members_[size_t(i)].namespace_uri.View());
    *pResult = VARIANT_TRUE;
  }
  return S_OK;
}

HRESULT SoapStructImpl::RemoveMember(BSTR bstrName, VARIANT_BOOL* pResult) {
  if (!pResult) return E_POINTER;
  std::lock_guard lock(mu_);
  const long i = Find(bstrName, /*unqualified_only=*/false);
  *pResult = VARIANT_FALSE;
  if (i >= 0) {
    VariantClear(&members_[size_t(i)].value);
    members_.erase(members_.begin() + i);
    *pResult = VARIANT_TRUE;
  }
  return S_OK;
}

HRESULT SoapStructImpl::AddMember(BSTR bstrName, BSTR bstrNamespaceURI, VARIANT varValue,
                                  VARIANT_BOOL* pResult) {
  if (!pResult) return E_POINTER;
  std::lock_guard lock(mu_);
  *pResult = Append(bstrName, bstrNamespaceURI, varValue) ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT SoapStructImpl::GetFirstMember(BSTR* pbstrName, BSTR* pbstrNamespaceURI,
                                       VARIANT* pvarValue, LONG* plPosition,
                                       VARIANT_BOOL* pResult) {
  if (!pbstrName || !pbstrNamespaceURI || !pvarValue || !plPosition || !pResult) {
    return E_POINTER;
  }
  std::lock_guard lock(mu_);
  *pResult = VARIANT_FALSE;
  if (!members_.empty() && Emit(0, pbstrName, pbstrNamespaceURI, pvarValue)) {
    *plPosition = 0;
    *pResult = VARIANT_TRUE;
  }
  return S_OK;
}

HRESULT SoapStructImpl::GetNextMember(BSTR* pbstrName, BSTR* pbstrNamespaceURI,
                                      VARIANT* pvarValue, LONG* plPosition,
                                      VARIANT_BOOL* pResult) {
  if (!pbstrName || !pbstrNamespaceURI || !pvarValue || !plPosition || !pResult) {
    return E_POINTER;
  }
  std::lock_guard lock(mu_);
  *pResult = VARIANT_FALSE;
  const int64_t next = int64_t(*plPosition) + 1;
  if (*plPosition >= 0 && next < int64_t(members_.size()) &&
      Emit(size_t(next), pbstrName, pbstrNamespaceURI, pvarValue)) {
    *plPosition = LONG(next);
    *pResult = VARIANT_TRUE;
  }
  return S_OK;
}

}  // namespace soapstruct
