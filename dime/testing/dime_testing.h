// Test support for the DIME library: raw records built byte by byte (so tests
// can craft what a hostile peer sends), payload contents read back, and
// resources whose storage or memory fail on demand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dime/exception.h"
#include "dime/payload.h"
#include "dime/record.h"
#include "dime/resources.h"
#include "platform/storage/testing/faulty_storage.h"

namespace dime::testing {

// The header exactly as given, then each field with zero padding to 4 bytes.
inline std::string RawRecord(const RecordHeader& h, std::string_view options = {},
                             std::string_view id = {}, std::string_view type = {},
                             std::string_view data = {}) {
  uint8_t header[kHeaderSize];
  EncodeHeader(h, header);
  std::string out(reinterpret_cast<const char*>(header), kHeaderSize);
  for (std::string_view field : {options, id, type, data}) {
    out.append(field);
    out.append(Padding(field.size()), '\0');
  }
  return out;
}

// A record whose lengths are those of its fields.
inline std::string Record(bool mb, bool me, bool cf, uint8_t tnf, std::string_view id,
                          std::string_view type, std::string_view data,
                          std::string_view options = {}) {
  RecordHeader h;
  h.mb = mb;
  h.me = me;
  h.cf = cf;
  h.tnf = tnf;
  h.options_length = static_cast<uint16_t>(options.size());
  h.id_length = static_cast<uint16_t>(id.size());
  h.type_length = static_cast<uint16_t>(type.size());
  h.data_length = static_cast<uint32_t>(data.size());
  return RawRecord(h, options, id, type, data);
}

// Everything in the payload's storage; the payload's stream is left closed.
inline std::string ReadAll(DimePayload& payload) {
  if (!payload.OpenStream()) return "<unreadable>";
  std::string out;
  char buf[65536];
  uint32_t n = 0;
  while (payload.Read(buf, sizeof buf, &n) && n > 0) out.append(buf, n);
  payload.Close();
  return out;
}

inline std::u16string Key(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

// Storage made under a fault plan; allocation number `fail_allocation` (from
// 1) is refused, and creating storage fails while `fail_storage` is set.
class FaultyResources : public DimeResources {
 public:
  HRESULT CreateStorage(IStorage** storage) override {
    if (fail_storage) return STG_E_MEDIUMFULL;
    return storage::testing::CreateFaultyDocfile(plan, storage);
  }
  bool MayAllocate() override { return ++allocations != fail_allocation; }

  std::shared_ptr<storage::testing::FaultPlan> plan =
      std::make_shared<storage::testing::FaultPlan>();
  bool fail_storage = false;
  int fail_allocation = 0;
  int allocations = 0;
};

}  // namespace dime::testing

namespace dime::testing {

// Runs `f`; gives the key of the DIMEParserException it throws (deleting it
// as every catcher must), or "" when it throws none.
template <typename F>
std::u16string ThrownKey(F&& f) {
  try {
    f();
  } catch (DIMEParserException* e) {
    std::u16string key = e->Key();
    delete e;
    return key;
  }
  return u"";
}

// A temporary compound file holding `bytes`, made under `plan` when given.
inline ComPtr<IStorage> StorageWith(std::string_view bytes,
                                    std::shared_ptr<storage::testing::FaultPlan> plan = nullptr) {
  ComPtr<IStorage> storage;
  const HRESULT hr = plan ? storage::testing::CreateFaultyDocfile(plan, storage.Receive())
                          : DimeResources::Default().CreateStorage(storage.Receive());
  if (FAILED(hr)) return {};
  ComPtr<IStream> stream;
  if (FAILED(storage->CreateStream(u"", STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE,
                                   stream.Receive())) ||
      FAILED(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr))) {
    return {};
  }
  return storage;
}

// A temporary compound file holding `bytes` bytes of a repeating pattern,
// written a megabyte at a time (benchmarks' large attachments).
inline ComPtr<IStorage> PatternStorage(size_t bytes) {
  ComPtr<IStorage> storage;
  DimeResources::Default().CreateStorage(storage.Receive());
  ComPtr<IStream> stream;
  storage->CreateStream(u"", STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE, stream.Receive());
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
  for (size_t done = 0; done < bytes; done += block.size()) {
    stream->Write(block.data(), static_cast<ULONG>(block.size()), nullptr);
  }
  return storage;
}

}  // namespace dime::testing
