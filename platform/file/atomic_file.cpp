#include "platform/file/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace file {

bool MakeDirectories(const std::string& dir) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != '/') continue;
    const std::string prefix = dir.substr(0, i);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 ? ENOSPC : errno;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

}  // namespace

int ReplaceFile(const std::string& path, std::string_view bytes, int mode) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  if (mode == kKeepMode) {
    // mkstemp's 0600 would hide a rewritten file from whoever read the old one.
    struct stat old {};
    mode = ::stat(path.c_str(), &old) == 0 ? int(old.st_mode & 07777) : 0644;
  }
  int err = ::fchmod(fd, mode_t(mode)) == 0 ? 0 : errno;
  if (err == 0) err = WriteAll(fd, bytes);
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    return err;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    ::fsync(dfd);  // a failure here still leaves a complete file
    ::close(dfd);
  }
  return 0;
}

std::string FollowLinks(const std::string& path) {
  std::string at = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    char target[4096];
    const ssize_t n = ::readlink(at.c_str(), target, sizeof target - 1);
    if (n <= 0) return at;
    const std::string next(target, static_cast<size_t>(n));
    if (next.front() == '/') {
      at = next;
    } else {
      const size_t slash = at.rfind('/');
      at = (slash == std::string::npos ? std::string() : at.substr(0, slash + 1)) + next;
    }
  }
  return {};
}

}  // namespace file
