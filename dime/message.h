// One DIME message: its payloads in order (the SOAP envelope first), with the
// writer and the reader bound to that list.
//
// Writing: InitSerializer(kRecordSize), add payloads, take
// ComputeMessageLength() for Content-Length, then call Serialize with a fresh
// record-size buffer each time the previous one has been sent, until it gives
// false. Reading: InitDeserializer(content length when known), feed every
// piece of the body to Deserialize, and call EndOfInput when the body ends:
// only a message whose last record arrived whole is complete.
//
// Failures throw DIMEParserException by pointer; the catcher deletes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dime/deserializer.h"
#include "dime/exception.h"
#include "dime/payload.h"
#include "dime/resources.h"
#include "dime/serializer.h"

struct SAFEARRAY;

namespace dime {

class DimeMessage {
 public:
  DimeMessage();
  virtual ~DimeMessage();
  DimeMessage(const DimeMessage&) = delete;
  DimeMessage& operator=(const DimeMessage&) = delete;

  // Starts a message to write: binds the writer, then empties the list.
  // Throws for a record size that is not a multiple of 4.
  bool InitSerializer(uint32_t record_size);
  // Starts a message to read: binds the reader, then empties the list.
  bool InitDeserializer(uint64_t content_length = kUnknownContentLength);

  // Appends a payload over an existing storage (the payload takes its own
  // reference). `options`, when given, is an OPTIONS field (see
  // DimePayload::ParseOptions); a malformed one is ignored. False only when
  // the payload cannot be made.
  bool AddPayload(IStorage* storage, std::string id, std::string type, uint32_t type_name_format,
                  const uint8_t* options = nullptr, size_t options_length = 0);
  // The same with the options as a one-dimensional byte array (VT_UI1), as
  // they cross automation interfaces; null or any other array means none.
  bool AddPayload(IStorage* storage, std::string id, std::string type, uint32_t type_name_format,
                  SAFEARRAY* options);
  // Appends a payload holding a copy of `data` in a new temporary compound
  // file, with one option when `option_data` is given. False, with nothing
  // added, when the storage or the payload cannot be made or an option field
  // does not fit its 16 bits.
  bool AddPayloadFromBytes(const void* data, size_t length, std::string id, std::string type,
                           uint32_t type_name_format, const void* option_data = nullptr,
                           uint32_t option_length = 0, uint32_t option_type = 0);

  // Writes the next record into `buffer` (at least the record size);
  // *written is its length. True while more records follow, false once the
  // last one has been written (later calls write 0 bytes).
  bool Serialize(uint8_t* buffer, size_t size, size_t* written);
  // Reads the next piece of the body; the bytes are only borrowed. True while
  // more input is expected, false once the message is complete.
  bool Deserialize(const uint8_t* bytes, size_t length);
  // The body has ended: throws unless the message is complete
  // ("Deserializer.EndOfInput.MessageTruncated").
  void EndOfInput();
  bool IsComplete() const { return deserializer_.IsDone(); }
  // See Serializer::ComputeMessageLength: 0 when the message cannot be written.
  uint64_t ComputeMessageLength() { return serializer_.ComputeMessageLength(); }

  // Deletes every payload (releasing its storage).
  void Clear() { payloads_.clear(); }

  const PayloadList& Payloads() const { return payloads_; }
  size_t PayloadCount() const { return payloads_.size(); }
  DimePayload* Payload(size_t index) const {
    return index < payloads_.size() ? payloads_[index].get() : nullptr;
  }

  void SetLimits(const DimeLimits& limits);
  const DimeLimits& Limits() const { return limits_; }
  // Storage and allocations come from `resources` (not owned) until reset
  // with null.
  void SetResourcesForTest(DimeResources* resources);

  const Serializer& GetSerializer() const { return serializer_; }
  const Deserializer& GetDeserializer() const { return deserializer_; }

 private:
  PayloadList payloads_;
  Serializer serializer_;
  Deserializer deserializer_;
  DimeLimits limits_;
  DimeResources* resources_;
};

}  // namespace dime
