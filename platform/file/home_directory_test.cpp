#include "platform/file/home_directory.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace file {
namespace {

// Sets HOME (or unsets it for nullopt) for the life of the object.
class ScopedHome {
 public:
  explicit ScopedHome(const std::optional<std::string>& value) {
    if (const char* old = getenv("HOME")) old_ = old;
    if (value) {
      setenv("HOME", value->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  ~ScopedHome() {
    if (old_) {
      setenv("HOME", old_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }

 private:
  std::optional<std::string> old_;
};

TEST(HomeDirectoryTest, AbsoluteHomeElseTheUserDatabase) {
  const passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  const std::string database = pw->pw_dir;
  const struct {
    std::optional<std::string> home;
    std::string expected;
  } cases[] = {
      {"/srv/someone", "/srv/someone"},
      {std::nullopt, database},
      {"", database},
      {"relative/home", database},
  };
  for (const auto& c : cases) {
    ScopedHome scoped(c.home);
    EXPECT_EQ(HomeDirectory(), c.expected) << (c.home ? *c.home : "(unset)");
  }
}

}  // namespace
}  // namespace file
