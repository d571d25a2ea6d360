// Files for the server's tests: a fresh directory per test, whole-file reads
// and writes, and a fixed modification time that replies can show; and what
// the tests that run programs share: test bytes, a command's output, a
// process's memory.
#pragma once

#include <sys/types.h>

#include <cstddef>
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

// `n` bytes of a pseudo-random sequence that `seed` chooses.
std::string Pattern(size_t n, unsigned seed);

// What the shell command printed; *status is pclose's (-1 when it could
// not start).
std::string RunCommand(const std::string& command, int* status);

// Resident memory of a process, in kB, from /proc: "VmHWM" (the peak) or
// "VmRSS"; -1 when it cannot be read.
long MemoryKb(pid_t pid, const std::string& field);

}  // namespace server_testing
