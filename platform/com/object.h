// Reference-counted objects: one template supplies QueryInterface, AddRef and
// Release for an implementation of one or more interfaces. Each interface
// names its identity as `static constexpr IID kIid`.
#pragma once

#include <atomic>
#include <type_traits>
#include <utility>

#include "platform/base/base.h"

namespace com {

// Live objects of the module that compiles this header (each component
// library has its own copy: symbols are hidden), for DllCanUnloadNow.
inline std::atomic<long>& ModuleObjectCount() {
  static std::atomic<long> count{0};
  return count;
}

template <typename Derived, typename First, typename... Rest>
class ComObject : public First, public Rest... {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown) {
      *object = static_cast<IUnknown*>(static_cast<First*>(this));
    } else if (!Find<First, Rest...>(iid, object)) {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }

 protected:
  ComObject() { ModuleObjectCount().fetch_add(1, std::memory_order_relaxed); }
  virtual ~ComObject() { ModuleObjectCount().fetch_sub(1, std::memory_order_relaxed); }

 private:
  template <typename I, typename... More>
  bool Find(REFIID iid, void** object) {
    if (iid == I::kIid || (iid == IID_IDispatch && std::is_base_of_v<IDispatch, I>)) {
      *object = static_cast<I*>(this);
      return true;
    }
    if constexpr (sizeof...(More) > 0) {
      return Find<More...>(iid, object);
    } else {
      return false;
    }
  }

  std::atomic<ULONG> refs_{1};  // the creator's reference
};

// Creates an object holding one reference, owned by the returned pointer.
template <typename T, typename... Args>
ComPtr<T> MakeComObject(Args&&... args) {
  return ComPtr<T>::Adopt(new T(std::forward<Args>(args)...));
}

// The identity of interface I: its kIid, or the well-known one of the roots.
template <typename I>
constexpr const IID& IidOf() {
  if constexpr (std::is_same_v<I, IUnknown>) {
    return IID_IUnknown;
  } else if constexpr (std::is_same_v<I, IDispatch>) {
    return IID_IDispatch;
  } else {
    return I::kIid;
  }
}

// Queries `from` for interface I; empty when it does not implement it.
template <typename I, typename From>
ComPtr<I> QueryInterfacePtr(From* from) {
  ComPtr<I> out;
  if (from) from->QueryInterface(IidOf<I>(), out.ReceiveVoid());
  return out;
}

}  // namespace com
