// Randomized tests of the reader against what a hostile or unlucky peer sends:
// messages generated from a model and read back, and mutations of valid
// messages, each fed whole and in random pieces. Seeds are fixed, so a failure
// repeats; the loops are bounded so the tests stay fast under the sanitizers.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dime/deserializer.h"
#include "dime/message.h"
#include "dime/testing/dime_testing.h"

namespace dime {
namespace {

using testing::RawRecord;
using testing::ThrownKey;

struct Expected {
  std::string id;
  std::string type;
  uint32_t tnf = 0;
  std::vector<std::pair<uint16_t, std::string>> options;
  std::string data;
  friend bool operator==(const Expected&, const Expected&) = default;
};

std::vector<Expected> Snap(const DimeMessage& m) {
  std::vector<Expected> out;
  for (const auto& p : m.Payloads()) {
    Expected e{p->Id(), p->Type(), p->TypeNameFormat(), {}, testing::ReadAll(*p)};
    for (const DimeOption& o : p->Options()) {
      e.options.emplace_back(o.type, std::string(o.data.begin(), o.data.end()));
    }
    out.push_back(std::move(e));
  }
  return out;
}

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (readdir(dir)) ++count;
  closedir(dir);
  return count;
}

class Random {
 public:
  explicit Random(uint32_t seed) : rng_(seed) {}
  size_t Below(size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_);
  }
  bool OneIn(size_t n) { return Below(n) == 0; }
  std::string Bytes(size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng_());
    return s;
  }
  uint32_t Word() { return static_cast<uint32_t>(rng_()); }

 private:
  std::mt19937 rng_;
};

// A well-formed message of random payloads, each split into a random number of
// records; chunks may carry options of their own, which are not the payload's.
// `headers`, when given, receives the offset of each record header.
std::string Generate(Random& r, std::vector<Expected>* expected,
                     std::vector<size_t>* headers = nullptr) {
  std::string wire;
  const size_t payloads = 1 + r.Below(5);
  for (size_t i = 0; i < payloads; ++i) {
    Expected e;
    e.id = r.Bytes(r.Below(3) == 0 ? 0 : r.Below(20));
    e.type = r.Bytes(r.Below(30));
    e.tnf = static_cast<uint32_t>(r.Below(16));
    if (r.OneIn(3)) {
      for (size_t n = 1 + r.Below(3); n > 0; --n) {
        e.options.emplace_back(static_cast<uint16_t>(r.Word()), r.Bytes(r.Below(9)));
      }
    }
    e.data = r.Bytes(r.OneIn(4) ? 0 : r.Below(3000));
    std::string options;
    for (const auto& [type, data] : e.options) {
      uint8_t head[4];
      PutBe16(head, type);
      PutBe16(head + 2, static_cast<uint16_t>(data.size()));
      options.append(reinterpret_cast<const char*>(head), 4);
      options += data;
    }
    const size_t pieces = 1 + r.Below(4);
    size_t at = 0;
    for (size_t k = 0; k < pieces; ++k) {
      const bool final = k + 1 == pieces;
      const size_t n = final ? e.data.size() - at : r.Below(e.data.size() - at + 1);
      const std::string data = e.data.substr(at, n);
      at += n;
      RecordHeader h;
      h.mb = i == 0 && k == 0;
      h.me = i + 1 == payloads && final;
      h.cf = !final;
      h.data_length = static_cast<uint32_t>(data.size());
      if (headers) headers->push_back(wire.size());
      if (k == 0) {
        h.tnf = static_cast<uint8_t>(e.tnf);
        h.options_length = static_cast<uint16_t>(options.size());
        h.id_length = static_cast<uint16_t>(e.id.size());
        h.type_length = static_cast<uint16_t>(e.type.size());
        wire += RawRecord(h, options, e.id, e.type, data);
      } else {
        const std::string chunk_options = r.OneIn(4) ? std::string("\0\2\0\1z", 5) : "";
        h.options_length = static_cast<uint16_t>(chunk_options.size());
        wire += RawRecord(h, chunk_options, {}, {}, data);
      }
    }
    expected->push_back(std::move(e));
  }
  return wire;
}

// Random cut points: often tiny pieces, sometimes large ones.
std::vector<size_t> Cuts(Random& r, size_t size) {
  std::vector<size_t> cuts;
  const size_t step = r.OneIn(2) ? 4 : 600;
  for (size_t at = 0;;) {
    at += 1 + r.Below(step);
    if (at >= size) break;
    cuts.push_back(at);
  }
  return cuts;
}

// Feeds `wire` cut at `cuts`; each piece is a copy of its own so that a read
// past a piece's end is caught by the address sanitizer. Gives the key thrown.
std::u16string Feed(DimeMessage& m, const std::string& wire, const std::vector<size_t>& cuts) {
  return ThrownKey([&] {
    size_t at = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
      const size_t end = i < cuts.size() ? cuts[i] : wire.size();
      std::vector<uint8_t> piece(wire.begin() + static_cast<std::ptrdiff_t>(at),
                                 wire.begin() + static_cast<std::ptrdiff_t>(end));
      m.Deserialize(piece.data(), piece.size());
      at = end;
    }
  });
}

TEST(DeserializerRandom, GeneratedMessagesReadBackInAnyPieces) {
  Random r(20240611);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    std::vector<Expected> expected;
    const std::string wire = Generate(r, &expected);
    DimeMessage m;
    m.InitDeserializer(r.OneIn(2) ? wire.size() : kUnknownContentLength);
    ASSERT_EQ(Feed(m, wire, Cuts(r, wire.size())), u"");
    ASSERT_TRUE(m.IsComplete());
    ASSERT_EQ(Snap(m), expected);
  }
}

struct Seed {
  std::string wire;
  std::vector<size_t> headers;
};

// Overwrites 2 or 4 bytes, mostly of a header field, with a value that sits on
// a boundary of a field.
void PutInteresting(Random& r, std::string& wire, const std::vector<size_t>& headers) {
  static const uint32_t kValues[] = {0,          1,          3,          4,          12,
                                     0xFFFF,     0x10000,    0x7FFFFFFF, 0x80000000, 0xFFFFFFF0,
                                     0xFFFFFFFD, 0xFFFFFFFF, 4084,       4096,       0x0E000000};
  if (wire.size() < 4) return;
  size_t at = r.Below(wire.size() / 4) * 4 + (r.OneIn(4) ? 2 : 0);
  if (!headers.empty() && !r.OneIn(4)) {
    at = std::min(headers[r.Below(headers.size())] + 2 * r.Below(6), wire.size() - 2);
  }
  const uint32_t v = kValues[r.Below(std::size(kValues))];
  uint8_t bytes[4];
  PutBe32(bytes, v);
  const size_t n = std::min<size_t>(r.OneIn(2) ? 2 : 4, wire.size() - at);
  std::memcpy(&wire[at], bytes + (4 - n), n);
}

void Mutate(Random& r, std::string& wire, const Seed& seed, const std::string& other) {
  switch (r.Below(9)) {
    case 0:
      if (!wire.empty()) wire[r.Below(wire.size())] ^= static_cast<char>(1 << r.Below(8));
      break;
    case 1:
      if (!wire.empty()) wire[r.Below(wire.size())] = static_cast<char>(r.Word());
      break;
    case 2:
    case 7:
    case 8:
      PutInteresting(r, wire, seed.headers);
      break;
    case 3:
      wire.resize(r.Below(wire.size() + 1));
      break;
    case 4: {
      const size_t at = r.Below(wire.size() + 1);
      wire.insert(at, r.Bytes(1 + r.Below(16)));
      break;
    }
    case 5: {
      const size_t at = r.Below(wire.size() + 1);
      wire.erase(at, r.Below(32));
      break;
    }
    default: {  // splice a tail of another message on
      wire.resize(r.Below(wire.size() + 1));
      wire += other.substr(r.Below(other.size() + 1));
      break;
    }
  }
}

// Whatever arrives, the reader ends in one of three honest states, its
// resources stay bounded, and how the bytes were cut makes no difference.
TEST(DeserializerRandom, MutatedMessagesFailCleanlyWhateverTheCuts) {
  Random r(7);
  const int descriptors = OpenDescriptors();
  std::vector<Seed> seeds(16);
  for (Seed& seed : seeds) {
    std::vector<Expected> unused;
    seed.wire = Generate(r, &unused, &seed.headers);
  }
  const DimeLimits tight{3, 20000, 1000};
  // Lengths near 2^32 then reach the data step instead of a limit.
  const DimeLimits open{kMaxPayloads, UINT64_MAX, UINT64_MAX};
  for (int round = 0; round < 1500; ++round) {
    SCOPED_TRACE(round);
    const Seed& seed = seeds[r.Below(seeds.size())];
    std::string wire = seed.wire;
    const std::string& other = seeds[r.Below(seeds.size())].wire;
    for (size_t n = 1 + r.Below(4); n > 0; --n) Mutate(r, wire, seed, other);
    const size_t pick = r.Below(3);
    const DimeLimits limits = pick == 0 ? tight : pick == 1 ? open : DimeLimits{};
    uint64_t content_length = kUnknownContentLength;
    if (r.OneIn(2)) content_length = r.OneIn(2) ? wire.size() : r.Below(wire.size() + 1);

    DimeMessage whole;
    whole.SetLimits(limits);
    whole.InitDeserializer(content_length);
    const std::u16string key = Feed(whole, wire, {});
    const Deserializer& reader = whole.GetDeserializer();
    ASSERT_LE(whole.PayloadCount(), limits.max_payloads);
    ASSERT_LE(reader.BytesConsumed(), wire.size());
    ASSERT_EQ(key.empty(), !reader.HasFailed());
    // Input decides which step fails, never the state machine's own checks.
    ASSERT_EQ(key.find(u"EventHandler"), std::u16string::npos);
    if (reader.IsDone() && content_length != kUnknownContentLength) {
      ASSERT_LE(reader.BytesConsumed(), content_length);
    }
    const auto payloads = Snap(whole);
    size_t stored = 0;
    for (const auto& p : payloads) stored += p.data.size();
    ASSERT_LE(stored, wire.size());

    DimeMessage cut;
    cut.SetLimits(limits);
    cut.InitDeserializer(content_length);
    ASSERT_EQ(Feed(cut, wire, Cuts(r, wire.size())), key);
    ASSERT_EQ(cut.GetDeserializer().GetState(), reader.GetState());
    ASSERT_EQ(Snap(cut), payloads);

    // The end of the body: only a finished message passes.
    const std::u16string end_key = ThrownKey([&] { cut.EndOfInput(); });
    if (reader.IsDone()) {
      ASSERT_EQ(end_key, u"");
    } else if (key.empty()) {
      ASSERT_EQ(end_key, u"Deserializer.EndOfInput.MessageTruncated");
    } else {
      ASSERT_EQ(end_key, key);
    }
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);  // every temporary file closed
}

}  // namespace
}  // namespace dime
