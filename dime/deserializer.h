// The incremental DIME reader. It is fed a message body in pieces of any size,
// as they arrive from the network, and turns each record into a payload of the
// bound list: header and small fields go through bounded caches, DATA goes
// straight from the caller's bytes into the payload's temporary stream.
//
// Every failure leaves the reader in Error with a dotted key naming the step
// and the reason ("Deserializer.ReadHeader.MsgStartBitNotSet"), reported once
// to the event log. Done means the last record (ME) was read to the end of its
// data: a message cut short never reaches it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dime/payload.h"
#include "dime/record.h"
#include "dime/resources.h"

namespace dime {

class Deserializer {
 public:
  enum class State : uint32_t {
    Start,
    ReadHeader,
    ReadOptions,
    ReadChunkOptions,
    ReadId,
    ReadType,
    OpenPayload,
    DeserializePayload,
    NextPayload,
    ClosePayload,
    ReadChunkHeader,
    DeserializeChunk,
    Done,
    Error,
  };

  Deserializer();
  virtual ~Deserializer();
  Deserializer(const Deserializer&) = delete;
  Deserializer& operator=(const Deserializer&) = delete;

  // Binds the list that payloads are appended to and starts a new message.
  // When `content_length` is known, a record that claims more bytes than are
  // left of it is refused before anything is stored. False (and Error, key
  // "Deserializer.Initializer.NullPayloadArrayPtr") for a null list.
  bool Initializer(PayloadList* payloads, uint64_t content_length = kUnknownContentLength);
  // Reads `length` bytes as the next piece of the message. The bytes are only
  // borrowed for the call. False (and Error) only when no list is bound;
  // otherwise the outcome is in the state. Input after Done or Error is ignored.
  bool Deserialize(const uint8_t* bytes, size_t length);
  // The body has ended. A message that is not Done fails with
  // "Deserializer.EndOfInput.MessageTruncated"; gives whether it is Done.
  bool EndOfInput();

  State GetState() const { return state_; }
  bool IsDone() const { return state_ == State::Done; }
  bool HasFailed() const { return state_ == State::Error; }
  const std::u16string& LastError() const { return last_error_; }
  // Our own diagnostic with numbers for the limit errors; empty otherwise.
  const std::string& LastErrorDetail() const { return last_error_detail_; }
  // Message bytes read so far, padding included.
  uint64_t BytesConsumed() const { return consumed_; }

  void SetLimits(const DimeLimits& limits) { limits_ = limits; }
  void SetResources(DimeResources* resources) { resources_ = resources; }

 private:
  enum class Event {
    NeedInput,
    InputAvailable,
    HeaderRead,
    OptionsRead,
    IdRead,
    TypeRead,
    PayloadOpened,
    PayloadClosed,
    NextPayload,
    ChunkFollows,
    ChunkHeaderRead,
    MessageEnd,
    Error,
  };
  enum class Gathered { NeedInput, Complete, Failed };

  void EventHandler(Event event);
  Event BadEvent(std::u16string_view key);
  Event SetError(std::u16string_view key, std::string detail = {});
  void Fail();

  Event ReadHeaderStep();
  Event ReadChunkHeaderStep();
  Event ReadOptionsStep();
  Event ReadIdStep();
  Event ReadTypeStep();
  Event OpenPayloadStep();
  Event DeserializeDataStep(bool chunk);
  Event ClosePayloadStep();

  void Consume(size_t n);
  void SkipPadding();
  bool GatherHeader();
  Gathered GatherField(std::vector<uint8_t>& cache, size_t need, std::u16string_view partial_key,
                       std::u16string_view complete_key);
  void TakeRecord(const RecordHeader& h);
  bool CheckLimits();
  bool WriteData(const uint8_t* bytes, uint64_t length);
  void ResetMessage();

  State state_ = State::Start;
  PayloadList* payloads_ = nullptr;  // not owned
  uint32_t index_ = 0;               // the current payload

  const uint8_t* input_ = nullptr;
  size_t available_ = 0;
  uint64_t consumed_ = 0;
  uint64_t content_length_ = kUnknownContentLength;

  uint8_t header_[kHeaderSize] = {};
  size_t header_gathered_ = 0;
  uint64_t record_index_ = 0;   // of the record being read, for diagnostics
  uint64_t payload_bytes_ = 0;  // DATA of the current payload so far

  bool me_ = false;
  bool cf_ = false;
  uint32_t tnf_ = 0;
  uint32_t options_length_ = 0;
  uint32_t options_padding_ = 0;
  uint32_t id_length_ = 0;
  uint32_t id_padding_ = 0;
  uint32_t type_length_ = 0;
  uint32_t type_padding_ = 0;
  uint32_t data_length_ = 0;
  uint32_t data_padding_ = 0;
  uint64_t data_remaining_ = 0;
  uint32_t pending_skip_ = 0;  // padding still to drop from the next input

  std::vector<uint8_t> options_cache_;
  std::vector<uint8_t> field_cache_;  // ID, then TYPE
  std::string id_;
  std::string type_;

  std::u16string last_error_;
  std::string last_error_detail_;
  DimeLimits limits_;
  DimeResources* resources_;
};

}  // namespace dime
