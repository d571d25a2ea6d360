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

uint64_t DimePayload::GetOptionsLength() const { return options_.size(); }

bool DimePayload::WriteOptions(uint8_t* buffer, size_t capacity, size_t* written) const {
  *written = 0;
  if (options_.size() > capacity) return false;
  if (!options_.empty()) std::copy(options_.begin(), options_.end(), buffer);
  *written = options_.size();
  return true;
}

std::vector<DimeOption> DimePayload::Options() const {
  std::vector<DimeOption> out;
  const uint8_t* bytes = options_.data();
  for (size_t at = 0; at + 4 <= options_.size();) {
    const uint16_t type = GetBe16(bytes + at);
    const uint16_t size = GetBe16(bytes + at + 2);
    at += 4;
    out.push_back(DimeOption{type, std::vector<uint8_t>(bytes + at, bytes + at + size)});
    at += size;
  }
  return out;
}

bool DimePayload::ParseOptions(const uint8_t* bytes, size_t length) {
  if (length == 0) return false;
  size_t at = 0;
  bool whole = true;
  while (at < length) {
    if (length - at < 4 || GetBe16(bytes + at + 2) > length - at - 4) {
      whole = false;
      break;
    }
    at += 4 + GetBe16(bytes + at + 2);
  }
  options_.insert(options_.end(), bytes, bytes + at);
  return whole;
}

bool DimePayload::AddOption(DimeOption option) {
  if (option.data.size() > kMaxFieldLength) return false;
  uint8_t head[4];
  PutBe16(head, option.type);
  PutBe16(head + 2, static_cast<uint16_t>(option.data.size()));
  options_.insert(options_.end(), head, head + 4);
  options_.insert(options_.end(), option.data.begin(), option.data.end());
  return true;
}

}  // namespace dime
