// cuvrel run as a program from a directory of its own, and the run command's
// adaptation of the file it writes to a loopback port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "configgen/default_config.h"
#include "configgen/testing/expected_config.h"

namespace configgen {
namespace {

namespace fs = std::filesystem;
using configgen_testing::ExpectedConfig;
using configgen_testing::ReadWholeFile;

struct RunResult {
  std::string output;
  int status = -1;  // exit status; 128 + signal when killed by one
};

// Runs `exe` with no argument and collects what it prints. With `fileSizeLimit`
// the child may write no file larger than that, and a write past it fails
// with EFBIG instead of killing it.
RunResult RunProgram(const std::string& exe, std::optional<rlim_t> fileSizeLimit = std::nullopt) {
  RunResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    if (fileSizeLimit) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{*fileSizeLimit, *fileSizeLimit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    ADD_FAILURE() << "fork failed";
    return result;
  }
  char chunk[512];
  for (;;) {
    const ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(chunk, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void WriteWholeFile(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

class CuvrelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("cuvrel-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    dir_ = root_ / "bin";
    fs::create_directories(dir_);
    exe_ = Install(dir_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // A copy of the built program in `dir`.
  static fs::path Install(const fs::path& dir) {
    const fs::path exe = dir / "cuvrel";
    fs::copy_file(CUVREL_PATH, exe, fs::copy_options::overwrite_existing);
    return exe;
  }
  fs::path Config() const { return dir_ / kConfigFileName; }

  fs::path root_;
  fs::path dir_;
  fs::path exe_;
};

TEST_F(CuvrelTest, PrintsItsDirectoryAndWritesTheDefaultBesideItself) {
  const RunResult r = RunProgram(exe_);
  EXPECT_EQ(r.output, dir_.string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadWholeFile(Config()), ExpectedConfig(dir_.string()));
}

TEST_F(CuvrelTest, ThroughASymbolicLinkTheRealDirectoryCounts) {
  const fs::path links = root_ / "links";
  fs::create_directories(links);
  fs::create_symlink(exe_, links / "cuvrel");
  const RunResult r = RunProgram(links / "cuvrel");
  EXPECT_EQ(r.output, dir_.string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadWholeFile(Config()), ExpectedConfig(dir_.string()));
  EXPECT_FALSE(fs::exists(links / kConfigFileName));
}

TEST_F(CuvrelTest, ReplacesAnExistingFileWhole) {
  WriteWholeFile(Config(), std::string(100000, 'x'));
  const RunResult r = RunProgram(exe_);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadWholeFile(Config()), ExpectedConfig(dir_.string()));
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{kConfigFileName, "cuvrel"}));
}

TEST_F(CuvrelTest, ADirectoryInTheWayFailsAndStaysAsItWas) {
  fs::create_directories(Config());
  WriteWholeFile(Config() / "inside", "kept");
  const RunResult r = RunProgram(exe_);
  EXPECT_EQ(r.output, dir_.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fs::is_directory(Config()));
  EXPECT_EQ(Entries(Config()), std::vector<std::string>{"inside"});
  EXPECT_EQ(ReadWholeFile(Config() / "inside"), "kept");
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{kConfigFileName, "cuvrel"}));
}

TEST_F(CuvrelTest, AFailedWriteKeepsTheOldFileAndFails) {
  const std::string old = "<configuration><listenPort>8080</listenPort></configuration>";
  WriteWholeFile(Config(), old);
  // Well below the whole file: the write stops part of the way.
  const RunResult r = RunProgram(exe_, 2048);
  EXPECT_EQ(r.output, dir_.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadWholeFile(Config()), old);
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{kConfigFileName, "cuvrel"}));
}

// The directory name decides: written whole and escaped, or nothing written.
TEST_F(CuvrelTest, DirectoryNamesAreWrittenWholeOrNotAtAll) {
  const struct {
    std::string name;
    std::optional<std::string> asText;  // none: refused
  } cases[] = {
      {"a&b<c>", "a&amp;b&lt;c&gt;"},
      {"clef\xF0\x9D\x84\x9E\xC3\xA9", "clef\xF0\x9D\x84\x9E\xC3\xA9"},
      // The whole path is well past 256 characters.
      {std::string(250, 'n'), std::string(250, 'n')},
      {"bad\xFF", std::nullopt},
      {"cut\xE2\x82", std::nullopt},
      {"line\nbreak", std::nullopt},
      {"non\xEF\xBF\xBE" "char", std::nullopt},
      {"non\xEF\xBF\xBF" "char", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = root_ / c.name;
    fs::create_directories(dir);
    const RunResult r = RunProgram(Install(dir));
    EXPECT_EQ(r.output, dir.string());
    const std::string parent = root_.string() + "/";
    if (c.asText) {
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(ReadWholeFile(dir / kConfigFileName), ExpectedConfig(parent + *c.asText));
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(Entries(dir), std::vector<std::string>{"cuvrel"});
    }
  }
}

// ---- The run command's adaptation ---------------------------------------------

int Adapt(const fs::path& config, const std::string& port) {
  const std::string command =
      std::string("bash '") + QV_ADAPT_CONFIG_SCRIPT + "' '" + config.string() + "' " + port;
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to, int* count) {
  *count = 0;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
    ++*count;
  }
  return text;
}

// The generated file on loopback at `port`, every other byte as generated.
std::string OnLoopback(const std::string& generated, const std::string& port) {
  int n = 0;
  std::string text =
      ReplaceAll(generated, "<listenAddress />", "<listenAddress>127.0.0.1</listenAddress>", &n);
  EXPECT_EQ(n, 1);
  text =
      ReplaceAll(text, "<listenPort>80</listenPort>", "<listenPort>" + port + "</listenPort>", &n);
  EXPECT_EQ(n, 1);
  // Two node URIs, the routing role, two next hops and the endpoint's node URI.
  text = ReplaceAll(text, "http://localhost/", "http://localhost:" + port + "/", &n);
  EXPECT_EQ(n, 6);
  return text;
}

TEST_F(CuvrelTest, AdaptationMovesAddressPortAndLocalUrlsOnly) {
  ASSERT_EQ(RunProgram(exe_).status, 0);
  const std::string generated = ReadWholeFile(Config());
  ASSERT_EQ(generated, ExpectedConfig(dir_.string()));

  ASSERT_EQ(Adapt(Config(), "18080"), 0);
  EXPECT_EQ(ReadWholeFile(Config()), OnLoopback(generated, "18080"));
  // Run again with another port: the port and the URLs that named it move.
  ASSERT_EQ(Adapt(Config(), "9"), 0);
  EXPECT_EQ(ReadWholeFile(Config()), OnLoopback(generated, "9"));
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{kConfigFileName, "cuvrel"}));
}

TEST_F(CuvrelTest, AdaptationRefusesAPortThatIsNoNumber) {
  ASSERT_EQ(RunProgram(exe_).status, 0);
  const std::string generated = ReadWholeFile(Config());
  for (const char* port : {"''", "80x", "-1", "65536"}) {
    EXPECT_EQ(Adapt(Config(), port), 2) << port;
    EXPECT_EQ(ReadWholeFile(Config()), generated) << port;
  }
}

}  // namespace
}  // namespace configgen
