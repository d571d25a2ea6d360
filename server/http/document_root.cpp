#include "server/http/document_root.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace server {

namespace {

constexpr int kFileFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Cleared the first time the kernel (or a seccomp filter) refuses the call.
std::atomic<bool> g_haveOpenat2{true};

int OpenWithOpenat2(int rootFd, const std::string& relative) {
  open_how how{};
  how.flags = kFileFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    const long fd = ::syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: a rename raced the lookup; the kernel asks to try again.
    if (errno != EINTR && errno != EAGAIN) return -1;
  }
}

int OpenByWalk(int rootFd, std::string_view relative) {
  int dir = rootFd;
  auto closeDir = [&] {
    if (dir != rootFd) ::close(dir);
  };
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    const bool last = slash == std::string_view::npos;
    const std::string part(relative.substr(start, last ? std::string_view::npos : slash - start));
    start = last ? relative.size() : slash + 1;
    if (part.empty() || part == ".") {
      if (!last) continue;
      // A name that ends in "/" names the directory itself.
      const int fd = ::openat(dir, ".", kFileFlags);
      const int err = errno;
      closeDir();
      errno = err;
      return fd;
    }
    const int fd =
        ::openat(dir, part.c_str(),
                 last ? kFileFlags | O_NOFOLLOW : O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW);
    const int err = errno;
    closeDir();
    if (fd < 0) {
      errno = err;
      return -1;
    }
    if (last) return fd;
    dir = fd;
  }
}

bool SafeRelativeName(std::string_view relative) {
  if (relative.empty() || relative.front() == '/' || relative.find('\0') != std::string::npos) {
    return false;
  }
  size_t start = 0;
  while (start <= relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string_view::npos) slash = relative.size();
    if (relative.substr(start, slash - start) == "..") return false;
    start = slash + 1;
  }
  return true;
}

}  // namespace

DocumentRoot& DocumentRoot::operator=(const DocumentRoot& other) noexcept {
  if (this != &other) {
    const int old = fd_.exchange(-1);
    if (old >= 0) ::close(old);
  }
  return *this;
}

DocumentRoot::~DocumentRoot() {
  const int fd = fd_.load();
  if (fd >= 0) ::close(fd);
}

int DocumentRoot::Descriptor(const std::string& path) const {
  int fd = fd_.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  const int opened = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (opened < 0) return -1;
  int expected = -1;
  if (fd_.compare_exchange_strong(expected, opened, std::memory_order_acq_rel)) return opened;
  // Another request opened it first: use theirs.
  ::close(opened);
  return expected;
}

int OpenBeneath(int rootFd, std::string_view relative, BeneathMode mode) {
  if (rootFd < 0) {
    errno = EBADF;
    return -1;
  }
  if (!SafeRelativeName(relative)) {
    errno = EXDEV;
    return -1;
  }
  if (mode == BeneathMode::Best && g_haveOpenat2.load(std::memory_order_relaxed)) {
    const int fd = OpenWithOpenat2(rootFd, std::string(relative));
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
    // A seccomp filter may answer EPERM for a call it does not know; a real
    // EPERM is not worth a second try, so only ENOSYS turns openat2 off.
    if (errno == ENOSYS) g_haveOpenat2.store(false, std::memory_order_relaxed);
  }
  return OpenByWalk(rootFd, relative);
}

}  // namespace server
