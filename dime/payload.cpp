#include "dime/payload.h"

#include <algorithm>
#include <utility>

#include "dime/record.h"

namespace dime {

DimePayload::DimePayload(IStorage* storage, std::string id, std::string type,
                         uint32_t type_name_format)
    : file_slot_(),
      storage_(storage),
      id_(std::move(id)),
      type_(std::move(type)),
      type_name_format_(type_name_format) {}

DimePayload::~DimePayload() = default;

bool DimePayload::CreateStream() {
  stream_.Reset();
  if (!storage_) return false;
  return SUCCEEDED(storage_->CreateStream(u"", STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE,
                                          stream_.Receive()));
}

bool DimePayload::OpenStream() {
  stream_.Reset();
  if (!storage_) return false;
  return SUCCEEDED(storage_->OpenStream(u"", STGM_SHARE_EXCLUSIVE | STGM_READ, stream_.Receive()));
}

bool DimePayload::Close() {
  if (!storage_) return false;
  stream_.Reset();
  return true;
}

uint64_t DimePayload::GetSize() {
  uint64_t size = 0;
  return TryGetSize(&size) ? size : 0;
}

bool DimePayload::TryGetSize(uint64_t* size) {
  *size = 0;
  if (!stream_) return false;
  STATSTG stat{};
  if (FAILED(stream_->Stat(&stat, STATFLAG_NONAME))) return false;
  *size = stat.cbSize;
  return true;
}

bool DimePayload::Read(void* buffer, uint32_t length, uint32_t* read) {
  if (read) *read = 0;
  if (!stream_) return false;
  ULONG n = 0;
  const HRESULT hr = stream_->Read(buffer, length, &n);
  if (read) *read = n;
  return SUCCEEDED(hr);
}

bool DimePayload::Write(const void* bytes, uint32_t length, uint32_t* written) {
  if (written) *written = 0;
  if (!stream_) return false;
  ULONG n = 0;
  const HRESULT hr = stream_->Write(bytes, length, &n);
  if (written) *written = n;
  return SUCCEEDED(hr);
}

uint64_t DimePayload::GetOptionsLength() const {
  uint64_t total = 0;
  for (const DimeOption& o : options_) total += 4 + o.data.size();
  return total;
}

bool DimePayload::WriteOptions(uint8_t* buffer, size_t capacity, size_t* written) const {
  *written = 0;
  if (GetOptionsLength() > capacity) return false;
  uint8_t* p = buffer;
  for (const DimeOption& o : options_) {
    PutBe16(p, o.type);
    PutBe16(p + 2, static_cast<uint16_t>(o.data.size()));
    p += 4;
    if (!o.data.empty()) {
      std::copy(o.data.begin(), o.data.end(), p);
      p += o.data.size();
    }
  }
  *written = static_cast<size_t>(p - buffer);
  return true;
}

bool DimePayload::ParseOptions(const uint8_t* bytes, size_t length) {
  if (length == 0) return false;
  size_t at = 0;
  while (at < length) {
    if (length - at < 4) return false;
    const uint16_t type = GetBe16(bytes + at);
    const uint16_t size = GetBe16(bytes + at + 2);
    at += 4;
    if (size > length - at) return false;
    options_.push_back(DimeOption{type, std::vector<uint8_t>(bytes + at, bytes + at + size)});
    at += size;
  }
  return true;
}

bool DimePayload::AddOption(DimeOption option) {
  if (option.data.size() > kMaxFieldLength) return false;
  options_.push_back(std::move(option));
  return true;
}

}  // namespace dime
