// A test double for structured storage: a real temporary compound file whose
// calls fail when the test's plan says so, so that code over IStorage/IStream
// can be driven down its storage error paths (a full disk, a short write, a
// stream that cannot be opened).
#pragma once

#include <cstdint>
#include <limits>
#include <memory>

#include "platform/com/object.h"
#include "platform/storage/storage.h"

namespace storage::testing {

// What fails. Shared by a storage and its streams, so a test may change it
// while they are in use; budgets count bytes over all streams of the storage.
struct FaultPlan {
  HRESULT create_stream = S_OK;  // a failure code returned instead of creating
  HRESULT open_stream = S_OK;
  HRESULT stat = S_OK;
  uint64_t write_budget = std::numeric_limits<uint64_t>::max();
  uint64_t read_budget = std::numeric_limits<uint64_t>::max();
  // At the end of a budget: true reports success with fewer bytes, false
  // writes (reads) what the budget allows and fails with `failure`.
  bool short_count = false;
  HRESULT failure = STG_E_MEDIUMFULL;
  int streams_made = 0;
};

class FaultyStream final : public com::ComObject<FaultyStream, IStream> {
 public:
  FaultyStream(ComPtr<IStream> real, std::shared_ptr<FaultPlan> plan)
      : real_(std::move(real)), plan_(std::move(plan)) {}

  HRESULT Read(void* pv, ULONG cb, ULONG* read) override {
    return Budgeted(plan_->read_budget, cb, read,
                    [&](ULONG n, ULONG* done) { return real_->Read(pv, n, done); });
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* written) override {
    return Budgeted(plan_->write_budget, cb, written,
                    [&](ULONG n, ULONG* done) { return real_->Write(pv, n, done); });
  }
  HRESULT Seek(LONGLONG move, DWORD origin, ULONGLONG* pos) override {
    return real_->Seek(move, origin, pos);
  }
  HRESULT SetSize(ULONGLONG size) override { return real_->SetSize(size); }
  HRESULT Stat(STATSTG* stat, DWORD flag) override {
    return FAILED(plan_->stat) ? plan_->stat : real_->Stat(stat, flag);
  }

 private:
  template <typename Op>
  HRESULT Budgeted(uint64_t& budget, ULONG cb, ULONG* count, Op op) {
    ULONG done = 0;
    const ULONG allowed = budget < cb ? static_cast<ULONG>(budget) : cb;
    HRESULT hr = op(allowed, &done);
    budget -= done;
    if (count) *count = done;
    if (FAILED(hr) || allowed == cb) return hr;
    return plan_->short_count ? S_OK : plan_->failure;
  }

  ComPtr<IStream> real_;
  std::shared_ptr<FaultPlan> plan_;
};

class FaultyStorage final : public com::ComObject<FaultyStorage, IStorage> {
 public:
  FaultyStorage(ComPtr<IStorage> real, std::shared_ptr<FaultPlan> plan)
      : real_(std::move(real)), plan_(std::move(plan)) {}

  HRESULT CreateStream(LPCOLESTR name, DWORD mode, IStream** stream) override {
    if (FAILED(plan_->create_stream)) return Fail(plan_->create_stream, stream);
    return Wrap(real_->CreateStream(name, mode, stream), stream);
  }
  HRESULT OpenStream(LPCOLESTR name, DWORD mode, IStream** stream) override {
    if (FAILED(plan_->open_stream)) return Fail(plan_->open_stream, stream);
    return Wrap(real_->OpenStream(name, mode, stream), stream);
  }
  HRESULT Stat(STATSTG* stat, DWORD flag) override { return real_->Stat(stat, flag); }

 private:
  static HRESULT Fail(HRESULT hr, IStream** stream) {
    if (stream) *stream = nullptr;
    return hr;
  }
  HRESULT Wrap(HRESULT hr, IStream** stream) {
    if (FAILED(hr)) return hr;
    auto real = ComPtr<IStream>::Adopt(*stream);
    *stream = new FaultyStream(std::move(real), plan_);
    ++plan_->streams_made;
    return S_OK;
  }

  ComPtr<IStorage> real_;
  std::shared_ptr<FaultPlan> plan_;
};

// A temporary compound file whose calls follow `plan`.
inline HRESULT CreateFaultyDocfile(std::shared_ptr<FaultPlan> plan, IStorage** storage) {
  ComPtr<IStorage> real;
  const HRESULT hr = StgCreateDocfile(
      nullptr, STGM_DELETEONRELEASE | STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0,
      real.Receive());
  if (FAILED(hr)) return hr;
  *storage = new FaultyStorage(std::move(real), std::move(plan));
  return S_OK;
}

}  // namespace storage::testing
