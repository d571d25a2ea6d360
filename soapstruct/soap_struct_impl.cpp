#include "soapstruct/soap_struct_impl.h"

#include <stdlib.h>
#include <string.h>

namespace soapstruct {

SoapStructImpl::Members::~Members() {
  if (data_ != inline_) free(data_);
}

bool SoapStructImpl::Members::push_back(const Member& member) {
  if (size_ == capacity_) {
    const size_t capacity = capacity_ * 2;
    auto* grown = static_cast<Member*>(malloc(capacity * sizeof(Member)));
    if (!grown) return false;
    memcpy(static_cast<void*>(grown), data_, size_ * sizeof(Member));
    if (data_ != inline_) free(data_);
    data_ = grown;
    capacity_ = capacity;
  }
  data_[size_++] = member;
  return true;
}

void SoapStructImpl::Members::erase(size_t i) {
  memmove(static_cast<void*>(data_ + i), data_ + i + 1, (size_ - i - 1) * sizeof(Member));
  --size_;
}

SoapStructImpl::~SoapStructImpl() {
  for (size_t i = 0; i < members_.size(); ++i) {
    VariantClear(&members_[i].value);
    members_[i].name->Release();
  }
}

long SoapStructImpl::Find(std::u16string_view name, bool unqualified_only) const {
  for (size_t i = 0; i < members_.size(); ++i) {
    if (members_[i].name->Name() != name) continue;
    if (unqualified_only && !members_[i].name->Namespace().empty()) continue;
    return long(i);
  }
  return -1;
}

bool SoapStructImpl::Append(BSTR name, BSTR namespace_uri, const VARIANT& value) {
  if (members_.size() >= kMaxMembers) return false;
  Member m{nullptr, {}};
  VariantInit(&m.value);
  if (FAILED(VariantCopyInd(&m.value, &value))) return false;
  m.name = SoapMemberName::Create(BstrView(name), BstrView(namespace_uri));
  if (!m.name || !members_.push_back(m)) {
    if (m.name) m.name->Release();
    VariantClear(&m.value);
    return false;
  }
  return true;
}

bool SoapStructImpl::Emit(size_t index, BSTR* name, BSTR* namespace_uri,
                          VARIANT* value) const {
  const Member& m = members_[index];
  VARIANT copy;
  VariantInit(&copy);
  if (FAILED(VariantCopy(&copy, &m.value))) return false;
  Bstr name_copy(m.name->Name());
  Bstr ns_copy(m.name->Namespace());
  VariantClear(value);
  *value = copy;
  *name = name_copy.Detach();
  *namespace_uri = ns_copy.Detach();
  return true;
}

HRESULT SoapStructImpl::GetMember(BSTR bstrName, VARIANT* pvarValue, VARIANT_BOOL* pResult) {
  if (!pvarValue || !pResult) return E_POINTER;
  std::lock_guard lock(mu_);
  const long i = Find(BstrView(bstrName), /*unqualified_only=*/false);
  *pResult = i >= 0 && SUCCEEDED(VariantCopy(pvarValue, &members_[size_t(i)].value))
                 ? VARIANT_TRUE
                 : VARIANT_FALSE;
  return S_OK;
}

HRESULT SoapStructImpl::SetMember(BSTR bstrName, VARIANT varValue, VARIANT_BOOL* pResult) {
  if (!pResult) return E_POINTER;
  std::lock_guard lock(mu_);
  bool ok;
  if (const long i = Find(BstrView(bstrName), /*unqualified_only=*/true); i >= 0) {
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
  const long i = Find(BstrView(bstrName), /*unqualified_only=*/false);
  *pResult = VARIANT_FALSE;
  if (i >= 0) {
    *pbstrNamespaceURI = SysAllocString(members_[size_t(i)].name->Namespace());
    *pResult = VARIANT_TRUE;
  }
  return S_OK;
}

HRESULT SoapStructImpl::RemoveMember(BSTR bstrName, VARIANT_BOOL* pResult) {
  if (!pResult) return E_POINTER;
  std::lock_guard lock(mu_);
  const long i = Find(BstrView(bstrName), /*unqualified_only=*/false);
  *pResult = VARIANT_FALSE;
  if (i >= 0) {
    VariantClear(&members_[size_t(i)].value);
    members_[size_t(i)].name->Release();
    members_.erase(size_t(i));
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

HRESULT SoapStructImpl::AppendMember(const SoapMemberName* name, VARIANT* value) {
  if (!name || !value) return E_POINTER;
  Member m{name, *value};
  // What a reference points at is the caller's: it is copied, not taken.
  const bool copy = (value->vt & VT_BYREF) != 0;
  if (copy) {
    VariantInit(&m.value);
    if (FAILED(VariantCopyInd(&m.value, value))) return E_OUTOFMEMORY;
  }
  std::lock_guard lock(mu_);
  if (members_.size() >= kMaxMembers || !members_.push_back(m)) {
    if (copy) VariantClear(&m.value);
    return E_OUTOFMEMORY;
  }
  name->AddRef();
  if (!copy) VariantInit(value);
  return S_OK;
}

HRESULT SoapStructImpl::VisitMembers(SoapMemberVisitor* visitor) {
  if (!visitor) return E_POINTER;
  std::lock_guard lock(mu_);
  for (size_t i = 0; i < members_.size(); ++i) {
    const Member& m = members_[i];
    if (!visitor->Visit(m.name->Name(), m.name->Namespace(), m.value)) break;
  }
  return S_OK;
}

}  // namespace soapstruct
