#include "dime/message.h"

#include <algorithm>
#include <new>
#include <utility>

#include "dime/record.h"

namespace dime {
namespace {

constexpr uint64_t kMaxWritePiece = uint64_t{1} << 30;

[[noreturn]] void Throw(const std::u16string& key, const std::string& detail) {
  throw new DIMEParserException(key, detail);
}

}  // namespace

DimeMessage::DimeMessage() : resources_(&DimeResources::Default()) {
  deserializer_.SetResources(resources_);
}

DimeMessage::~DimeMessage() = default;

bool DimeMessage::InitSerializer(uint32_t record_size) {
  const bool ok = serializer_.Initializer(record_size, &payloads_);
  if (serializer_.HasFailed()) Throw(serializer_.LastError(), serializer_.LastErrorDetail());
  Clear();
  return ok;
}

bool DimeMessage::InitDeserializer(uint64_t content_length) {
  const bool ok = deserializer_.Initializer(&payloads_, content_length);
  if (deserializer_.HasFailed()) {
    Throw(deserializer_.LastError(), deserializer_.LastErrorDetail());
  }
  Clear();
  return ok;
}

bool DimeMessage::AddPayload(IStorage* storage, std::string id, std::string type,
                             uint32_t type_name_format, const uint8_t* options,
                             size_t options_length) {
  try {
    auto payload =
        std::make_unique<DimePayload>(storage, std::move(id), std::move(type), type_name_format);
    if (options != nullptr && options_length > 0) {
      (void)payload->ParseOptions(options, options_length);
    }
    payloads_.push_back(std::move(payload));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool DimeMessage::AddPayloadFromBytes(const void* data, size_t length, std::string id,
                                      std::string type, uint32_t type_name_format,
                                      const void* option_data, uint32_t option_length,
                                      uint32_t option_type) {
  if (option_data != nullptr && (option_length > kMaxFieldLength || option_type > 0xFFFF)) {
    return false;
  }
  if (data == nullptr && length > 0) return false;
  ComPtr<IStorage> storage;
  if (FAILED(resources_->CreateStorage(storage.Receive())) || !storage) return false;
  {
    ComPtr<IStream> stream;
    if (FAILED(storage->CreateStream(u"", STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE,
                                     stream.Receive()))) {
      return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
      const auto piece = static_cast<ULONG>(std::min<uint64_t>(length, kMaxWritePiece));
      ULONG written = 0;
      if (FAILED(stream->Write(bytes, piece, &written)) || written != piece) return false;
      bytes += piece;
      length -= piece;
    }
  }
  try {
    auto payload = std::make_unique<DimePayload>(storage.Get(), std::move(id), std::move(type),
                                                 type_name_format);
    if (option_data != nullptr) {
      const auto* o = static_cast<const uint8_t*>(option_data);
      payload->AddOption(DimeOption{static_cast<uint16_t>(option_type),
                                    std::vector<uint8_t>(o, o + option_length)});
    }
    payloads_.push_back(std::move(payload));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool DimeMessage::Serialize(uint8_t* buffer, size_t size, size_t* written) {
  serializer_.Serialize(buffer, size, written);
  if (serializer_.HasFailed()) Throw(serializer_.LastError(), serializer_.LastErrorDetail());
  return !serializer_.IsDone();
}

bool DimeMessage::Deserialize(const uint8_t* bytes, size_t length) {
  deserializer_.Deserialize(bytes, length);
  if (deserializer_.HasFailed()) {
    Throw(deserializer_.LastError(), deserializer_.LastErrorDetail());
  }
  return !deserializer_.IsDone();
}

void DimeMessage::EndOfInput() {
  if (!deserializer_.EndOfInput()) {
    Throw(deserializer_.LastError(), deserializer_.LastErrorDetail());
  }
}

void DimeMessage::SetLimits(const DimeLimits& limits) {
  limits_ = limits;
  serializer_.SetLimits(limits);
  deserializer_.SetLimits(limits);
}

void DimeMessage::SetResourcesForTest(DimeResources* resources) {
  resources_ = resources ? resources : &DimeResources::Default();
  deserializer_.SetResources(resources_);
}

}  // namespace dime
