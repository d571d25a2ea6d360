// The DIME writer. Each Serialize call writes at most one record, at the start
// of the caller's buffer, reading DATA straight from the payload's stream into
// that buffer; a payload larger than a record continues in chunks. A message
// of any size needs only one record-size buffer.
//
// Failures leave the writer in Error with a dotted key ("Serializer.*"),
// reported once to the event log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dime/payload.h"
#include "dime/resources.h"

namespace dime {

// The record size every sender of the server uses.
inline constexpr uint32_t kRecordSize = 4096;
// The record size of the messages the HTTP transport posts (the client's
// requests, forwards, reverse-path posts): each record's DATA is read from
// its payload stream in one piece and leaves in one send, so small records
// cost a read and a send per few KiB of a large attachment.
inline constexpr uint32_t kPostRecordSize = 64 * 1024;

class Serializer {
 public:
  enum class State : uint32_t {
    Start,
    OpenPayload,
    SerializePayload,
    ClosePayload,
    SerializeChunk,
    Done,
    Error,
  };

  Serializer() = default;
  virtual ~Serializer() = default;
  Serializer(const Serializer&) = delete;
  Serializer& operator=(const Serializer&) = delete;

  // Binds the list to write and starts over. False (and Error) when the record
  // size is not a multiple of 4 ("Serializer.Initializer.BadRecordSizeModulo")
  // or the list is null ("Serializer.Initializer.NullPayloadArrayPtr").
  bool Initializer(uint32_t record_size, PayloadList* payloads);
  // Writes the next record into `buffer` (at least one record size long);
  // *written is its length, 0 once the message is complete. Before the first
  // record the whole list is checked (not empty, within the limits, fields
  // that fit their widths), so a message is refused before anything is sent.
  // False (and Error) for an unbound writer or a short buffer; otherwise the
  // outcome is in the state.
  bool Serialize(uint8_t* buffer, size_t size, size_t* written);
  // The exact byte count the writer produces for the bound list, for
  // Content-Length. 0 when writing would fail (LastError() names why; the
  // state is unchanged) and while a payload is half written: it opens and
  // closes each payload's stream. The sizes measured are the sizes written: a
  // stream found shorter when it is written fails the message.
  uint64_t ComputeMessageLength();

  uint32_t RecordSize() const { return record_size_; }
  State GetState() const { return state_; }
  bool IsDone() const { return state_ == State::Done; }
  bool HasFailed() const { return state_ == State::Error; }
  const std::u16string& LastError() const { return last_error_; }
  const std::string& LastErrorDetail() const { return last_error_detail_; }

  void SetLimits(const DimeLimits& limits) { limits_ = limits; }

 private:
  enum class Event {
    Stop,
    NextBuffer,
    PayloadOpened,
    PayloadClosed,
    PayloadComplete,
    RecordFull,
    LastPayloadComplete,
    Error,
  };
  struct Fixed {
    uint64_t length;  // header, options, ID and TYPE with their padding
    uint32_t options_length;
  };

  void EventHandler(Event event);
  Event SetError(std::u16string_view key, std::string detail = {});
  void Fail();

  Event OpenPayloadStep();
  Event ClosePayloadStep();
  Event SerializePayloadStep();
  Event SerializeChunkStep();

  // Checks that a payload's record fields fit their widths and leave room
  // for data in a record; sets the key when they do not.
  bool FixedFields(const DimePayload& payload, Fixed* fixed);
  bool Measure(uint64_t* total);
  bool ReadData(uint8_t* out, uint32_t length, std::u16string_view key);

  uint32_t record_size_ = 0;
  uint32_t index_ = 0;
  PayloadList* payloads_ = nullptr;  // not owned
  State state_ = State::Start;
  uint8_t* out_ = nullptr;
  size_t written_ = 0;
  uint64_t remaining_ = 0;  // DATA of the current payload still to write
  // Each payload's DATA size as last measured, and the message length they
  // give: what is announced is what is sent, even if a stream changes after.
  std::vector<uint64_t> sizes_;
  uint64_t measured_total_ = 0;
  bool measured_ = false;
  std::u16string last_error_;
  std::string last_error_detail_;
  DimeLimits limits_;
};

}  // namespace dime
