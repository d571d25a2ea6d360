#include "dime/payload.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dime/resources.h"
#include "dime/testing/dime_testing.h"

namespace dime {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(DimePayloadOptions, WrittenAndParsedInWireForm) {
  DimePayload writer(nullptr, "", "", 0);
  ASSERT_TRUE(writer.AddOption(DimeOption{1, {'a', 'b', 'c'}}));
  EXPECT_EQ(writer.GetOptionsLength(), 7u);
  uint8_t buf[16];
  size_t n = 0;
  ASSERT_TRUE(writer.WriteOptions(buf, sizeof buf, &n));
  EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0, 1, 0, 3, 'a', 'b', 'c'}));
  EXPECT_FALSE(writer.WriteOptions(buf, 6, &n));  // never past the caller's buffer

  DimePayload reader(nullptr, "", "", 0);
  ASSERT_TRUE(reader.ParseOptions(buf, 7));
  ASSERT_EQ(reader.Options().size(), 1u);
  EXPECT_EQ(reader.Options()[0].type, 1);
  EXPECT_EQ(reader.Options()[0].data, (Bytes{'a', 'b', 'c'}));
}

TEST(DimePayloadOptions, SeveralOptionsIncludingAnEmptyOne) {
  const Bytes field = {0x12, 0x34, 0, 0, 0, 2, 0, 1, 'x'};
  DimePayload p(nullptr, "", "", 0);
  ASSERT_TRUE(p.ParseOptions(field.data(), field.size()));
  ASSERT_EQ(p.Options().size(), 2u);
  EXPECT_EQ(p.Options()[0].type, 0x1234);
  EXPECT_TRUE(p.Options()[0].data.empty());
  EXPECT_EQ(p.Options()[1].type, 2);
  EXPECT_EQ(p.GetOptionsLength(), field.size());
}

// A malformed field is refused; the elements before the bad one stay, as
// AddPayload, which does not check the result, sends them on.
TEST(DimePayloadOptions, MalformedFieldsKeepTheElementsBeforeTheFault) {
  const struct {
    const char* name;
    Bytes field;
    size_t kept;
  } cases[] = {
      {"empty", {}, 0},
      {"shorter than an element head", {0, 1, 0}, 0},
      {"element runs past the end", {0, 1, 0, 5, 'a'}, 0},
      {"good element then a partial head", {0, 1, 0, 1, 'a', 0, 2}, 1},
      {"good element then one that runs past", {0, 1, 0, 0, 0, 2, 0xFF, 0xFF, 'z'}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DimePayload p(nullptr, "", "", 0);
    EXPECT_FALSE(p.ParseOptions(c.field.data(), c.field.size()));
    ASSERT_EQ(p.Options().size(), c.kept);
    if (c.kept == 1) {
      EXPECT_EQ(p.Options()[0].type, 1);
    }
  }
}

// A peer's field of empty options is held as its own bytes, not as one
// object per four bytes, and still reads back element by element.
TEST(DimePayloadOptions, ManyEmptyOptionsAreKeptAsTheirBytes) {
  Bytes field;
  for (uint16_t i = 0; i < 16383; ++i)
    field.insert(field.end(), {uint8_t(i >> 8), uint8_t(i), 0, 0});
  DimePayload p(nullptr, "", "", 0);
  ASSERT_TRUE(p.ParseOptions(field.data(), field.size()));
  EXPECT_EQ(p.RawOptions(), field);
  EXPECT_EQ(p.RawOptions().capacity(), field.size());
  const std::vector<DimeOption> options = p.Options();
  ASSERT_EQ(options.size(), 16383u);
  EXPECT_EQ(options[16382].type, 16382);
  EXPECT_TRUE(options[16382].data.empty());
}

TEST(DimePayloadOptions, OptionLongerThanItsLengthFieldIsRefused) {
  DimePayload p(nullptr, "", "", 0);
  EXPECT_FALSE(p.AddOption(DimeOption{1, Bytes(kMaxFieldLength + 1)}));
  EXPECT_TRUE(p.AddOption(DimeOption{1, Bytes(kMaxFieldLength)}));
}

TEST(DimePayloadStream, WithoutStorageEverythingFails) {
  DimePayload p(nullptr, "id", "type", 1);
  char c = 0;
  uint32_t n = 9;
  EXPECT_FALSE(p.CreateStream());
  EXPECT_FALSE(p.OpenStream());
  EXPECT_FALSE(p.Close());
  EXPECT_FALSE(p.Write("x", 1, &n));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(p.Read(&c, 1, &n));
  EXPECT_EQ(p.GetSize(), 0u);
}

TEST(DimePayloadStream, HoldsItsOwnReferenceOnTheStorage) {
  ComPtr<IStorage> storage;
  ASSERT_EQ(DimeResources::Default().CreateStorage(storage.Receive()), S_OK);
  DimePayload p(storage.Get(), "id", "type", 1);
  storage.Reset();
  ASSERT_TRUE(p.CreateStream());
  uint32_t n = 0;
  ASSERT_TRUE(p.Write("hello", 5, &n));
  EXPECT_EQ(p.GetSize(), 5u);
  EXPECT_TRUE(p.Close());
  EXPECT_EQ(p.GetSize(), 0u);  // no stream open
  EXPECT_EQ(testing::ReadAll(p), "hello");
  // The writer's stream is gone: a new one replaces the bytes.
  ASSERT_TRUE(p.CreateStream());
  EXPECT_EQ(p.GetSize(), 0u);
}

}  // namespace
}  // namespace dime
