#include "dime/deserializer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <new>
#include <utility>

#include "dime/internal/report.h"

namespace dime {
namespace {

// The store takes at most this much per call.
constexpr uint64_t kMaxWritePiece = uint64_t{1} << 30;

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[160];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

void Release(std::vector<uint8_t>& cache) { std::vector<uint8_t>().swap(cache); }

}  // namespace

Deserializer::Deserializer() : resources_(&DimeResources::Default()) {}

Deserializer::~Deserializer() = default;

void Deserializer::ResetMessage() {
  state_ = State::Start;
  index_ = 0;
  input_ = nullptr;
  available_ = 0;
  consumed_ = 0;
  header_gathered_ = 0;
  record_index_ = 0;
  payload_bytes_ = 0;
  data_remaining_ = 0;
  pending_skip_ = 0;
  Release(options_cache_);
  Release(field_cache_);
  id_.clear();
  type_.clear();
  last_error_.clear();
  last_error_detail_.clear();
}

bool Deserializer::Initializer(PayloadList* payloads, uint64_t content_length) {
  ResetMessage();
  payloads_ = payloads;
  content_length_ = content_length;
  if (payloads == nullptr) {
    SetError(u"Deserializer.Initializer.NullPayloadArrayPtr");
    Fail();
    return false;
  }
  return true;
}

bool Deserializer::Deserialize(const uint8_t* bytes, size_t length) {
  if (payloads_ == nullptr) {
    if (state_ != State::Error) {
      SetError(u"Deserializer.Deserialize.Uninitialized");
      Fail();
    }
    return false;
  }
  input_ = bytes;
  available_ = bytes ? length : 0;
  EventHandler(Event::InputAvailable);
  input_ = nullptr;
  available_ = 0;
  return true;
}

bool Deserializer::EndOfInput() {
  if (state_ == State::Done) return true;
  if (state_ != State::Error) {
    SetError(u"Deserializer.EndOfInput.MessageTruncated",
             Format("dime: message ends after %" PRIu64 " bytes, inside record %" PRIu64, consumed_,
                    record_index_));
    Fail();
  }
  return false;
}

Deserializer::Event Deserializer::SetError(std::u16string_view key, std::string detail) {
  last_error_.assign(key);
  last_error_detail_ = std::move(detail);
  return Event::Error;
}

void Deserializer::Fail() {
  state_ = State::Error;
  internal::ReportError(last_error_);
}

Deserializer::Event Deserializer::BadEvent(std::u16string_view key) {
  SetError(key);
  return Event::Error;
}

void Deserializer::EventHandler(Event event) {
  while (event != Event::NeedInput && state_ != State::Done && state_ != State::Error) {
    if (event == Event::Error) {  // the failing step set the key
      Fail();
      return;
    }
    switch (state_) {
      case State::Start:
        if (event != Event::InputAvailable) {
          event = BadEvent(u"Deserializer.EventHandler.Start.BadEvent");
          break;
        }
        state_ = State::ReadHeader;
        event = ReadHeaderStep();
        break;
      case State::ReadHeader:
        if (event == Event::InputAvailable) {
          event = ReadHeaderStep();
        } else if (event == Event::HeaderRead) {
          state_ = State::ReadOptions;
          event = ReadOptionsStep();
        } else {
          event = BadEvent(u"Deserializer.EventHandler.ReadHeader.BadEvent");
        }
        break;
      case State::ReadOptions:
        if (event == Event::InputAvailable) {
          event = ReadOptionsStep();
        } else if (event == Event::OptionsRead) {
          state_ = State::ReadId;
          event = ReadIdStep();
        } else {
          event = BadEvent(u"Deserializer.EventHandler.ReadOptions.BadEvent");
        }
        break;
      case State::ReadId:
        if (event == Event::InputAvailable) {
          event = ReadIdStep();
        } else if (event == Event::IdRead) {
          state_ = State::ReadType;
          event = ReadTypeStep();
        } else {
          event = BadEvent(u"Deserializer.EventHandler.ReadId.BadEvent");
        }
        break;
      case State::ReadType:
        if (event == Event::InputAvailable) {
          event = ReadTypeStep();
        } else if (event == Event::TypeRead) {
          state_ = State::OpenPayload;
          event = OpenPayloadStep();
        } else {
          event = BadEvent(u"Deserializer.EventHandler.ReadType.BadEvent");
        }
        break;
      case State::OpenPayload:
        if (event == Event::PayloadOpened) {
          state_ = State::DeserializePayload;
          event = DeserializeDataStep(/*chunk=*/false);
        } else {
          event = BadEvent(u"Deserializer.EventHandler.OpenPayload.BadEvent");
        }
        break;
      case State::DeserializePayload:
      case State::DeserializeChunk: {
        const bool chunk = state_ == State::DeserializeChunk;
        if (event == Event::InputAvailable) {
          event = DeserializeDataStep(chunk);
        } else if (event == Event::NextPayload) {
          state_ = chunk ? State::ClosePayload : State::NextPayload;
          event = ClosePayloadStep();
        } else if (event == Event::ChunkFollows) {
          state_ = State::ReadChunkHeader;
          event = ReadChunkHeaderStep();
        } else if (event == Event::MessageEnd) {
          // Done only once the last payload is closed.
          event = ClosePayloadStep();
          if (event != Event::Error) state_ = State::Done;
        } else {
          event = BadEvent(chunk ? u"Deserializer.EventHandler.DeserializeChunk.BadEvent"
                                 : u"Deserializer.EventHandler.DeserializePayload.BadEvent");
        }
        break;
      }
      case State::NextPayload:
      case State::ClosePayload:
        if (event == Event::PayloadClosed) {
          state_ = State::Start;
          event = Event::InputAvailable;
        } else {
          event = BadEvent(state_ == State::NextPayload
                               ? u"Deserializer.EventHandler.NextPayload.BadEvent"
                               : u"Deserializer.EventHandler.ClosePayload.BadEvent");
        }
        break;
      case State::ReadChunkHeader:
        if (event == Event::InputAvailable) {
          event = ReadChunkHeaderStep();
        } else if (event == Event::ChunkHeaderRead) {
          state_ = State::ReadChunkOptions;
          event = ReadOptionsStep();
        } else {
          event = BadEvent(u"Deserializer.EventHandler.ReadChunkHeader.BadEvent");
        }
        break;
      case State::ReadChunkOptions:
        if (event == Event::InputAvailable) {
          event = ReadOptionsStep();
        } else if (event == Event::OptionsRead) {
          // A chunk's options carry nothing for the payload; drop them so
          // they cannot reach the next record.
          Release(options_cache_);
          state_ = State::DeserializeChunk;
          event = DeserializeDataStep(/*chunk=*/true);
        } else {
          event = BadEvent(u"Deserializer.EventHandler.ReadChunkOptions.BadEvent");
        }
        break;
      default:
        event = BadEvent(u"Deserializer.EventHandler.BadState");
        break;
    }
  }
}

void Deserializer::Consume(size_t n) {
  input_ += n;
  available_ -= n;
  consumed_ += n;
}

void Deserializer::SkipPadding() {
  const size_t n = std::min<size_t>(pending_skip_, available_);
  Consume(n);
  pending_skip_ -= static_cast<uint32_t>(n);
}

bool Deserializer::GatherHeader() {
  const size_t n = std::min(kHeaderSize - header_gathered_, available_);
  std::copy_n(input_, n, header_ + header_gathered_);
  header_gathered_ += n;
  Consume(n);
  if (header_gathered_ < kHeaderSize) return false;
  header_gathered_ = 0;
  return true;
}

void Deserializer::TakeRecord(const RecordHeader& h) {
  me_ = h.me;
  cf_ = h.cf;
  tnf_ = h.tnf;
  options_length_ = h.options_length;
  options_padding_ = Padding(h.options_length);
  id_length_ = h.id_length;
  id_padding_ = Padding(h.id_length);
  type_length_ = h.type_length;
  type_padding_ = Padding(h.type_length);
  data_length_ = h.data_length;
  data_padding_ = Padding(h.data_length);
  data_remaining_ = h.data_length;
}

// Called with the header just read: what the rest of the record claims must fit
// the message limit, the content length and, for the envelope, its limit.
bool Deserializer::CheckLimits() {
  const uint64_t fields = uint64_t{options_length_} + options_padding_ + id_length_ + id_padding_ +
                          type_length_ + type_padding_;
  const uint64_t rest = fields + data_length_;
  if (consumed_ + rest + data_padding_ > limits_.max_message_bytes) {
    SetError(u"Deserializer.ReadHeader.MessageTooLarge",
             Format("dime: record %" PRIu64 " data length %" PRIu32
                    " takes the message past the limit of %" PRIu64 " bytes",
                    record_index_, data_length_, limits_.max_message_bytes));
    return false;
  }
  if (content_length_ != kUnknownContentLength && consumed_ + rest > content_length_) {
    SetError(u"Deserializer.ReadHeader.RecordBeyondContentLength",
             Format("dime: record %" PRIu64 " needs %" PRIu64 " more bytes, content length %" PRIu64
                    " leaves %" PRIu64,
                    record_index_, rest, content_length_,
                    content_length_ > consumed_ ? content_length_ - consumed_ : 0));
    return false;
  }
  if (index_ == 0 && data_length_ > limits_.max_envelope_bytes - payload_bytes_) {
    SetError(u"Deserializer.ReadHeader.EnvelopeTooLarge",
             Format("dime: envelope of %" PRIu64 " bytes exceeds limit %" PRIu64,
                    payload_bytes_ + data_length_, limits_.max_envelope_bytes));
    return false;
  }
  payload_bytes_ += data_length_;
  return true;
}

Deserializer::Event Deserializer::ReadHeaderStep() {
  SkipPadding();
  if (!GatherHeader()) return Event::NeedInput;
  const RecordHeader h = DecodeHeader(header_);
  if (h.version != kVersion) return SetError(u"Deserializer.ReadHeader.VersionNotSupported1");
  if (index_ == 0 && !h.mb) return SetError(u"Deserializer.ReadHeader.MsgStartBitNotSet");
  TakeRecord(h);
  payload_bytes_ = 0;
  const bool ok = CheckLimits();
  ++record_index_;
  return ok ? Event::HeaderRead : Event::Error;
}

Deserializer::Event Deserializer::ReadChunkHeaderStep() {
  SkipPadding();
  if (!GatherHeader()) return Event::NeedInput;
  const RecordHeader h = DecodeHeader(header_);
  if (h.version != kVersion) return SetError(u"Deserializer.ReadHeader.VersionNotSupported2");
  if (h.tnf != kTnfUnchanged) return SetError(u"Deserializer.ReadHeader.ChunkInvalidType");
  if (h.id_length != 0) return SetError(u"Deserializer.ReadHeader.ChunkNonzeroIdLength");
  if (h.type_length != 0) return SetError(u"Deserializer.ReadHeader.ChunkNonzeroTypeLength");
  // The same bookkeeping as a first record: this record's data, its padding,
  // a fresh count of what is still to write.
  TakeRecord(h);
  Release(options_cache_);
  const bool ok = CheckLimits();
  ++record_index_;
  return ok ? Event::ChunkHeaderRead : Event::Error;
}

Deserializer::Gathered Deserializer::GatherField(std::vector<uint8_t>& cache, size_t need,
                                                 std::u16string_view partial_key,
                                                 std::u16string_view complete_key) {
  const size_t missing = need - cache.size();
  const size_t take = std::min(missing, available_);
  if (take == 0) return missing == 0 ? Gathered::Complete : Gathered::NeedInput;
  const bool completes = take == missing;
  if (cache.capacity() < need) {
    // One allocation per field: its length is known from the header.
    bool ok = resources_->MayAllocate();
    if (ok) {
      try {
        cache.reserve(need);
      } catch (const std::bad_alloc&) {
        ok = false;
      }
    }
    if (!ok) {
      SetError(completes ? complete_key : partial_key);
      return Gathered::Failed;
    }
  }
  cache.insert(cache.end(), input_, input_ + take);
  Consume(take);
  return completes ? Gathered::Complete : Gathered::NeedInput;
}

Deserializer::Event Deserializer::ReadOptionsStep() {
  if (options_length_ == 0) return Event::OptionsRead;
  switch (GatherField(options_cache_, options_length_ + options_padding_,
                      u"Deserializer.ReadOptions.CacheAllocFailed1",
                      u"Deserializer.ReadOptions.CacheAllocFailed2")) {
    case Gathered::Complete:
      return Event::OptionsRead;
    case Gathered::NeedInput:
      return Event::NeedInput;
    case Gathered::Failed:
      break;
  }
  return Event::Error;
}

Deserializer::Event Deserializer::ReadIdStep() {
  id_.clear();
  if (id_length_ == 0) return Event::IdRead;
  switch (GatherField(field_cache_, id_length_ + id_padding_,
                      u"Deserializer.ReadId.CacheAllocFailed1",
                      u"Deserializer.ReadId.CacheAllocFailed2")) {
    case Gathered::NeedInput:
      return Event::NeedInput;
    case Gathered::Failed:
      return Event::Error;
    case Gathered::Complete:
      break;
  }
  try {
    id_.assign(reinterpret_cast<const char*>(field_cache_.data()), id_length_);
  } catch (const std::bad_alloc&) {
    return SetError(u"Deserializer.ReadId.CacheAllocFailed2");
  }
  Release(field_cache_);
  return Event::IdRead;
}

Deserializer::Event Deserializer::ReadTypeStep() {
  type_.clear();
  if (type_length_ == 0) return Event::TypeRead;
  switch (GatherField(field_cache_, type_length_ + type_padding_,
                      u"Deserializer.ReadType.CacheAllocFailed1",
                      u"Deserializer.ReadType.CacheAllocFailed2")) {
    case Gathered::NeedInput:
      return Event::NeedInput;
    case Gathered::Failed:
      return Event::Error;
    case Gathered::Complete:
      break;
  }
  try {
    type_.assign(reinterpret_cast<const char*>(field_cache_.data()), type_length_);
  } catch (const std::bad_alloc&) {
    return SetError(u"Deserializer.ReadType.CacheAllocFailed2");
  }
  Release(field_cache_);
  return Event::TypeRead;
}

Deserializer::Event Deserializer::OpenPayloadStep() {
  if (payloads_->size() >= limits_.max_payloads) {
    return SetError(u"Deserializer.OpenPayload.TooManyPayloads",
                    Format("dime: record %" PRIu64 " opens payload %zu, limit %" PRIu32,
                           record_index_ - 1, payloads_->size() + 1, limits_.max_payloads));
  }
  PayloadFileSlot slot;
  if (!slot.Acquire()) {
    return SetError(u"Deserializer.OpenPayload.CreateFileFailed",
                    Format("dime: record %" PRIu64 " opens a payload file over the process "
                           "budget of %" PRIu64,
                           record_index_ - 1, PayloadFileBudget()));
  }
  ComPtr<IStorage> storage;
  if (FAILED(resources_->CreateStorage(storage.Receive())) || !storage) {
    return SetError(u"Deserializer.OpenPayload.CreateFileFailed");
  }
  DimePayloadPtr payload;
  if (resources_->MayAllocate()) {
    payload.reset(new (std::nothrow)
                      DimePayload(storage.Get(), std::move(id_), std::move(type_), tnf_));
  }
  if (!payload) return SetError(u"Deserializer.OpenPayload.CreatePayloadFailed");
  payload->HoldFileSlot(std::move(slot));
  if (!payload->CreateStream()) return SetError(u"Deserializer.OpenPayload.OpenStreamFailed");
  if (options_length_ != 0) {
    bool parsed = false;
    try {
      parsed = payload->ParseOptions(options_cache_.data(), options_length_);
    } catch (const std::bad_alloc&) {
    }
    Release(options_cache_);
    if (!parsed) return SetError(u"Deserializer.OpenPayload.ProcessingFailed");
  }
  try {
    payloads_->push_back(std::move(payload));
  } catch (const std::bad_alloc&) {
    return SetError(u"Deserializer.OpenPayload.CreatePayloadFailed");
  }
  return Event::PayloadOpened;
}

bool Deserializer::WriteData(const uint8_t* bytes, uint64_t length) {
  DimePayload& payload = *(*payloads_)[index_];
  while (length > 0) {
    const auto piece = static_cast<uint32_t>(std::min(length, kMaxWritePiece));
    uint32_t written = 0;
    if (!payload.Write(bytes, piece, &written) || written != piece) return false;
    bytes += piece;
    length -= piece;
  }
  return true;
}

Deserializer::Event Deserializer::DeserializeDataStep(bool chunk) {
  if (data_remaining_ > 0) {
    // 64-bit sums: a DATA_LENGTH near 2^32 must not wrap into a small count.
    const uint64_t available = available_;
    if (available >= data_remaining_ + data_padding_) {
      if (!WriteData(input_, data_remaining_)) {
        return SetError(chunk ? u"Deserializer.DeserializeChunk.WriteFailed1"
                              : u"Deserializer.DeserializePayload.WriteFailed1");
      }
      Consume(static_cast<size_t>(data_remaining_ + data_padding_));
    } else if (available >= data_remaining_) {
      if (!WriteData(input_, data_remaining_)) {
        return SetError(chunk ? u"Deserializer.DeserializeChunk.WriteFailed2"
                              : u"Deserializer.DeserializePayload.WriteFailed2");
      }
      pending_skip_ = static_cast<uint32_t>(data_padding_ - (available - data_remaining_));
      Consume(available_);
    } else {
      if (available > 0 && !WriteData(input_, available)) {
        return SetError(chunk ? u"Deserializer.DeserializeChunk.WriteFailed3"
                              : u"Deserializer.DeserializePayload.WriteFailed3");
      }
      data_remaining_ -= available;
      Consume(available_);
      return Event::NeedInput;
    }
    data_remaining_ = 0;
  }
  if (cf_) return Event::ChunkFollows;
  if (me_) return Event::MessageEnd;
  return Event::NextPayload;
}

Deserializer::Event Deserializer::ClosePayloadStep() {
  if (!(*payloads_)[index_]->Close()) return SetError(u"Deserializer.ClosePayload.CloseFailed");
  ++index_;
  return Event::PayloadClosed;
}

}  // namespace dime
