// One DIME payload: its ID, TYPE, type-name format and options, with its bytes
// in the unnamed stream of a temporary compound file. The bytes never sit in
// memory as a whole; the storage itself is what crosses interfaces as an
// attachment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dime/resources.h"
#include "platform/storage/storage.h"

namespace dime {

// One element of a record's OPTIONS field.
struct DimeOption {
  uint16_t type = 0;
  std::vector<uint8_t> data;  // at most kMaxFieldLength bytes
};

class DimePayload {
 public:
  // Takes its own reference on `storage` (which may be null: such a payload
  // can do nothing but fail). No stream is open and there are no options.
  DimePayload(IStorage* storage, std::string id, std::string type, uint32_t type_name_format);
  virtual ~DimePayload();
  DimePayload(const DimePayload&) = delete;
  DimePayload& operator=(const DimePayload&) = delete;

  // Creates (emptying) the storage's stream for writing; releases a stream
  // that was open. False without storage or when the storage refuses.
  bool CreateStream();
  // Opens the stream for reading from its start; releases one that was open.
  bool OpenStream();
  // Releases the open stream, if any. False only without storage.
  bool Close();

  // Bytes in the stream; 0 without an open stream or when it cannot be told.
  uint64_t GetSize();
  // The same, telling a failure apart from an empty stream.
  bool TryGetSize(uint64_t* size);
  // Read and Write of the open stream. True when the stream call succeeds (a
  // short count is the caller's to check); false without a stream.
  bool Read(void* buffer, uint32_t length, uint32_t* read);
  bool Write(const void* bytes, uint32_t length, uint32_t* written);

  // Bytes of the OPTIONS field: per option 4 + its data length.
  uint64_t GetOptionsLength() const;
  // Writes the OPTIONS field (per option type and length, 16 bits big-endian
  // each, then the data; no padding). False when it needs more than
  // `capacity` bytes; *written is the byte count.
  bool WriteOptions(uint8_t* buffer, size_t capacity, size_t* written) const;
  // Takes an OPTIONS field, appending each whole option element in turn:
  // false for an empty field or at the first element that is not whole (the
  // ones before it stay). The elements are kept as the bytes that came, not
  // one object each: a field of empty options costs its own size.
  bool ParseOptions(const uint8_t* bytes, size_t length);
  // False when the data is longer than an option element can carry.
  bool AddOption(DimeOption option);

  // Counts this payload's file against the process budget while it lives.
  void HoldFileSlot(PayloadFileSlot slot) { file_slot_ = std::move(slot); }

  IStorage* Storage() const { return storage_.Get(); }
  IStream* Stream() const { return stream_.Get(); }
  const std::string& Id() const { return id_; }
  const std::string& Type() const { return type_; }
  uint32_t TypeNameFormat() const { return type_name_format_; }
  // The option elements, parsed from the kept bytes on each call.
  std::vector<DimeOption> Options() const;
  // The OPTIONS field as it will be written: whole elements, no padding.
  const std::vector<uint8_t>& RawOptions() const { return options_; }

 private:
  PayloadFileSlot file_slot_;  // first: released after the storage it counts
  ComPtr<IStorage> storage_;
  ComPtr<IStream> stream_;
  std::string id_;
  std::string type_;
  uint32_t type_name_format_;
  std::vector<uint8_t> options_;  // whole elements only
};

using DimePayloadPtr = std::unique_ptr<DimePayload>;
// A message's payloads in message order; the first is the SOAP envelope.
using PayloadList = std::vector<DimePayloadPtr>;

}  // namespace dime
