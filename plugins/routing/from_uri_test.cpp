#include "plugins/routing/from_uri.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/registry/registry.h"
#include "platform/registry/testing/temp_registry.h"

namespace routing {
namespace {

struct Stored {
  DWORD type = 0;
  std::string bytes;
};

Stored Read() {
  Stored s;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFromUriKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return s;
  char buffer[512] = {};
  DWORD size = sizeof(buffer);
  if (RegQueryValueExA(key, kFromUriValue, nullptr, &s.type, reinterpret_cast<BYTE*>(buffer),
                       &size) == ERROR_SUCCESS) {
    s.bytes.assign(buffer, size);
  }
  RegCloseKey(key);
  return s;
}

void Store(DWORD type, const std::string& bytes) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kFromUriKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, kFromUriValue, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           DWORD(bytes.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST(ReadFromURITest, StoredStringsAreUsedAndAnythingElseGivesTheDefault) {
  const std::string kDefault = "wsrp-node@localhost";
  const std::string long128(128, 'x');
  const std::string long127(127, 'y');
  const struct {
    const char* name;
    bool store;
    DWORD type;
    std::string bytes;
    std::u16string expected;
    Stored after;
  } cases[] = {
      {"missing", false, 0, "", u"wsrp-node@localhost", {REG_SZ, kDefault + '\0'}},
      {"a DWORD", true, REG_DWORD, std::string("\x01\0\0\0", 4), u"wsrp-node@localhost",
       {REG_SZ, kDefault + '\0'}},
      {"a string", true, REG_SZ, "mailto:n@h", u"mailto:n@h", {REG_SZ, std::string("mailto:n@h") + '\0'}},
      {"127 characters", true, REG_SZ, long127, std::u16string(127, u'y'), {REG_SZ, long127 + '\0'}},
      // Too long to use, and kept as stored.
      {"128 characters", true, REG_SZ, long128, u"wsrp-node@localhost", {REG_SZ, long128 + '\0'}},
      {"non-ASCII", true, REG_SZ, "n\xC3\xBC@h\xE2\x82\xAC", u"n\u00FC@h\u20AC",
       {REG_SZ, std::string("n\xC3\xBC@h\xE2\x82\xAC") + '\0'}},
  };
  for (const auto& c : cases) {
    registry::testing::TempRegistry registry;
    if (c.store) Store(c.type, c.bytes);
    EXPECT_EQ(ReadFromURI(), c.expected) << c.name;
    const Stored after = Read();
    EXPECT_EQ(after.type, c.after.type) << c.name;
    EXPECT_EQ(after.bytes, c.after.bytes) << c.name;
  }
}

// Asked on every routed answer: a stored value is read without taking the
// registry's file for writing, which would re-read and republish it.
TEST(ReadFromURITest, AStoredValueIsReadWithoutTouchingTheFile) {
  for (const std::string& value : {std::string("mailto:n@h"), std::string(128, 'x')}) {
    registry::testing::TempRegistry registry;
    Store(REG_SZ, value);
    struct stat before {};
    ASSERT_EQ(stat(registry.file().c_str(), &before), 0);
    const uint64_t generation = registry::Generation();
    for (int i = 0; i < 3; ++i) (void)ReadFromURI();
    struct stat after {};
    ASSERT_EQ(stat(registry.file().c_str(), &after), 0);
    EXPECT_EQ(registry::Generation(), generation) << value.size();
    EXPECT_EQ(after.st_ino, before.st_ino) << value.size();
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << value.size();
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << value.size();
    // A change is seen by the next answer.
    Store(REG_SZ, "mailto:changed@h");
    EXPECT_EQ(ReadFromURI(), u"mailto:changed@h") << value.size();
  }
}

}  // namespace
}  // namespace routing
