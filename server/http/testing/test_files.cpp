#include "server/http/testing/test_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace server_testing {

namespace fs = std::filesystem;

fs::path FreshTestDir(const std::string& prefix) {
  const fs::path dir =
      fs::temp_directory_path() / (prefix + "-" + std::to_string(getpid()) + "-" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

void SetFileTime(const fs::path& p) {
  const timespec times[2] = {{kFileTime, 0}, {kFileTime, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0) << p;
}

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

std::string RunCommand(const std::string& command, int* status) {
  std::string printed;
  FILE* out = popen(command.c_str(), "r");
  if (!out) {
    *status = -1;
    return printed;
  }
  char chunk[512];
  while (size_t n = fread(chunk, 1, sizeof chunk, out)) printed.append(chunk, n);
  *status = pclose(out);
  return printed;
}

long MemoryKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

}  // namespace server_testing
