#include "dime/serializer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "dime/internal/report.h"
#include "dime/record.h"

namespace dime {
namespace {

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[160];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

uint8_t* PutPadding(uint8_t* at, uint64_t length) {
  const uint32_t n = Padding(length);
  std::memset(at, 0, n);
  return at + n;
}

uint8_t* PutField(uint8_t* at, const std::string& field) {
  if (!field.empty()) std::memcpy(at, field.data(), field.size());
  return PutPadding(at + field.size(), field.size());
}

}  // namespace

bool Serializer::Initializer(uint32_t record_size, PayloadList* payloads) {
  state_ = State::Start;
  index_ = 0;
  remaining_ = 0;
  sizes_.clear();
  measured_total_ = 0;
  measured_ = false;
  last_error_.clear();
  last_error_detail_.clear();
  if (record_size % 4 != 0) {
    payloads_ = nullptr;
    SetError(u"Serializer.Initializer.BadRecordSizeModulo");
    Fail();
    return false;
  }
  if (payloads == nullptr) {
    SetError(u"Serializer.Initializer.NullPayloadArrayPtr");
    Fail();
    return false;
  }
  record_size_ = record_size;
  payloads_ = payloads;
  return true;
}

bool Serializer::Serialize(uint8_t* buffer, size_t size, size_t* written) {
  *written = 0;
  if (payloads_ == nullptr || buffer == nullptr || size < record_size_) {
    if (state_ != State::Error) {
      SetError(payloads_ == nullptr ? u"Serializer.Serialize.Uninitialized"
                                    : u"Serializer.Serialize.BadBufferSize");
      Fail();
    }
    return false;
  }
  out_ = buffer;
  written_ = 0;
  EventHandler(Event::NextBuffer);
  *written = written_;
  out_ = nullptr;
  return true;
}

Serializer::Event Serializer::SetError(std::u16string_view key, std::string detail) {
  last_error_.assign(key);
  last_error_detail_ = std::move(detail);
  return Event::Error;
}

void Serializer::Fail() {
  state_ = State::Error;
  internal::ReportError(last_error_);
}

void Serializer::EventHandler(Event event) {
  while (event != Event::Stop && state_ != State::Done && state_ != State::Error) {
    if (event == Event::Error) {  // the failing step set the key
      Fail();
      return;
    }
    switch (state_) {
      case State::Start:
        if (event == Event::NextBuffer) {
          state_ = State::OpenPayload;
          event = OpenPayloadStep();
        } else {
          event = SetError(u"Serializer.EventHandler.Start.BadEvent");
        }
        break;
      case State::OpenPayload:
        if (event == Event::PayloadOpened) {
          state_ = State::SerializePayload;
          event = SerializePayloadStep();
        } else {
          event = SetError(u"Serializer.EventHandler.OpenPayload.BadEvent");
        }
        break;
      case State::SerializePayload:
      case State::SerializeChunk: {
        const bool chunk = state_ == State::SerializeChunk;
        if (event == Event::NextBuffer) {
          event = chunk ? SerializeChunkStep() : SerializePayloadStep();
        } else if (event == Event::PayloadComplete) {
          state_ = State::ClosePayload;
          event = ClosePayloadStep();
        } else if (event == Event::LastPayloadComplete) {
          event = ClosePayloadStep();
          if (event != Event::Error) {
            state_ = State::Done;
            event = Event::Stop;
          }
        } else if (event == Event::RecordFull && !chunk) {
          state_ = State::SerializeChunk;  // the buffer is full
          event = Event::Stop;
        } else {
          event = SetError(chunk ? u"Serializer.EventHandler.SerializeChunk.BadEvent"
                                 : u"Serializer.EventHandler.SerializePayload.BadEvent");
        }
        break;
      }
      case State::ClosePayload:
        if (event == Event::PayloadClosed) {
          state_ = State::Start;  // the next payload starts in the next buffer
          event = Event::Stop;
        } else {
          event = SetError(u"Serializer.EventHandler.ClosePayload.BadEvent");
        }
        break;
      default:
        event = SetError(u"Serializer.EventHandler.BadState");
        break;
    }
  }
}

bool Serializer::FixedFields(const DimePayload& payload, Fixed* fixed) {
  if (payload.TypeNameFormat() > kMaxTypeNameFormat) {
    SetError(u"Serializer.SerializePayload.BadTypeNameFormat",
             Format("dime: payload %" PRIu32 " type-name format %" PRIu32 " exceeds limit %" PRIu32,
                    index_, payload.TypeNameFormat(), kMaxTypeNameFormat));
    return false;
  }
  const uint64_t options = payload.GetOptionsLength();
  const uint64_t widest =
      std::max({options, uint64_t{payload.Id().size()}, uint64_t{payload.Type().size()}});
  if (widest > kMaxFieldLength) {
    SetError(u"Serializer.SerializePayload.FieldTooLong",
             Format("dime: payload %" PRIu32 " field length %" PRIu64 " exceeds limit %" PRIu32,
                    index_, widest, kMaxFieldLength));
    return false;
  }
  const uint64_t id = payload.Id().size();
  const uint64_t type = payload.Type().size();
  fixed->options_length = static_cast<uint32_t>(options);
  fixed->length =
      kHeaderSize + options + Padding(options) + id + Padding(id) + type + Padding(type);
  if (record_size_ <= fixed->length + 4) {
    SetError(u"Serializer.SerializePayload.RecordSizeTooSmall",
             Format("dime: payload %" PRIu32 " needs %" PRIu64
                    " bytes before its data, record size %" PRIu32,
                    index_, fixed->length, record_size_));
    return false;
  }
  return true;
}

bool Serializer::Measure(uint64_t* total) {
  *total = 0;
  if (payloads_->empty()) {
    SetError(u"Serializer.OpenPayload.NoPayloads");
    return false;
  }
  if (payloads_->size() > limits_.max_payloads) {
    SetError(u"Serializer.OpenPayload.TooManyPayloads",
             Format("dime: %zu payloads exceed limit %" PRIu32, payloads_->size(),
                    limits_.max_payloads));
    return false;
  }
  const uint32_t saved_index = index_;
  std::vector<uint64_t> sizes;
  bool ok = true;
  for (uint32_t i = 0; ok && i < payloads_->size(); ++i) {
    index_ = i;  // names the payload in diagnostics
    DimePayload& payload = *(*payloads_)[i];
    if (!payload.OpenStream()) {
      SetError(u"Serializer.OpenPayload.OpenForReadFailed");
      ok = false;
      break;
    }
    Fixed fixed;
    uint64_t size = 0;
    if (!FixedFields(payload, &fixed)) {
      ok = false;
    } else if (!payload.TryGetSize(&size)) {
      SetError(u"Serializer.OpenPayload.OpenForReadFailed");
      ok = false;
    }
    if (!payload.Close() && ok) {
      SetError(u"Serializer.ClosePayload.CloseFailed");
      ok = false;
    }
    if (!ok) break;
    const uint64_t room = record_size_ - fixed.length;
    uint64_t length;
    if (size > limits_.max_message_bytes) {
      length = size;  // refused below; spares the sums from overflow
    } else if (size < room) {
      length = fixed.length + size + Padding(size);
    } else {
      const uint64_t rest = size - room;
      const uint64_t chunk = record_size_ - kHeaderSize;
      const uint64_t last = rest % chunk;
      length = record_size_ + (rest / chunk) * record_size_ + kHeaderSize + last + Padding(last);
    }
    if (length > limits_.max_message_bytes - *total) {
      SetError(u"Serializer.OpenPayload.MessageTooLarge",
               Format("dime: message of more than %" PRIu64 " bytes exceeds limit %" PRIu64,
                      *total + length, limits_.max_message_bytes));
      ok = false;
      break;
    }
    *total += length;
    sizes.push_back(size);
  }
  index_ = saved_index;
  if (ok) {
    sizes_ = std::move(sizes);
    measured_total_ = *total;
    measured_ = true;
  }
  return ok;
}

uint64_t Serializer::ComputeMessageLength() {
  if (payloads_ == nullptr || state_ == State::SerializeChunk) return 0;
  // Once records have left, the message is the one measured for them.
  if (index_ > 0 || state_ != State::Start) return measured_ ? measured_total_ : 0;
  uint64_t total = 0;
  return Measure(&total) ? total : 0;
}

Serializer::Event Serializer::OpenPayloadStep() {
  if (index_ == 0) {
    // The whole message is checked before its first record leaves, and
    // measured unless its length was already announced.
    uint64_t total = 0;
    if (!measured_ || sizes_.size() != payloads_->size()) {
      if (!Measure(&total)) return Event::Error;
    }
  }
  if (!(*payloads_)[index_]->OpenStream()) {
    return SetError(u"Serializer.OpenPayload.OpenForReadFailed");
  }
  return Event::PayloadOpened;
}

Serializer::Event Serializer::ClosePayloadStep() {
  if (!(*payloads_)[index_]->Close()) return SetError(u"Serializer.ClosePayload.CloseFailed");
  ++index_;
  return Event::PayloadClosed;
}

bool Serializer::ReadData(uint8_t* out, uint32_t length, std::u16string_view key) {
  if (length == 0) return true;
  uint32_t read = 0;
  if (!(*payloads_)[index_]->Read(out, length, &read) || read != length) {
    SetError(key);
    return false;
  }
  return true;
}

Serializer::Event Serializer::SerializePayloadStep() {
  DimePayload& payload = *(*payloads_)[index_];
  Fixed fixed;
  if (!FixedFields(payload, &fixed)) return Event::Error;
  if (index_ >= sizes_.size()) return SetError(u"Serializer.SerializePayload.ReadPayloadFailed");
  const uint64_t size = sizes_[index_];
  const uint64_t room = record_size_ - fixed.length;
  const bool chunked = size >= room;
  const auto data = static_cast<uint32_t>(chunked ? room : size);
  const bool last = index_ + 1 == payloads_->size();

  RecordHeader h;
  h.mb = index_ == 0;
  h.me = last && !chunked;
  h.cf = chunked;
  h.tnf = static_cast<uint8_t>(payload.TypeNameFormat());
  h.options_length = static_cast<uint16_t>(fixed.options_length);
  h.id_length = static_cast<uint16_t>(payload.Id().size());
  h.type_length = static_cast<uint16_t>(payload.Type().size());
  h.data_length = data;
  EncodeHeader(h, out_);
  uint8_t* at = out_ + kHeaderSize;
  if (fixed.options_length > 0) {
    size_t n = 0;
    if (!payload.WriteOptions(at, record_size_ - kHeaderSize, &n)) {
      return SetError(u"Serializer.Serialize.ProcessOptionsFailed");
    }
    at = PutPadding(at + n, n);
  }
  at = PutField(at, payload.Id());
  at = PutField(at, payload.Type());
  if (!ReadData(at, data, u"Serializer.SerializePayload.ReadPayloadFailed")) return Event::Error;
  at = PutPadding(at + data, data);
  remaining_ = size - data;
  written_ = static_cast<size_t>(at - out_);
  if (chunked) return Event::RecordFull;
  return last ? Event::LastPayloadComplete : Event::PayloadComplete;
}

Serializer::Event Serializer::SerializeChunkStep() {
  if (record_size_ <= kHeaderSize + 4) {
    return SetError(u"Serializer.SerializeChunk.RecordSizeTooSmall");
  }
  const uint32_t room = record_size_ - kHeaderSize;
  // Exactly the size measured when the payload was opened, so the bytes sent
  // match the announced length even if the stream changes meanwhile.
  const auto data = static_cast<uint32_t>(std::min<uint64_t>(remaining_, room));
  const bool final = data < room;  // a payload that fills its chunks ends with an empty one
  const bool last = index_ + 1 == payloads_->size();
  if (!ReadData(out_ + kHeaderSize, data, u"Serializer.SerializeChunk.ReadPayloadFailed")) {
    return Event::Error;
  }
  RecordHeader h;
  h.me = final && last;
  h.cf = !final;
  h.data_length = data;
  EncodeHeader(h, out_);
  uint8_t* at = PutPadding(out_ + kHeaderSize + data, data);
  remaining_ -= data;
  written_ = static_cast<size_t>(at - out_);
  if (!final) return Event::Stop;
  return last ? Event::LastPayloadComplete : Event::PayloadComplete;
}

}  // namespace dime
