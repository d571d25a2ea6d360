// What a DIME message may use: the limits that bound untrusted input, and where
// payload storage and memory come from (a seam for tests to fail either).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/storage/storage.h"

namespace dime {

// Far above real use: a SOAP message has an envelope and a handful of
// attachments. Each payload holds an open temporary file, so the count is
// what keeps a peer from exhausting descriptors.
inline constexpr uint32_t kMaxPayloads = 64;
// Bytes of a whole message on the wire, headers and padding included.
inline constexpr uint64_t kMaxMessageBytes = uint64_t{1} << 30;  // 1 GiB
// The envelope (first payload) is read into memory by its consumer.
inline constexpr uint64_t kMaxEnvelopeBytes = uint64_t{16} << 20;  // 16 MiB
// Content length not known (a body that ends when the peer closes).
inline constexpr uint64_t kUnknownContentLength = UINT64_MAX;

struct DimeLimits {
  uint32_t max_payloads = kMaxPayloads;
  uint64_t max_message_bytes = kMaxMessageBytes;
  uint64_t max_envelope_bytes = kMaxEnvelopeBytes;
};

// Payload files the DIME reader holds open at once, across the process: each
// holds a descriptor, and a few slow peers must not use up the ones sockets
// need. Unbounded until the server sizes it from its descriptor limit.
void SetPayloadFileBudget(uint64_t files);
uint64_t PayloadFileBudget();
uint64_t OpenPayloadFiles();

// One payload file counted against the budget for the life of its holder.
class PayloadFileSlot {
 public:
  PayloadFileSlot() = default;
  ~PayloadFileSlot() { Release(); }
  PayloadFileSlot(PayloadFileSlot&& other) noexcept : held_(other.held_) { other.held_ = false; }
  PayloadFileSlot& operator=(PayloadFileSlot&& other) noexcept;
  PayloadFileSlot(const PayloadFileSlot&) = delete;
  PayloadFileSlot& operator=(const PayloadFileSlot&) = delete;

  // False, holding nothing, when the budget is spent.
  bool Acquire();
  void Release();

 private:
  bool held_ = false;
};

class DimeResources {
 public:
  virtual ~DimeResources() = default;
  // A temporary, delete-on-release compound file for one payload.
  virtual HRESULT CreateStorage(IStorage** storage);
  // Asked before each allocation the reader makes for a payload or a field
  // cache; false makes it fail as if memory had run out.
  virtual bool MayAllocate() { return true; }

  // The one the library uses unless a test installs another.
  static DimeResources& Default();
};

}  // namespace dime
