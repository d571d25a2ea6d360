#include "platform/file/atomic_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace file {
namespace {

namespace fs = std::filesystem;

class ReplaceFileTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("atomic-file-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static mode_t Mode(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
  }
  size_t Entries() const { return size_t(std::distance(fs::directory_iterator(dir_), {})); }
  fs::path dir_;
};

TEST_F(ReplaceFileTest, WritesNewFilesAndKeepsTheModeOfReplacedOnes) {
  const fs::path p = dir_ / "a.xml";
  ASSERT_EQ(ReplaceFile(p, std::string("one\0two", 7)), 0);
  EXPECT_EQ(Read(p), std::string("one\0two", 7));
  EXPECT_EQ(Mode(p), 0644u);

  fs::permissions(p, fs::perms(0640));
  ASSERT_EQ(ReplaceFile(p, "three"), 0);
  EXPECT_EQ(Read(p), "three");
  EXPECT_EQ(Mode(p), 0640u);

  ASSERT_EQ(ReplaceFile(p, "", 0600), 0);
  EXPECT_EQ(Read(p), "");
  EXPECT_EQ(Mode(p), 0600u);
  EXPECT_EQ(Entries(), 1u) << "a temporary file was left behind";
}

TEST_F(ReplaceFileTest, AFailureLeavesTheOldFileAndNoTemporaryFile) {
  // A directory in the file's place: the rename fails after the write.
  const fs::path p = dir_ / "taken";
  fs::create_directories(p / "child");
  EXPECT_NE(ReplaceFile(p, "data"), 0);
  EXPECT_TRUE(fs::is_directory(p / "child"));
  EXPECT_EQ(Entries(), 1u);
  EXPECT_EQ(ReplaceFile((dir_ / "missing" / "x").string(), "data"), ENOENT);
}

TEST_F(ReplaceFileTest, MakeDirectoriesCreatesEveryParent) {
  const fs::path deep = dir_ / "a" / "b" / "c";
  EXPECT_TRUE(MakeDirectories(deep));
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_TRUE(MakeDirectories(deep)) << "an existing directory is fine";
  std::ofstream(dir_ / "file") << "x";
  EXPECT_FALSE(MakeDirectories((dir_ / "file").string()));
  EXPECT_FALSE(MakeDirectories((dir_ / "file" / "sub").string()));
}

}  // namespace
}  // namespace file
