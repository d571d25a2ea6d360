// SAFEARRAY: descriptor and bounds in one block, the elements in another.
// Arrays of BSTR, VARIANT and interface pointers own their elements.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/com/internal/vartype.h"
#include "platform/com/variant.h"

namespace {

using com::internal::ElementSize;

// Far above any array the system builds; keeps a hostile size from reaching
// the allocator.
constexpr uint64_t kMaxArrayBytes = uint64_t{1} << 31;
constexpr ULONG kMaxLocks = 0xFFFF;

bool IsArrayElementType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return false;
    default:
      return (vt & ~VT_TYPEMASK) == 0 && ElementSize(vt) != 0;
  }
}

USHORT FeaturesOf(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return FADF_BSTR;
    case VT_UNKNOWN:
      return FADF_UNKNOWN;
    case VT_DISPATCH:
      return FADF_DISPATCH;
    case VT_VARIANT:
      return FADF_VARIANT;
    default:
      return 0;
  }
}

// Element count, or false when it (or its byte size) passes the limit.
bool CountElements(const SAFEARRAY* psa, uint64_t* count) {
  uint64_t n = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) {
    const uint64_t c = psa->rgsabound[i].cElements;
    if (c != 0 && n > kMaxArrayBytes / c) return false;
    n *= c;
  }
  if (n != 0 && psa->cbElements > kMaxArrayBytes / n) return false;
  *count = n;
  return true;
}

uint64_t ElementCount(const SAFEARRAY* psa) {
  uint64_t n = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) n *= psa->rgsabound[i].cElements;
  return n;
}

// A descriptor with its bounds (copied in descriptor order) and no data.
SAFEARRAY* AllocDescriptor(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds_reversed,
                           bool reverse) {
  auto* psa = static_cast<SAFEARRAY*>(
      std::calloc(1, sizeof(SAFEARRAY) + dims * sizeof(SAFEARRAYBOUND)));
  if (!psa) return nullptr;
  psa->cDims = static_cast<USHORT>(dims);
  psa->fFeatures = FeaturesOf(vt);
  psa->cbElements = static_cast<ULONG>(ElementSize(vt));
  psa->vt = vt;
  psa->rgsabound = reinterpret_cast<SAFEARRAYBOUND*>(psa + 1);
  for (UINT i = 0; i < dims; ++i) {
    psa->rgsabound[i] = bounds_reversed[reverse ? dims - 1 - i : i];
  }
  return psa;
}

// Frees (or releases) what each element owns and zeroes it.
void ClearElements(SAFEARRAY* psa) {
  if (!psa->pvData) return;
  const uint64_t n = ElementCount(psa);
  switch (psa->vt) {
    case VT_BSTR: {
      auto* p = static_cast<BSTR*>(psa->pvData);
      for (uint64_t i = 0; i < n; ++i) SysFreeString(std::exchange(p[i], nullptr));
      break;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      auto* p = static_cast<IUnknown**>(psa->pvData);
      for (uint64_t i = 0; i < n; ++i) {
        if (IUnknown* u = std::exchange(p[i], nullptr)) u->Release();
      }
      break;
    }
    case VT_VARIANT: {
      auto* p = static_cast<VARIANT*>(psa->pvData);
      for (uint64_t i = 0; i < n; ++i) {
        // A locked nested array cannot be destroyed; it is left to leak rather
        // than freed under its user.
        VariantClear(&p[i]);
        VariantInit(&p[i]);
      }
      break;
    }
    default:
      break;
  }
}

// Copies element `src` into the uninitialised (zeroed) slot `dst`.
HRESULT CopyElement(VARTYPE vt, void* dst, const void* src, size_t size) {
  switch (vt) {
    case VT_BSTR: {
      const BSTR s = *static_cast<const BSTR*>(src);
      BSTR copy = nullptr;
      if (s && !(copy = SysAllocStringLen(s, SysStringLen(s)))) return E_OUTOFMEMORY;
      *static_cast<BSTR*>(dst) = copy;
      return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown* u = *static_cast<IUnknown* const*>(src);
      if (u) u->AddRef();
      *static_cast<IUnknown**>(dst) = u;
      return S_OK;
    }
    case VT_VARIANT:
      VariantInit(static_cast<VARIANT*>(dst));
      return VariantCopy(static_cast<VARIANT*>(dst), static_cast<const VARIANT*>(src));
    default:
      std::memcpy(dst, src, size);
      return S_OK;
  }
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds) {
  if (!IsArrayElementType(vt) || dims == 0 || dims > 0xFFFF || !bounds) return nullptr;
  for (UINT i = 0; i < dims; ++i) {
    // The upper bound must be a LONG too.
    if (int64_t{bounds[i].lLbound} + bounds[i].cElements - 1 > std::numeric_limits<LONG>::max()) {
      return nullptr;
    }
  }
  SAFEARRAY* psa = AllocDescriptor(vt, dims, bounds, /*reverse=*/true);
  if (!psa) return nullptr;
  uint64_t n;
  if (!CountElements(psa, &n) ||
      !(psa->pvData = std::calloc(n == 0 ? 1 : n, psa->cbElements))) {
    std::free(psa);
    return nullptr;
  }
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lbound, ULONG elements) {
  const SAFEARRAYBOUND bound = {elements, lbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
  ClearElements(psa);
  std::free(psa->pvData);
  std::free(psa);
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!psa) return S_OK;
  SAFEARRAY* copy = AllocDescriptor(psa->vt, psa->cDims, psa->rgsabound, /*reverse=*/false);
  if (!copy) return E_OUTOFMEMORY;
  const uint64_t n = ElementCount(psa);
  if (!(copy->pvData = std::calloc(n == 0 ? 1 : n, copy->cbElements))) {
    std::free(copy);
    return E_OUTOFMEMORY;
  }
  const auto* from = static_cast<const unsigned char*>(psa->pvData);
  auto* to = static_cast<unsigned char*>(copy->pvData);
  for (uint64_t i = 0; i < n; ++i) {
    const size_t at = i * psa->cbElements;
    if (HRESULT hr = CopyElement(psa->vt, to + at, from + at, psa->cbElements); FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *out = copy;
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt) {
  if (!psa || !vt) return E_INVALIDARG;
  *vt = psa->vt;
  return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* lbound) {
  if (!psa || !lbound) return E_INVALIDARG;
  if (dim < 1 || dim > psa->cDims) return DISP_E_BADINDEX;
  *lbound = psa->rgsabound[psa->cDims - dim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* ubound) {
  if (!psa || !ubound) return E_INVALIDARG;
  if (dim < 1 || dim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - dim];
  *ubound = static_cast<LONG>(int64_t{b.lLbound} + b.cElements - 1);
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  ULONG locks = __atomic_load_n(&psa->cLocks, __ATOMIC_RELAXED);
  do {
    if (locks >= kMaxLocks) return E_UNEXPECTED;
  } while (!__atomic_compare_exchange_n(&psa->cLocks, &locks, locks + 1, /*weak=*/true,
                                        __ATOMIC_ACQ_REL, __ATOMIC_RELAXED));
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  ULONG locks = __atomic_load_n(&psa->cLocks, __ATOMIC_RELAXED);
  do {
    if (locks == 0) return E_UNEXPECTED;
  } while (!__atomic_compare_exchange_n(&psa->cLocks, &locks, locks - 1, /*weak=*/true,
                                        __ATOMIC_ACQ_REL, __ATOMIC_RELAXED));
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data) {
  if (!psa || !data) return E_INVALIDARG;
  if (HRESULT hr = SafeArrayLock(psa); FAILED(hr)) return hr;
  *data = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* indices, void** element) {
  if (!psa || !indices || !element) return E_INVALIDARG;
  // indices[0] belongs to the last descriptor bound and varies fastest.
  uint64_t offset = 0, stride = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) {
    const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - 1 - i];
    const int64_t rel = int64_t{indices[i]} - b.lLbound;
    if (rel < 0 || rel >= int64_t{b.cElements}) return DISP_E_BADINDEX;
    offset += static_cast<uint64_t>(rel) * stride;
    stride *= b.cElements;
  }
  *element = static_cast<unsigned char*>(psa->pvData) + offset * psa->cbElements;
  return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* indices, void* value) {
  if (!psa || !indices) return E_INVALIDARG;
  // BSTRs and interface pointers are passed as themselves, the rest by address.
  const bool by_value = psa->vt == VT_BSTR || psa->vt == VT_UNKNOWN || psa->vt == VT_DISPATCH;
  if (!value && !by_value) return E_INVALIDARG;
  void* slot;
  if (HRESULT hr = SafeArrayPtrOfIndex(psa, indices, &slot); FAILED(hr)) return hr;
  if (HRESULT hr = SafeArrayLock(psa); FAILED(hr)) return hr;
  HRESULT hr = S_OK;
  switch (psa->vt) {
    case VT_BSTR: {
      const BSTR s = static_cast<BSTR>(value);
      BSTR copy = nullptr;
      if (s && !(copy = SysAllocStringLen(s, SysStringLen(s)))) {
        hr = E_OUTOFMEMORY;
      } else {
        SysFreeString(*static_cast<BSTR*>(slot));
        *static_cast<BSTR*>(slot) = copy;
      }
      break;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      auto* u = static_cast<IUnknown*>(value);
      if (u) u->AddRef();
      if (IUnknown* old = std::exchange(*static_cast<IUnknown**>(slot), u)) old->Release();
      break;
    }
    case VT_VARIANT:
      hr = VariantCopy(static_cast<VARIANT*>(slot), static_cast<const VARIANT*>(value));
      break;
    default:
      std::memcpy(slot, value, psa->cbElements);
      break;
  }
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* indices, void* value) {
  if (!psa || !indices || !value) return E_INVALIDARG;
  void* slot;
  if (HRESULT hr = SafeArrayPtrOfIndex(psa, indices, &slot); FAILED(hr)) return hr;
  if (HRESULT hr = SafeArrayLock(psa); FAILED(hr)) return hr;
  const HRESULT hr = CopyElement(psa->vt, value, slot, psa->cbElements);
  SafeArrayUnlock(psa);
  return hr;
}
