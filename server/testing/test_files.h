// Files for the server's tests: a fresh directory per test, whole-file reads
// and writes, and a fixed modification time that replies can show.
#pragma once

#include <ctime>
#include <filesystem>
#include <string>

namespace server_testing {

// Sun, 06 Nov 1994 08:49:37 GMT
inline constexpr time_t kFileTime = 784111777;

// An empty directory named for `prefix`, this process and the running test,
// removed first when an earlier run left it behind.
std::filesystem::path FreshTestDir(const std::string& prefix);

// The whole file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const std::string& text);

// Gives `p` kFileTime as its access and modification time (a test failure
// when that fails).
void SetFileTime(const std::filesystem::path& p);

}  // namespace server_testing
