#include "dime/serializer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dime/message.h"
#include "dime/testing/dime_testing.h"

namespace dime {
namespace {

using testing::Key;
using testing::StorageWith;
using testing::ThrownKey;

constexpr char kSoap11[] = "http://schemas.xmlsoap.org/soap/envelope/";  // 41 bytes

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + i / 251);
  return s;
}

RecordHeader HeaderOf(const std::string& record) {
  return DecodeHeader(reinterpret_cast<const uint8_t*>(record.data()));
}

class SerializerTest : public ::testing::Test {
 protected:
  // Every record the message writes, one buffer each; checks that the writer
  // then stays done.
  std::vector<std::string> Records(uint32_t record_size = kRecordSize) {
    std::vector<std::string> out;
    std::vector<uint8_t> buf(record_size);
    size_t n = 0;
    bool more = true;
    while (more && out.size() < 100000) {
      more = message_.Serialize(buf.data(), buf.size(), &n);
      EXPECT_GT(n, 0u);
      EXPECT_LE(n, record_size);
      out.emplace_back(reinterpret_cast<const char*>(buf.data()), n);
    }
    EXPECT_FALSE(message_.Serialize(buf.data(), buf.size(), &n));
    EXPECT_EQ(n, 0u);
    return out;
  }
  static std::string Join(const std::vector<std::string>& records) {
    std::string all;
    for (const auto& r : records) all += r;
    return all;
  }
  // Feeds `wire` back through a reader into `into`.
  static void ReadBack(const std::string& wire, DimeMessage& into) {
    into.InitDeserializer(wire.size());
    EXPECT_FALSE(into.Deserialize(reinterpret_cast<const uint8_t*>(wire.data()), wire.size()));
    EXPECT_TRUE(into.IsComplete());
  }
  std::u16string SerializeKey(uint32_t record_size = kRecordSize) {
    std::vector<uint8_t> buf(record_size);
    size_t n = 0;
    return ThrownKey([&] { message_.Serialize(buf.data(), buf.size(), &n); });
  }

  DimeMessage message_;
};

TEST_F(SerializerTest, SingleRecordIsByteExact) {
  ASSERT_TRUE(message_.InitSerializer(kRecordSize));
  const std::string data = Pattern(100);
  ASSERT_TRUE(message_.AddPayloadFromBytes(data.data(), data.size(), "", kSoap11, kTnfAbsoluteUri));
  const uint64_t announced = message_.ComputeMessageLength();

  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  std::string expected = {0x0E, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x29, 0x00, 0x00, 0x00, 0x64};
  expected += kSoap11;
  expected += std::string(3, '\0');  // TYPE padding; the data needs none
  expected += data;
  EXPECT_EQ(records[0], expected);
  EXPECT_EQ(announced, expected.size());
}

TEST_F(SerializerTest, OptionsArePaddedAfterTheField) {
  ASSERT_TRUE(message_.InitSerializer(kRecordSize));
  const char option[] = {'a', 'b', 'c'};
  ASSERT_TRUE(message_.AddPayloadFromBytes("xy", 2, "id1", "t", kTnfMediaType, option, 3, 1));
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  const std::string& r = records[0];
  EXPECT_EQ(HeaderOf(r).options_length, 7);
  EXPECT_EQ(r.substr(12), std::string("\0\1\0\3abc\0"
                                      "id1\0"
                                      "t\0\0\0"
                                      "xy\0\0",
                                      20));
  EXPECT_EQ(message_.ComputeMessageLength(), r.size());
}

// The envelope then one attachment of each size: the split into a full first
// record, full chunks and a final chunk, and what reading it back gives.
TEST_F(SerializerTest, LargePayloadsAreChunkedAndReadBack) {
  // Fixed fields of the attachment: 12 + "att"+1 + 24-byte TYPE = 40, so its
  // first record carries 4056 bytes and each chunk 4084.
  constexpr size_t kRoom = 4056;
  constexpr size_t kChunk = 4084;
  const size_t sizes[] = {
      0, 1, kRoom - 1, kRoom, kRoom + 1, kRoom + kChunk, kRoom + 2 * kChunk + 5, 100000};
  for (const size_t size : sizes) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(message_.InitSerializer(kRecordSize));
    const std::string envelope = "<Envelope/>";
    const std::string data = Pattern(size);
    ASSERT_TRUE(message_.AddPayloadFromBytes(envelope.data(), envelope.size(), "", kSoap11,
                                             kTnfAbsoluteUri));
    ASSERT_TRUE(message_.AddPayloadFromBytes(data.data(), data.size(), "att",
                                             "application/octet-stream", kTnfMediaType));
    const uint64_t announced = message_.ComputeMessageLength();
    const auto records = Records();

    const size_t chunks = size < kRoom ? 0 : (size - kRoom) / kChunk + 1;
    ASSERT_EQ(records.size(), 2 + chunks);
    EXPECT_TRUE(HeaderOf(records[0]).mb);
    EXPECT_FALSE(HeaderOf(records[0]).me);

    const RecordHeader first = HeaderOf(records[1]);
    EXPECT_FALSE(first.mb);
    EXPECT_EQ(first.cf, chunks > 0);
    EXPECT_EQ(first.me, chunks == 0);
    EXPECT_EQ(first.tnf, kTnfMediaType);
    if (chunks > 0) {
      EXPECT_EQ(records[1].size(), kRecordSize);
    }
    std::string joined = records[1].substr(40, first.data_length);
    for (size_t i = 2; i < records.size(); ++i) {
      const RecordHeader h = HeaderOf(records[i]);
      const bool final = i + 1 == records.size();
      EXPECT_EQ(h.version, kVersion);
      EXPECT_FALSE(h.mb);
      EXPECT_EQ(h.cf, !final);
      EXPECT_EQ(h.me, final);
      EXPECT_EQ(h.tnf, 0);
      EXPECT_EQ(h.id_length, 0);
      EXPECT_EQ(h.type_length, 0);
      EXPECT_EQ(h.data_length, final ? (size - kRoom) % kChunk : kChunk);
      EXPECT_EQ(records[i].size(), 12 + h.data_length + Padding(h.data_length));
      joined += records[i].substr(12, h.data_length);
    }
    EXPECT_EQ(joined, data);

    const std::string wire = Join(records);
    EXPECT_EQ(announced, wire.size());
    DimeMessage back;
    ReadBack(wire, back);
    ASSERT_EQ(back.PayloadCount(), 2u);
    EXPECT_EQ(testing::ReadAll(*back.Payload(0)), envelope);
    EXPECT_EQ(back.Payload(1)->Id(), "att");
    EXPECT_EQ(back.Payload(1)->Type(), "application/octet-stream");
    EXPECT_EQ(back.Payload(1)->TypeNameFormat(), kTnfMediaType);
    EXPECT_EQ(testing::ReadAll(*back.Payload(1)), data);
  }
}

TEST_F(SerializerTest, RecordAndBufferSizesAreChecked) {
  EXPECT_EQ(ThrownKey([&] { message_.InitSerializer(4098); }),
            u"Serializer.Initializer.BadRecordSizeModulo");

  ASSERT_TRUE(message_.InitSerializer(kRecordSize));
  ASSERT_TRUE(message_.AddPayloadFromBytes("x", 1, "", "t", kTnfMediaType));
  EXPECT_EQ(SerializeKey(4092), u"Serializer.Serialize.BadBufferSize");

  // A TYPE of 4084 bytes leaves no room for data in a 4096-byte record.
  ASSERT_TRUE(message_.InitSerializer(kRecordSize));
  ASSERT_TRUE(message_.AddPayloadFromBytes("x", 1, "", std::string(4084, 't'), kTnfMediaType));
  EXPECT_EQ(message_.ComputeMessageLength(), 0u);
  EXPECT_EQ(SerializeKey(), u"Serializer.SerializePayload.RecordSizeTooSmall");

  Serializer unbound;
  uint8_t buf[kRecordSize];
  size_t n = 0;
  EXPECT_FALSE(unbound.Serialize(buf, sizeof buf, &n));
  EXPECT_EQ(unbound.LastError(), u"Serializer.Serialize.Uninitialized");
  EXPECT_FALSE(unbound.Initializer(kRecordSize, nullptr));
  EXPECT_EQ(unbound.LastError(), u"Serializer.Initializer.NullPayloadArrayPtr");
}

// Values from plug-ins that do not fit their wire fields are refused before
// a record is written, never truncated into the neighbouring bits.
TEST_F(SerializerTest, FieldsThatDoNotFitTheirWidthsAreRefused) {
  const struct {
    const char* name;
    uint32_t tnf;
    size_t id_length;
    const char* key;
  } cases[] = {
      {"TNF above 4 bits", 16, 0, "Serializer.SerializePayload.BadTypeNameFormat"},
      {"ID above 16 bits", kTnfMediaType, 70000, "Serializer.SerializePayload.FieldTooLong"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    constexpr uint32_t kLarge = 1 << 20;  // big enough for any field
    ASSERT_TRUE(message_.InitSerializer(kLarge));
    ASSERT_TRUE(message_.AddPayloadFromBytes("x", 1, std::string(c.id_length, 'i'), "t", c.tnf));
    EXPECT_EQ(message_.ComputeMessageLength(), 0u);
    EXPECT_EQ(SerializeKey(kLarge), Key(c.key));
  }
}

TEST_F(SerializerTest, MessagesOutsideTheLimitsAreRefusedBeforeAnyRecord) {
  message_.SetLimits(DimeLimits{2, 10000, kMaxEnvelopeBytes});
  const struct {
    const char* name;
    size_t payloads;
    size_t size;
    const char* key;
  } cases[] = {
      {"empty message", 0, 0, "Serializer.OpenPayload.NoPayloads"},
      {"too many payloads", 3, 1, "Serializer.OpenPayload.TooManyPayloads"},
      {"too many bytes", 2, 6000, "Serializer.OpenPayload.MessageTooLarge"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(message_.InitSerializer(kRecordSize));
    const std::string data = Pattern(c.size);
    for (size_t i = 0; i < c.payloads; ++i) {
      ASSERT_TRUE(message_.AddPayloadFromBytes(data.data(), data.size(), "", "t", 1));
    }
    EXPECT_EQ(message_.ComputeMessageLength(), 0u);
    std::vector<uint8_t> buf(kRecordSize, 0xAA);
    size_t n = 99;
    EXPECT_EQ(ThrownKey([&] { message_.Serialize(buf.data(), buf.size(), &n); }), Key(c.key));
    EXPECT_EQ(n, 0u);
  }
}

TEST_F(SerializerTest, StorageFailuresEndTheMessage) {
  using storage::testing::FaultPlan;
  const struct {
    const char* name;
    void (*fault)(FaultPlan&);
    size_t records_before;
    const char* key;
  } cases[] = {
      {"stream cannot be opened", [](FaultPlan& p) { p.open_stream = STG_E_ACCESSDENIED; }, 0,
       "Serializer.OpenPayload.OpenForReadFailed"},
      {"stream size unknown", [](FaultPlan& p) { p.stat = STG_E_READFAULT; }, 0,
       "Serializer.OpenPayload.OpenForReadFailed"},
      {"first record read fails", [](FaultPlan& p) { p.read_budget = 100; }, 0,
       "Serializer.SerializePayload.ReadPayloadFailed"},
      {"chunk read comes up short",
       [](FaultPlan& p) {
         p.read_budget = 5000;
         p.short_count = true;
       },
       1, "Serializer.SerializeChunk.ReadPayloadFailed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto plan = std::make_shared<FaultPlan>();
    auto storage = StorageWith(Pattern(10000), plan);
    ASSERT_TRUE(storage);
    ASSERT_TRUE(message_.InitSerializer(kRecordSize));
    ASSERT_TRUE(message_.AddPayload(storage.Get(), "", "t", kTnfMediaType));
    c.fault(*plan);
    for (size_t i = 0; i < c.records_before; ++i) EXPECT_EQ(SerializeKey(), u"");
    EXPECT_EQ(SerializeKey(), Key(c.key));
    EXPECT_TRUE(message_.GetSerializer().HasFailed());
    EXPECT_EQ(SerializeKey(), Key(c.key));  // stays failed and says so again
  }
}

// The length announced for Content-Length binds the message: a payload whose
// storage changes afterwards is sent as measured, or fails the send when it
// has become shorter; never a byte beyond the announced length.
TEST_F(SerializerTest, PayloadChangedAfterMeasuringKeepsTheAnnouncedLength) {
  const struct {
    const char* name;
    size_t measured;
    size_t rewritten;
    bool fails;
  } cases[] = {
      {"grew within a record", 100, 5000, false},
      {"grew across records", 6000, 20000, false},
      {"shrank", 6000, 10, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DimeMessage message;
    auto storage = StorageWith(Pattern(c.measured));
    ASSERT_TRUE(storage);
    ASSERT_TRUE(message.InitSerializer(kRecordSize));
    ASSERT_TRUE(message.AddPayload(storage.Get(), "", "t", kTnfMediaType));
    const uint64_t announced = message.ComputeMessageLength();
    ASSERT_GT(announced, 0u);
    const std::string now = std::string(c.rewritten, 'x');
    ComPtr<IStream> stream;
    ASSERT_EQ(storage->CreateStream(u"", STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE,
                                    stream.Receive()),
              S_OK);
    ASSERT_EQ(stream->Write(now.data(), static_cast<ULONG>(now.size()), nullptr), S_OK);
    stream.Reset();

    std::string wire;
    std::vector<uint8_t> buf(kRecordSize);
    size_t n = 0;
    std::u16string key;
    bool more = true;
    for (int i = 0; i < 100 && more && key.empty(); ++i) {
      n = 0;
      key = ThrownKey([&] { more = message.Serialize(buf.data(), buf.size(), &n); });
      wire.append(reinterpret_cast<const char*>(buf.data()), n);
    }
    EXPECT_LE(wire.size(), announced);
    if (c.fails) {
      EXPECT_TRUE(message.GetSerializer().HasFailed());
      continue;
    }
    EXPECT_EQ(key, u"");
    ASSERT_EQ(wire.size(), announced);
    DimeMessage back;
    ReadBack(wire, back);
    ASSERT_EQ(back.PayloadCount(), 1u);
    EXPECT_EQ(testing::ReadAll(*back.Payload(0)), now.substr(0, c.measured));
  }
}

// Random record sizes, fields and payload sizes: the announced length is what
// is written, no record outgrows its size, and the reader gives it all back.
TEST(SerializerRandom, AnnouncedLengthRecordsAndReadBackAgree) {
  std::mt19937 rng(99);
  auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    const uint32_t record_size = static_cast<uint32_t>(4 * (20 + below(200)));
    DimeMessage m;
    ASSERT_TRUE(m.InitSerializer(record_size));
    std::vector<std::string> data;
    for (size_t i = 1 + below(4); i > 0; --i) {
      const std::string id(below(13), 'i');
      const std::string type(below(17), 't');
      const std::string option(below(9), 'o');
      const bool with_option = below(2) == 0;
      // Often a size at a record boundary, where the last chunk comes out
      // empty or one byte long.
      auto padded = [](size_t n) { return n + Padding(n); };
      const size_t room = record_size - kHeaderSize -
                          (with_option ? padded(4 + option.size()) : 0) - padded(id.size()) -
                          padded(type.size());
      size_t size = below(3 * record_size);
      if (below(2) == 0) size = room + below(3) * (record_size - kHeaderSize) + below(3) - 1;
      data.push_back(Pattern(below(5) == 0 ? 0 : size));
      ASSERT_TRUE(m.AddPayloadFromBytes(
          data.back().data(), data.back().size(), id, type, static_cast<uint32_t>(below(16)),
          with_option ? option.data() : nullptr, static_cast<uint32_t>(option.size()), 5));
    }
    const uint64_t announced = m.ComputeMessageLength();
    std::string wire;
    std::vector<uint8_t> buf(record_size);
    size_t n = 0;
    bool more = true;
    while (more) {
      more = m.Serialize(buf.data(), buf.size(), &n);
      ASSERT_LE(n, record_size);
      const RecordHeader h = DecodeHeader(buf.data());
      if (h.cf) {
        ASSERT_EQ(n, record_size);  // a record that continues is full
      }
      wire.append(reinterpret_cast<const char*>(buf.data()), n);
    }
    ASSERT_EQ(announced, wire.size());
    DimeMessage back;
    back.InitDeserializer(wire.size());
    ASSERT_FALSE(back.Deserialize(reinterpret_cast<const uint8_t*>(wire.data()), wire.size()));
    ASSERT_EQ(back.PayloadCount(), data.size());
    for (size_t i = 0; i < data.size(); ++i) {
      EXPECT_EQ(testing::ReadAll(*back.Payload(i)), data[i]);
      auto options = [](const DimePayload& p) {
        std::vector<std::pair<uint16_t, std::vector<uint8_t>>> out;
        for (const DimeOption& o : p.Options()) out.emplace_back(o.type, o.data);
        return out;
      };
      EXPECT_EQ(options(*back.Payload(i)), options(*m.Payload(i)));
      EXPECT_EQ(back.Payload(i)->Id(), m.Payload(i)->Id());
      EXPECT_EQ(back.Payload(i)->Type(), m.Payload(i)->Type());
      EXPECT_EQ(back.Payload(i)->TypeNameFormat(), m.Payload(i)->TypeNameFormat());
    }
  }
}

}  // namespace
}  // namespace dime
