// Throughput of writing and reading one DIME message with a 64 MB attachment
// in the server's 4096-byte records: the attachment goes from its storage
// into the record buffer, and from the received pieces into a new storage.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "dime/message.h"
#include "dime/testing/dime_testing.h"

namespace {

constexpr size_t kAttachmentBytes = size_t{64} << 20;
constexpr char kEnvelope[] = "<Envelope><Body><put href=\"cid:big\"/></Body></Envelope>";
constexpr char kSoap11[] = "http://schemas.xmlsoap.org/soap/envelope/";

void Prepare(dime::DimeMessage& m, IStorage* attachment) {
  m.InitSerializer(dime::kRecordSize);
  m.AddPayloadFromBytes(kEnvelope, sizeof kEnvelope - 1, "", kSoap11, dime::kTnfAbsoluteUri);
  m.AddPayload(attachment, "big", "application/octet-stream", dime::kTnfMediaType);
}

void BM_Serialize(benchmark::State& state) {
  const ComPtr<IStorage> attachment = dime::testing::PatternStorage(kAttachmentBytes);
  dime::DimeMessage m;
  std::vector<uint8_t> record(dime::kRecordSize);
  uint64_t bytes = 0;
  for (auto _ : state) {
    Prepare(m, attachment.Get());
    size_t n = 0;
    while (m.Serialize(record.data(), record.size(), &n)) {
      bytes += n;
      benchmark::DoNotOptimize(record.data());
    }
    bytes += n;
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_Serialize)->Unit(benchmark::kMillisecond);

void BM_Deserialize(benchmark::State& state) {
  // The wire form, as a peer would send it.
  std::string wire;
  {
    const ComPtr<IStorage> attachment = dime::testing::PatternStorage(kAttachmentBytes);
    dime::DimeMessage m;
    Prepare(m, attachment.Get());
    wire.reserve(m.ComputeMessageLength());
    std::vector<uint8_t> record(dime::kRecordSize);
    size_t n = 0;
    bool more = true;
    while (more) {
      more = m.Serialize(record.data(), record.size(), &n);
      wire.append(reinterpret_cast<const char*>(record.data()), n);
    }
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(wire.data());
  dime::DimeMessage m;
  for (auto _ : state) {
    m.InitDeserializer(wire.size());
    // The server's receive buffer size.
    for (size_t at = 0; at < wire.size(); at += dime::kRecordSize) {
      m.Deserialize(bytes + at, std::min<size_t>(dime::kRecordSize, wire.size() - at));
    }
    if (!m.IsComplete()) state.SkipWithError("message incomplete");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_Deserialize)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
