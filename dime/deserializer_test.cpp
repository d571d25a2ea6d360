#include "dime/deserializer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dime/message.h"
#include "dime/testing/dime_testing.h"

namespace dime {
namespace {

using testing::Key;
using testing::RawRecord;
using testing::Record;
using testing::ThrownKey;

constexpr char kSoap11[] = "http://schemas.xmlsoap.org/soap/envelope/";

// What a reader made of one payload.
struct Snapshot {
  std::string id;
  std::string type;
  uint32_t tnf;
  std::vector<std::pair<uint16_t, std::string>> options;
  std::string data;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

std::vector<Snapshot> Snap(const DimeMessage& m) {
  std::vector<Snapshot> out;
  for (const auto& p : m.Payloads()) {
    Snapshot s{p->Id(), p->Type(), p->TypeNameFormat(), {}, testing::ReadAll(*p)};
    for (const DimeOption& o : p->Options()) {
      s.options.emplace_back(o.type, std::string(o.data.begin(), o.data.end()));
    }
    out.push_back(std::move(s));
  }
  return out;
}

// Feeds `wire` cut at `cuts` (ascending offsets). Gives the key thrown, or "".
std::u16string Feed(DimeMessage& m, const std::string& wire, const std::vector<size_t>& cuts = {}) {
  return ThrownKey([&] {
    size_t at = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
      const size_t end = i < cuts.size() ? cuts[i] : wire.size();
      m.Deserialize(reinterpret_cast<const uint8_t*>(wire.data()) + at, end - at);
      at = end;
    }
  });
}

std::string Pattern(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// Writes a message with the library's own writer.
std::string Serialized(uint32_t record_size,
                       const std::vector<std::tuple<std::string, std::string, uint32_t, std::string,
                                                    std::string>>& payloads) {
  DimeMessage m;
  m.InitSerializer(record_size);
  for (const auto& [id, type, tnf, options, data] : payloads) {
    m.AddPayloadFromBytes(data.data(), data.size(), id, type, tnf,
                          options.empty() ? nullptr : options.data(),
                          static_cast<uint32_t>(options.size()), 7);
  }
  std::string wire;
  std::vector<uint8_t> buf(record_size);
  size_t n = 0;
  bool more = true;
  while (more) {
    more = m.Serialize(buf.data(), buf.size(), &n);
    wire.append(reinterpret_cast<const char*>(buf.data()), n);
  }
  return wire;
}

// Small records, so a short message exercises chunks, options, empty IDs and
// an empty last record.
std::string SmallMessage() {
  return Serialized(64, {{"", kSoap11, kTnfAbsoluteUri, "", "<Envelope>hello</Envelope>!"},
                         {"a1", "image/png", kTnfMediaType, "opt", Pattern(123)},
                         {"", "", kTnfNone, "", ""}});
}

TEST(DeserializerSplits, EverySplitOfASmallMessageGivesTheSamePayloads) {
  const std::string wire = SmallMessage();
  DimeMessage whole;
  whole.InitDeserializer(wire.size());
  ASSERT_EQ(Feed(whole, wire), u"");
  ASSERT_TRUE(whole.IsComplete());
  const auto expected = Snap(whole);
  ASSERT_EQ(expected.size(), 3u);
  EXPECT_EQ(expected[0].data, "<Envelope>hello</Envelope>!");
  EXPECT_EQ(expected[1].id, "a1");
  EXPECT_EQ(expected[1].options, (std::vector<std::pair<uint16_t, std::string>>{{7, "opt"}}));
  EXPECT_EQ(expected[1].data, Pattern(123));
  EXPECT_EQ(expected[2].id, "");  // whatever the record before carried
  EXPECT_EQ(expected[2].tnf, kTnfNone);

  DimeMessage m;
  for (size_t cut = 0; cut <= wire.size(); ++cut) {
    SCOPED_TRACE(cut);
    m.InitDeserializer(wire.size());
    ASSERT_EQ(Feed(m, wire, {cut}), u"");
    ASSERT_TRUE(m.IsComplete());
    ASSERT_EQ(Snap(m), expected);
  }
  std::vector<size_t> every(wire.size());
  for (size_t i = 0; i < every.size(); ++i) every[i] = i;
  m.InitDeserializer();
  ASSERT_EQ(Feed(m, wire, every), u"");  // one byte at a time
  EXPECT_TRUE(m.IsComplete());
  EXPECT_EQ(Snap(m), expected);
}

TEST(DeserializerSplits, RandomSplitsOfALargeMessageGiveTheSamePayloads) {
  const std::string attachment = Pattern(300001, 7);
  const std::string wire = Serialized(kRecordSize, {{"", kSoap11, kTnfAbsoluteUri, "", "<E/>"},
                                                    {"big", "application/octet-stream",
                                                     kTnfMediaType, "", attachment}});
  std::mt19937 rng(42);
  for (int round = 0; round < 8; ++round) {
    std::vector<size_t> cuts;
    for (size_t at = 0;;) {
      at += std::uniform_int_distribution<size_t>(1, round < 4 ? 17 : 9000)(rng);
      if (at >= wire.size()) break;
      cuts.push_back(at);
    }
    DimeMessage m;
    m.InitDeserializer(wire.size());
    ASSERT_EQ(Feed(m, wire, cuts), u"");
    ASSERT_TRUE(m.IsComplete());
    ASSERT_EQ(m.PayloadCount(), 2u);
    EXPECT_EQ(m.Payload(1)->Id(), "big");
    ASSERT_EQ(testing::ReadAll(*m.Payload(1)), attachment);
    EXPECT_EQ(m.GetDeserializer().BytesConsumed(), wire.size());
  }
}

// Chunks carry their own data length, padding and options: each must be
// taken from the chunk's header, and a chunk's options must not reach the
// payload that follows.
TEST(DeserializerChunks, EachChunkUsesItsOwnLengthsAndPadding) {
  RecordHeader chunk;
  chunk.cf = true;
  chunk.options_length = 7;
  chunk.data_length = 6;
  const std::string wire =
      Record(true, false, true, kTnfMediaType, "id", "text/plain", "hello") +
      RawRecord(chunk, std::string("\0\1\0\3abc", 7), {}, {}, "world!") +
      Record(false, false, false, 0, "", "", "xyz") +
      Record(false, true, false, kTnfMediaType, "next", "t", "1234");
  for (size_t cut = 0; cut <= wire.size(); ++cut) {
    SCOPED_TRACE(cut);
    DimeMessage m;
    m.InitDeserializer(wire.size());
    ASSERT_EQ(Feed(m, wire, {cut}), u"");
    ASSERT_TRUE(m.IsComplete());
    ASSERT_EQ(m.PayloadCount(), 2u);
    EXPECT_EQ(testing::ReadAll(*m.Payload(0)), "helloworld!xyz");
    EXPECT_TRUE(m.Payload(0)->Options().empty());
    EXPECT_TRUE(m.Payload(1)->Options().empty());
    EXPECT_EQ(testing::ReadAll(*m.Payload(1)), "1234");
  }
}

TEST(DeserializerChunks, EmptyFinalChunkCompletesTheMessage) {
  const std::string wire = Record(true, false, true, 1, "", "t", "abcd") +
                           Record(false, true, false, 0, "", "", "");
  DimeMessage m;
  m.InitDeserializer(wire.size());
  EXPECT_EQ(Feed(m, wire), u"");
  EXPECT_TRUE(m.IsComplete());
  EXPECT_EQ(testing::ReadAll(*m.Payload(0)), "abcd");
}

TEST(DeserializerRecords, LaterRecordsNeedNoMessageBeginBit) {
  const std::string wire = Record(true, false, false, 1, "", "t", "a") +
                           Record(false, true, false, 1, "", "t", "b");
  DimeMessage m;
  m.InitDeserializer();
  EXPECT_EQ(Feed(m, wire), u"");
  EXPECT_TRUE(m.IsComplete());
  EXPECT_EQ(m.PayloadCount(), 2u);
}

RecordHeader Header(bool mb, bool me, bool cf, uint8_t tnf, uint32_t data_length,
                    uint8_t version = kVersion) {
  RecordHeader h;
  h.version = version;
  h.mb = mb;
  h.me = me;
  h.cf = cf;
  h.tnf = tnf;
  h.data_length = data_length;
  return h;
}

std::string Chunk(RecordHeader h, std::string_view data = "abcd") {
  h.data_length = static_cast<uint32_t>(data.size());
  return RawRecord(h, {}, {}, {}, data);
}

// Every key that a peer can cause, each from a crafted message.
TEST(DeserializerErrors, CraftedInputsGiveTheirKeys) {
  const std::string first = Record(true, false, true, 1, "", "t", "abcd");
  RecordHeader with_id = Header(false, true, false, 0, 0);
  with_id.id_length = 1;
  RecordHeader with_type = Header(false, true, false, 0, 0);
  with_type.type_length = 1;
  RecordHeader bad_options = Header(true, true, false, 1, 0);
  bad_options.options_length = 5;
  const DimeLimits tight{2, 1000, 100};

  const struct {
    const char* name;
    std::string wire;
    uint64_t content_length;
    DimeLimits limits;
    const char* key;
  } cases[] = {
      {"version 2 record", RawRecord(Header(true, true, false, 1, 0, 2)), kUnknownContentLength, {},
       "Deserializer.ReadHeader.VersionNotSupported1"},
      {"first record without MB", Record(false, true, false, 1, "", "t", "x"),
       kUnknownContentLength, {}, "Deserializer.ReadHeader.MsgStartBitNotSet"},
      {"version 2 chunk", first + Chunk(Header(false, true, false, 0, 0, 2)),
       kUnknownContentLength, {}, "Deserializer.ReadHeader.VersionNotSupported2"},
      {"chunk with a TNF", first + Chunk(Header(false, true, false, 2, 0)),
       kUnknownContentLength, {}, "Deserializer.ReadHeader.ChunkInvalidType"},
      {"chunk with an ID", first + RawRecord(with_id, {}, "i"), kUnknownContentLength, {},
       "Deserializer.ReadHeader.ChunkNonzeroIdLength"},
      {"chunk with a TYPE", first + RawRecord(with_type, {}, {}, "t"), kUnknownContentLength, {},
       "Deserializer.ReadHeader.ChunkNonzeroTypeLength"},
      {"option running past its field", RawRecord(bad_options, std::string("\0\1\0\7ab", 5)),
       kUnknownContentLength, {}, "Deserializer.OpenPayload.ProcessingFailed"},
      {"more payloads than allowed",
       Record(true, false, false, 1, "", "t", "a") + Record(false, false, false, 1, "", "t", "b") +
           Record(false, true, false, 1, "", "t", "c"),
       kUnknownContentLength, tight, "Deserializer.OpenPayload.TooManyPayloads"},
      {"record claiming 4 GiB", RawRecord(Header(true, true, false, 1, 0xFFFFFFFF)),
       kUnknownContentLength, {}, "Deserializer.ReadHeader.MessageTooLarge"},
      {"chunk claiming 4 GiB", first + RawRecord(Header(false, true, false, 0, 0xFFFFFFF0)),
       kUnknownContentLength, {}, "Deserializer.ReadHeader.MessageTooLarge"},
      {"message over a lower limit",
       Record(true, false, false, 1, "", "t", "a") + RawRecord(Header(false, true, false, 1, 990)),
       kUnknownContentLength, tight, "Deserializer.ReadHeader.MessageTooLarge"},
      {"envelope over its limit", RawRecord(Header(true, true, false, 1, 17 << 20)),
       kUnknownContentLength, {}, "Deserializer.ReadHeader.EnvelopeTooLarge"},
      {"envelope over its limit across chunks",
       Record(true, false, true, 1, "", "t", std::string(96, 'e')) +
           Chunk(Header(false, true, false, 0, 0), "12345"),
       kUnknownContentLength, tight, "Deserializer.ReadHeader.EnvelopeTooLarge"},
      {"record longer than the content length", RawRecord(Header(true, true, false, 1, 1000)), 500,
       {}, "Deserializer.ReadHeader.RecordBeyondContentLength"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DimeMessage m;
    m.SetLimits(c.limits);
    m.InitDeserializer(c.content_length);
    EXPECT_EQ(Feed(m, c.wire), Key(c.key));
    EXPECT_TRUE(m.GetDeserializer().HasFailed());
    // A refused length never gets as far as storing anything for it.
    if (c.wire.size() == kHeaderSize) {
      EXPECT_EQ(m.PayloadCount(), 0u);
    }
  }
}

TEST(DeserializerErrors, LimitErrorsCarryTheirNumbers) {
  DimeMessage m;
  m.InitDeserializer(500);
  EXPECT_NE(Feed(m, RawRecord(Header(true, true, false, 1, 1000))), u"");
  EXPECT_EQ(m.GetDeserializer().LastErrorDetail(),
            "dime: record 0 needs 1000 more bytes, content length 500 leaves 488");
}

// A DATA_LENGTH whose padding takes "rest + padding" past 2^32 must not wrap
// into "the input holds it all" and read past the caller's bytes.
TEST(DeserializerErrors, DataLengthNearTwoToThe32DoesNotWrap) {
  DimeMessage m;
  m.SetLimits(DimeLimits{kMaxPayloads, UINT64_MAX, UINT64_MAX});
  m.InitDeserializer();
  const std::string wire = RawRecord(Header(true, true, false, 1, 0xFFFFFFFD)) + "0123456789";
  EXPECT_EQ(Feed(m, wire), u"");
  EXPECT_FALSE(m.IsComplete());
  ASSERT_EQ(m.PayloadCount(), 1u);
  EXPECT_EQ(testing::ReadAll(*m.Payload(0)), "0123456789");
}

TEST(DeserializerTruncation, MessageCutAnywhereIsNeverComplete) {
  const std::string wire = SmallMessage();
  for (size_t length = 0; length < wire.size(); ++length) {
    SCOPED_TRACE(length);
    DimeMessage m;
    m.InitDeserializer();
    ASSERT_EQ(Feed(m, wire.substr(0, length)), u"");
    EXPECT_FALSE(m.IsComplete());
    EXPECT_EQ(ThrownKey([&] { m.EndOfInput(); }), u"Deserializer.EndOfInput.MessageTruncated");
  }
  // Whole, but its last record lacks ME: the message has not ended either.
  DimeMessage m;
  m.InitDeserializer();
  EXPECT_EQ(Feed(m, Record(true, false, false, 1, "", "t", "abc")), u"");
  EXPECT_FALSE(m.IsComplete());
  EXPECT_NE(ThrownKey([&] { m.EndOfInput(); }), u"");

  DimeMessage whole;
  whole.InitDeserializer();
  EXPECT_EQ(Feed(whole, wire), u"");
  EXPECT_EQ(ThrownKey([&] { whole.EndOfInput(); }), u"");
}

TEST(DeserializerLifecycle, InputAfterDoneOrErrorIsIgnored) {
  const std::string wire = SmallMessage();
  DimeMessage m;
  m.InitDeserializer();
  ASSERT_EQ(Feed(m, wire), u"");
  const auto before = Snap(m);
  const uint64_t consumed = m.GetDeserializer().BytesConsumed();
  EXPECT_EQ(Feed(m, wire), u"");
  EXPECT_EQ(Snap(m), before);
  EXPECT_EQ(m.GetDeserializer().BytesConsumed(), consumed);

  DimeMessage bad;
  bad.InitDeserializer();
  const std::u16string key = Feed(bad, Record(false, true, false, 1, "", "t", "x"));
  EXPECT_EQ(Feed(bad, wire), key);  // still failed, nothing read
  EXPECT_EQ(bad.PayloadCount(), 0u);

  // A new message starts clean.
  bad.InitDeserializer();
  EXPECT_EQ(Feed(bad, wire), u"");
  EXPECT_EQ(Snap(bad), before);
}

TEST(DeserializerLifecycle, UninitializedReaderLogsItsKeyOnce) {
  // A private event-log file, so the test reads only its own entries.
  const std::string path = ::testing::TempDir() + "dime-eventlog-" + std::to_string(getpid());
  std::remove(path.c_str());
  const char* saved = std::getenv("QUORVEL_EVENTLOG_FILE");
  const std::string restore = saved ? saved : "";
  setenv("QUORVEL_EVENTLOG_FILE", path.c_str(), 1);

  Deserializer reader;
  const uint8_t byte = 0;
  EXPECT_FALSE(reader.Deserialize(&byte, 1));
  EXPECT_FALSE(reader.Deserialize(&byte, 1));
  EXPECT_EQ(reader.LastError(), u"Deserializer.Deserialize.Uninitialized");
  std::ifstream in(path);
  std::stringstream logged;
  logged << in.rdbuf();
  EXPECT_EQ(logged.str(), "Quorvel DIME Parser: Error: Deserializer.Deserialize.Uninitialized\n");

  EXPECT_FALSE(reader.Initializer(nullptr));
  EXPECT_EQ(reader.LastError(), u"Deserializer.Initializer.NullPayloadArrayPtr");

  std::remove(path.c_str());
  if (saved) {
    setenv("QUORVEL_EVENTLOG_FILE", restore.c_str(), 1);
  } else {
    unsetenv("QUORVEL_EVENTLOG_FILE");
  }
}

// The record used for storage and allocation faults: options [12,20), ID
// [20,24), TYPE [24,36), DATA "hello" [36,41) + 3 padding; then a final chunk
// with DATA "world!" [56,62) + 2 padding.
std::string FaultMessage() {
  return Record(true, false, true, kTnfMediaType, "id", "text/plain", "hello",
                std::string("\0\1\0\3abc", 7)) +
         Chunk(Header(false, true, false, 0, 0), "world!");
}

TEST(DeserializerFaults, AllocationFailuresGiveTheirKeys) {
  const struct {
    int allocation;
    std::vector<size_t> cuts;
    const char* key;
  } cases[] = {
      {1, {}, "Deserializer.ReadOptions.CacheAllocFailed2"},
      {1, {15}, "Deserializer.ReadOptions.CacheAllocFailed1"},
      {2, {}, "Deserializer.ReadId.CacheAllocFailed2"},
      {2, {21}, "Deserializer.ReadId.CacheAllocFailed1"},
      {3, {}, "Deserializer.ReadType.CacheAllocFailed2"},
      {3, {30}, "Deserializer.ReadType.CacheAllocFailed1"},
      {4, {}, "Deserializer.OpenPayload.CreatePayloadFailed"},
  };
  const std::string wire = FaultMessage();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    testing::FaultyResources resources;
    resources.fail_allocation = c.allocation;
    DimeMessage m;
    m.SetResourcesForTest(&resources);
    m.InitDeserializer();
    EXPECT_EQ(Feed(m, wire, c.cuts), Key(c.key));
    EXPECT_EQ(m.PayloadCount(), 0u);
  }
}

// Every open payload holds a file: across all messages of the process, no
// more are opened than the budget allows, and a message over it fails the
// way a failed file does. Files come back as messages go.
TEST(DeserializerFaults, PayloadFilesAreBoundedAcrossMessages) {
  const std::string two =
      Serialized(64, {{"", kSoap11, kTnfAbsoluteUri, "", "<e/>"}, {"", "", kTnfNone, "", ""}});
  const uint64_t before = OpenPayloadFiles();
  SetPayloadFileBudget(before + 3);
  {
    DimeMessage first;
    first.InitDeserializer(two.size());
    EXPECT_EQ(Feed(first, two), u"");
    EXPECT_TRUE(first.IsComplete());
    EXPECT_EQ(OpenPayloadFiles(), before + 2);
    DimeMessage second;
    second.InitDeserializer(two.size());
    EXPECT_EQ(Feed(second, two), Key("Deserializer.OpenPayload.CreateFileFailed"));
    EXPECT_EQ(second.GetDeserializer().LastErrorDetail(),
              "dime: record 1 opens a payload file over the process budget of " +
                  std::to_string(before + 3));
    EXPECT_FALSE(second.IsComplete());
  }
  EXPECT_EQ(OpenPayloadFiles(), before);
  DimeMessage again;
  again.InitDeserializer(two.size());
  EXPECT_EQ(Feed(again, two), u"");
  EXPECT_TRUE(again.IsComplete());
  SetPayloadFileBudget(UINT64_MAX);
}

TEST(DeserializerFaults, StorageFailuresGiveTheirKeys) {
  const struct {
    const char* name;
    void (*fault)(testing::FaultyResources&);
    std::vector<size_t> cuts;
    const char* key;
  } cases[] = {
      {"no temporary file", [](testing::FaultyResources& r) { r.fail_storage = true; }, {},
       "Deserializer.OpenPayload.CreateFileFailed"},
      {"stream not created",
       [](testing::FaultyResources& r) { r.plan->create_stream = STG_E_ACCESSDENIED; }, {},
       "Deserializer.OpenPayload.OpenStreamFailed"},
      {"disk full, data and padding at hand",
       [](testing::FaultyResources& r) { r.plan->write_budget = 0; }, {},
       "Deserializer.DeserializePayload.WriteFailed1"},
      {"disk full, input ends in the padding",
       [](testing::FaultyResources& r) { r.plan->write_budget = 0; }, {42},
       "Deserializer.DeserializePayload.WriteFailed2"},
      {"disk full, input ends in the data",
       [](testing::FaultyResources& r) { r.plan->write_budget = 0; }, {38},
       "Deserializer.DeserializePayload.WriteFailed3"},
      {"short write", [](testing::FaultyResources& r) {
         r.plan->write_budget = 2;
         r.plan->short_count = true;
       },
       {}, "Deserializer.DeserializePayload.WriteFailed1"},
      {"chunk: data and padding at hand",
       [](testing::FaultyResources& r) { r.plan->write_budget = 5; }, {},
       "Deserializer.DeserializeChunk.WriteFailed1"},
      {"chunk: input ends in the padding",
       [](testing::FaultyResources& r) { r.plan->write_budget = 5; }, {63},
       "Deserializer.DeserializeChunk.WriteFailed2"},
      {"chunk: input ends in the data",
       [](testing::FaultyResources& r) { r.plan->write_budget = 5; }, {59},
       "Deserializer.DeserializeChunk.WriteFailed3"},
  };
  const std::string wire = FaultMessage();
  ASSERT_EQ(wire.size(), 64u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FaultyResources resources;
    c.fault(resources);
    DimeMessage m;
    m.SetResourcesForTest(&resources);
    m.InitDeserializer();
    EXPECT_EQ(Feed(m, wire, c.cuts), Key(c.key));
  }
}

}  // namespace
}  // namespace dime
