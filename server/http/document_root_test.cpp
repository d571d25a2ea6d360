#include "server/http/document_root.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "server/http/testing/test_files.h"

namespace server {
namespace {

namespace fs = std::filesystem;
using server_testing::WriteFile;

std::string ReadAll(int fd) {
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

// www/ is the root; outside/ beside it holds what must never be served.
class DocumentRootTest : public ::testing::TestWithParam<BeneathMode> {
 protected:
  void SetUp() override {
    dir_ = server_testing::FreshTestDir("qvdocroot");
    fs::create_directories(dir_ / "www" / "sub");
    fs::create_directories(dir_ / "outside");
    WriteFile(dir_ / "www" / "a.txt", "inside a");
    WriteFile(dir_ / "www" / "sub" / "b.txt", "inside b");
    WriteFile(dir_ / "outside" / "b.txt", "SECRET");
    fs::create_symlink(dir_ / "outside", dir_ / "www" / "abs-dir");
    fs::create_symlink("../outside", dir_ / "www" / "rel-dir");
    fs::create_symlink(dir_ / "outside" / "b.txt", dir_ / "www" / "abs-file");
    fs::create_symlink("/proc/self/root", dir_ / "www" / "magic");
    root_ = ::open((dir_ / "www").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root_, 0);
  }
  void TearDown() override {
    if (root_ >= 0) ::close(root_);
    fs::remove_all(dir_);
  }
  // The file's text, or "" when the open was refused.
  std::string Open(const std::string& relative) {
    const int fd = OpenBeneath(root_, relative, GetParam());
    if (fd < 0) return "";
    std::string text = ReadAll(fd);
    ::close(fd);
    return text;
  }

  fs::path dir_;
  int root_ = -1;
};

TEST_P(DocumentRootTest, OpensNamesBeneathTheRootAndNothingOutside) {
  struct Case {
    const char* name;
    const char* text;  // "" = refused
  } cases[] = {
      {"a.txt", "inside a"}, {"sub/b.txt", "inside b"},  {"./sub//b.txt", "inside b"},
      {"missing.txt", ""},   {"../outside/b.txt", ""},   {"sub/../../outside/b.txt", ""},
      {"/etc/hostname", ""}, {"abs-dir/b.txt", ""},      {"rel-dir/b.txt", ""},
      {"abs-file", ""},      {"magic/etc/hostname", ""}, {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Open(c.name), c.text);
  }
}

TEST_P(DocumentRootTest, DirectorySwappedForALinkDoesNotLeadOutside) {
  ASSERT_EQ(Open("sub/b.txt"), "inside b");
  // What a request racing the check and the open would meet.
  fs::rename(dir_ / "www" / "sub", dir_ / "www" / "sub-old");
  fs::create_symlink(dir_ / "outside", dir_ / "www" / "sub");
  EXPECT_EQ(Open("sub/b.txt"), "");
  fs::remove(dir_ / "www" / "sub");
  fs::create_symlink("../outside", dir_ / "www" / "sub");
  EXPECT_EQ(Open("sub/b.txt"), "");
}

INSTANTIATE_TEST_SUITE_P(Modes, DocumentRootTest,
                         ::testing::Values(BeneathMode::Best, BeneathMode::Walk),
                         [](const auto& info) {
                           return info.param == BeneathMode::Best ? "Best" : "Walk";
                         });

TEST(DocumentRootCacheTest, OpenedOnceRetriedWhileMissingAndFreshInACopy) {
  const fs::path dir = server_testing::FreshTestDir("qvdocrootcache");
  const std::string path = (dir / "www").string();
  DocumentRoot root;
  EXPECT_LT(root.Descriptor(path), 0);  // not there yet: not remembered either
  fs::create_directories(dir / "www");
  WriteFile(dir / "www" / "a.txt", "first");
  const int fd = root.Descriptor(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(root.Descriptor(path), fd);

  // The snapshot keeps the directory it opened, whatever the name means now.
  fs::rename(dir / "www", dir / "www-old");
  fs::create_directories(dir / "www");
  WriteFile(dir / "www" / "a.txt", "second");
  int file = OpenBeneath(root.Descriptor(path), "a.txt");
  ASSERT_GE(file, 0);
  EXPECT_EQ(ReadAll(file), "first");
  ::close(file);

  // A copy is a new snapshot: it opens the root afresh.
  DocumentRoot copy(root);
  file = OpenBeneath(copy.Descriptor(path), "a.txt");
  ASSERT_GE(file, 0);
  EXPECT_EQ(ReadAll(file), "second");
  ::close(file);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace server
