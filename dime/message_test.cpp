#include "dime/message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dime/testing/dime_testing.h"
#include "platform/com/variant.h"

namespace dime {
namespace {

using testing::FaultyResources;

TEST(DimeMessage, AddPayloadFromBytesFailsWholly) {
  const struct {
    const char* name;
    void (*fault)(FaultyResources&);
    uint32_t option_length;
    uint32_t option_type;
  } cases[] = {
      {"no temporary file", [](FaultyResources& r) { r.fail_storage = true; }, 1, 1},
      {"no stream", [](FaultyResources& r) { r.plan->create_stream = STG_E_ACCESSDENIED; }, 1, 1},
      {"disk full", [](FaultyResources& r) { r.plan->write_budget = 3; }, 1, 1},
      {"option longer than 16 bits", [](FaultyResources&) {}, 0x10000, 1},
      {"option type wider than 16 bits", [](FaultyResources&) {}, 1, 0x10000},
  };
  const std::string option(0x10000, 'o');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FaultyResources resources;
    c.fault(resources);
    DimeMessage m;
    m.SetResourcesForTest(&resources);
    m.InitSerializer(kRecordSize);
    EXPECT_FALSE(m.AddPayloadFromBytes("payload", 7, "id", "t", 1, option.data(), c.option_length,
                                       c.option_type));
    EXPECT_EQ(m.PayloadCount(), 0u);
  }
}

TEST(DimeMessage, AddPayloadSharesTheCallersStorage) {
  auto storage = testing::StorageWith("attachment bytes");
  ASSERT_TRUE(storage);
  DimeMessage m;
  m.InitSerializer(kRecordSize);
  const uint8_t options[] = {0, 9, 0, 1, 'z'};
  ASSERT_TRUE(m.AddPayload(storage.Get(), "cid:1", "image/gif", kTnfMediaType, options, 5));
  const uint8_t malformed[] = {0, 9, 0, 9};
  ASSERT_TRUE(m.AddPayload(storage.Get(), "cid:2", "image/gif", kTnfMediaType, malformed, 4));
  ASSERT_EQ(m.PayloadCount(), 2u);
  EXPECT_EQ(m.Payload(0)->Storage(), storage.Get());
  ASSERT_EQ(m.Payload(0)->Options().size(), 1u);
  EXPECT_EQ(m.Payload(0)->Options()[0].type, 9);
  EXPECT_TRUE(m.Payload(1)->Options().empty());  // ignored, as the caller cannot fix it
  EXPECT_EQ(testing::ReadAll(*m.Payload(0)), "attachment bytes");
  EXPECT_EQ(m.Payload(2), nullptr);

  // Starting another message lets go of the payloads, not of the storage.
  m.InitDeserializer();
  EXPECT_EQ(m.PayloadCount(), 0u);
  EXPECT_EQ(storage->AddRef(), 2u);
  storage->Release();
}

// Options arrive from automation callers as byte arrays; anything else is
// no options.
TEST(DimeMessage, OptionsFromAutomationArrays) {
  const uint8_t field[] = {0, 3, 0, 1, 'q'};
  SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, sizeof field);
  ASSERT_NE(bytes, nullptr);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(bytes, &data), S_OK);
  std::memcpy(data, field, sizeof field);
  SafeArrayUnaccessData(bytes);
  SAFEARRAY* longs = SafeArrayCreateVector(VT_I4, 0, 2);

  DimeMessage m;
  m.InitSerializer(kRecordSize);
  ASSERT_TRUE(m.AddPayload(nullptr, "a", "t", 1, bytes));
  ASSERT_TRUE(m.AddPayload(nullptr, "b", "t", 1, longs));
  ASSERT_TRUE(m.AddPayload(nullptr, "c", "t", 1, static_cast<SAFEARRAY*>(nullptr)));
  ASSERT_EQ(m.Payload(0)->Options().size(), 1u);
  EXPECT_EQ(m.Payload(0)->Options()[0].type, 3);
  EXPECT_EQ(m.Payload(0)->Options()[0].data, std::vector<uint8_t>{'q'});
  EXPECT_TRUE(m.Payload(1)->Options().empty());
  EXPECT_TRUE(m.Payload(2)->Options().empty());
  EXPECT_EQ(bytes->cLocks, 0u);  // access released
  SafeArrayDestroy(bytes);
  SafeArrayDestroy(longs);
}

TEST(DimeMessage, ExceptionsCarryTheKeyAndDetail) {
  DimeMessage m;
  m.SetLimits(DimeLimits{1, kMaxMessageBytes, kMaxEnvelopeBytes});
  m.InitSerializer(kRecordSize);
  m.AddPayloadFromBytes("a", 1, "", "t", 1);
  m.AddPayloadFromBytes("b", 1, "", "t", 1);
  uint8_t buf[kRecordSize];
  size_t n = 0;
  try {
    m.Serialize(buf, sizeof buf, &n);
    ADD_FAILURE() << "no exception";
  } catch (DIMEParserException* e) {
    EXPECT_EQ(e->Key(), u"Serializer.OpenPayload.TooManyPayloads");
    EXPECT_EQ(e->Detail(), "dime: 2 payloads exceed limit 1");
    delete e;
  }
}

}  // namespace
}  // namespace dime
