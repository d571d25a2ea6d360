#include "platform/storage/storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#include "platform/com/object.h"

namespace {

constexpr DWORD kAccessMask = 0x3;
constexpr ULONGLONG kMaxOffset = static_cast<ULONGLONG>(std::numeric_limits<off_t>::max());

bool IsUnnamed(LPCOLESTR name) { return name == nullptr || name[0] == u'\0'; }

HRESULT WriteError(int err) {
  return (err == ENOSPC || err == EDQUOT || err == EFBIG) ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT;
}

int OpenUnlinkedFile() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // Some file systems have no O_TMPFILE: make a named file and unlink it at once.
  std::string path = std::string(dir) + "/quorvel-stg-XXXXXX";
  fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  unlink(path.c_str());
  return fd;
}

class TempDocfile final : public com::ComObject<TempDocfile, IStorage> {
 public:
  TempDocfile(int fd, DWORD mode) : fd_(fd), mode_(mode) {}

  HRESULT CreateStream(LPCOLESTR name, DWORD mode, IStream** stream) override;
  HRESULT OpenStream(LPCOLESTR name, DWORD mode, IStream** stream) override;
  HRESULT Stat(STATSTG* stat, DWORD /*flag*/) override {
    if (!stat) return STG_E_INVALIDPOINTER;
    *stat = STATSTG{nullptr, STGTY_STORAGE, 0, mode_};
    return S_OK;
  }

  int fd() const { return fd_; }
  void StreamClosed() { stream_open_.store(false, std::memory_order_release); }

 private:
  ~TempDocfile() override { close(fd_); }
  HRESULT NewStream(DWORD mode, IStream** stream);

  const int fd_;
  const DWORD mode_;
  std::atomic<bool> stream_exists_{false};
  std::atomic<bool> stream_open_{false};
  friend class com::ComObject<TempDocfile, IStorage>;
};

class TempStream final : public com::ComObject<TempStream, IStream> {
 public:
  TempStream(TempDocfile* storage, DWORD mode) : storage_(storage), mode_(mode) {}

  HRESULT Read(void* pv, ULONG cb, ULONG* read) override {
    if (read) *read = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if ((mode_ & kAccessMask) == STGM_WRITE) return STG_E_ACCESSDENIED;
    auto* out = static_cast<char*>(pv);
    ULONG done = 0;
    while (done < cb) {
      const ssize_t n =
          pread(storage_->fd(), out + done, cb - done, static_cast<off_t>(position_ + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        position_ += done;
        if (read) *read = done;
        return STG_E_READFAULT;
      }
      if (n == 0) break;  // end of stream
      done += static_cast<ULONG>(n);
    }
    position_ += done;
    if (read) *read = done;
    return S_OK;
  }

  HRESULT Write(const void* pv, ULONG cb, ULONG* written) override {
    if (written) *written = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if ((mode_ & kAccessMask) == STGM_READ) return STG_E_ACCESSDENIED;
    if (cb > kMaxOffset - position_) return STG_E_MEDIUMFULL;
    const auto* in = static_cast<const char*>(pv);
    ULONG done = 0;
    while (done < cb) {
      const ssize_t n =
          pwrite(storage_->fd(), in + done, cb - done, static_cast<off_t>(position_ + done));
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        const int err = n == 0 ? ENOSPC : errno;  // no progress: never loop on it
        position_ += done;
        if (written) *written = done;
        return WriteError(err);
      }
      done += static_cast<ULONG>(n);
    }
    position_ += done;
    if (written) *written = done;
    return S_OK;
  }

  HRESULT Seek(LONGLONG move, DWORD origin, ULONGLONG* new_position) override {
    ULONGLONG base = 0;
    switch (origin) {
      case STREAM_SEEK_SET:
        break;
      case STREAM_SEEK_CUR:
        base = position_;
        break;
      case STREAM_SEEK_END: {
        struct stat st;
        if (fstat(storage_->fd(), &st) != 0) return STG_E_READFAULT;
        base = static_cast<ULONGLONG>(st.st_size);
        break;
      }
      default:
        return STG_E_INVALIDFUNCTION;
    }
    ULONGLONG target;
    if (move < 0) {
      const ULONGLONG back = ULONGLONG(0) - static_cast<ULONGLONG>(move);
      if (back > base) return STG_E_INVALIDFUNCTION;
      target = base - back;
    } else {
      if (static_cast<ULONGLONG>(move) > kMaxOffset - base) return STG_E_INVALIDFUNCTION;
      target = base + static_cast<ULONGLONG>(move);
    }
    position_ = target;
    if (new_position) *new_position = target;
    return S_OK;
  }

  HRESULT SetSize(ULONGLONG size) override {
    if ((mode_ & kAccessMask) == STGM_READ) return STG_E_ACCESSDENIED;
    if (size > kMaxOffset) return STG_E_MEDIUMFULL;
    while (ftruncate(storage_->fd(), static_cast<off_t>(size)) != 0) {
      if (errno != EINTR) return WriteError(errno);
    }
    return S_OK;
  }

  HRESULT Stat(STATSTG* stat, DWORD /*flag*/) override {
    if (!stat) return STG_E_INVALIDPOINTER;
    struct stat st;
    if (fstat(storage_->fd(), &st) != 0) return STG_E_READFAULT;
    *stat = STATSTG{nullptr, STGTY_STREAM, static_cast<ULONGLONG>(st.st_size), mode_};
    return S_OK;
  }

 private:
  ~TempStream() override { storage_->StreamClosed(); }

  // The stream keeps its storage, and with it the file, alive.
  ComPtr<TempDocfile> storage_;
  const DWORD mode_;
  ULONGLONG position_ = 0;
  friend class com::ComObject<TempStream, IStream>;
};

HRESULT TempDocfile::NewStream(DWORD mode, IStream** stream) {
  bool expected = false;
  if (!stream_open_.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
    return STG_E_ACCESSDENIED;
  }
  *stream = new (std::nothrow) TempStream(this, mode);
  if (*stream == nullptr) {
    stream_open_.store(false, std::memory_order_release);
    return STG_E_INSUFFICIENTMEMORY;
  }
  return S_OK;
}

HRESULT TempDocfile::CreateStream(LPCOLESTR name, DWORD mode, IStream** stream) {
  if (!stream) return STG_E_INVALIDPOINTER;
  *stream = nullptr;
  if (!IsUnnamed(name)) return STG_E_INVALIDNAME;
  if (!(mode & STGM_SHARE_EXCLUSIVE) || (mode & kAccessMask) == kAccessMask) {
    return STG_E_INVALIDFLAG;
  }
  if (stream_exists_.load(std::memory_order_acquire) && !(mode & STGM_CREATE)) {
    return STG_E_FILEALREADYEXISTS;
  }
  if (HRESULT hr = NewStream(mode, stream); FAILED(hr)) return hr;
  // Replacing the stream empties it; nobody else can have it open now.
  while (ftruncate(fd_, 0) != 0) {
    if (errno != EINTR) {
      const HRESULT hr = WriteError(errno);
      (*stream)->Release();
      *stream = nullptr;
      return hr;
    }
  }
  stream_exists_.store(true, std::memory_order_release);
  return S_OK;
}

HRESULT TempDocfile::OpenStream(LPCOLESTR name, DWORD mode, IStream** stream) {
  if (!stream) return STG_E_INVALIDPOINTER;
  *stream = nullptr;
  if (!IsUnnamed(name)) return STG_E_INVALIDNAME;
  if (!(mode & STGM_SHARE_EXCLUSIVE) || (mode & kAccessMask) == kAccessMask) {
    return STG_E_INVALIDFLAG;
  }
  if (!stream_exists_.load(std::memory_order_acquire)) return STG_E_FILENOTFOUND;
  return NewStream(mode, stream);
}

}  // namespace

HRESULT StgCreateDocfile(LPCOLESTR name, DWORD mode, DWORD /*reserved*/, IStorage** storage) {
  if (!storage) return STG_E_INVALIDPOINTER;
  *storage = nullptr;
  if (name != nullptr) return STG_E_INVALIDNAME;
  constexpr DWORD kRequired = STGM_DELETEONRELEASE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE;
  if ((mode & kRequired) != kRequired || (mode & kAccessMask) != STGM_READWRITE) {
    return STG_E_INVALIDFLAG;
  }
  const int fd = OpenUnlinkedFile();
  if (fd < 0) return errno == ENOSPC || errno == EDQUOT ? STG_E_MEDIUMFULL : STG_E_ACCESSDENIED;
  *storage = new (std::nothrow) TempDocfile(fd, mode);
  if (*storage == nullptr) {
    ::close(fd);
    return STG_E_INSUFFICIENTMEMORY;
  }
  return S_OK;
}
