#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/object.h"
#include "platform/com/remote/connection.h"
#include "platform/com/remote/remote.h"
#include "platform/thread/message_loop.h"

namespace com::remote {

namespace {

constexpr int kListenBacklog = 64;
constexpr int kCreateAttempts = 2;

// ---- Module lock and shut-down monitor -----------------------------------

struct ModuleState {
  std::mutex mu;
  std::condition_variable cv;
  ULONG locks = 0;       // Guarded by mu.
  uint64_t changes = 0;  // Guarded by mu; every lock and unlock.
  bool stop = false;     // Guarded by mu.
  std::thread monitor;
};

ModuleState& Module() {
  static ModuleState* m = new ModuleState;  // used until the process ends
  return *m;
}

ULONG ChangeLock(int delta) {
  ModuleState& m = Module();
  ULONG now = 0;
  {
    std::lock_guard lock(m.mu);
    if (delta < 0 && m.locks == 0) return 0;
    m.locks = ULONG(int64_t(m.locks) + delta);
    ++m.changes;
    now = m.locks;
  }
  m.cv.notify_all();
  return now;
}

// ---- Sockets ---------------------------------------------------------------

bool OwnPeer(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == geteuid() || cred.uid == 0;
}

void SetCallTimeouts(int fd) {
  timeval tv{};
  tv.tv_sec = kCallTimeoutMs / 1000;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// The runtime directory, opened without following a symlink in its last
// component and checked on the opened descriptor: ours, a directory, closed
// to others (another user's, or one others may write to, could hand our
// callers someone else's socket). With `create` the missing folders are made
// (mode 0700). -1 with errno set otherwise (EACCES for a directory refused).
int OpenRuntimeDirectory(bool create) {
  const std::string dir = RuntimeDirectory();
  if (create) {
    for (size_t i = 1; i <= dir.size(); ++i) {
      if (i != dir.size() && dir[i] != '/') continue;
      if (mkdir(dir.substr(0, i).c_str(), 0700) != 0 && errno != EEXIST) return -1;
    }
  }
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR) errno = EACCES;
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 022) != 0) {
    close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

// The socket file of `clsid` inside the runtime directory.
std::string ClassSocketName(REFCLSID clsid) { return GuidToRegistryString(clsid); }

// The address of `name` reached through the directory descriptor, so the
// socket is the one in the directory that was checked.
sockaddr_un AddressIn(int dir_fd, const std::string& name) {
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const std::string target = "/proc/self/fd/" + std::to_string(dir_fd) + "/" + name;
  memcpy(addr.sun_path, target.c_str(), std::min(target.size() + 1, sizeof addr.sun_path - 1));
  return addr;
}

// A connected socket to the class's server, or -1 with errno set.
int ConnectTo(REFCLSID clsid) {
  const int dir_fd = OpenRuntimeDirectory(/*create=*/false);
  if (dir_fd < 0) return -1;
  sockaddr_un addr = AddressIn(dir_fd, ClassSocketName(clsid));
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int e = errno;
    close(fd);
    fd = -1;
    errno = e;
  }
  const int e = errno;
  close(dir_fd);
  errno = e;
  if (fd >= 0 && !OwnPeer(fd)) {  // a server of another user is nobody we call
    close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

// ---- Registrations ---------------------------------------------------------

struct Registration {
  DWORD cookie = 0;
  CLSID clsid{};
  ComPtr<IUnknown> object;
  bool local_server = false;
  bool suspended = false;
  std::string name;  // of the socket, inside dir_fd
  int dir_fd = -1;
  int listen_fd = -1;
  int lock_fd = -1;
  bool locked = false;  // the lock is ours, and so is the socket file
  int wake[2] = {-1, -1};
  std::thread acceptor;
  std::weak_ptr<internal::ThreadContext> home;
  std::mutex mu;
  std::vector<std::shared_ptr<internal::Connection>> connections;  // Guarded by mu.
};

struct Registrations {
  std::mutex mu;
  DWORD next_cookie = 1;                                     // Guarded by mu.
  std::map<DWORD, std::shared_ptr<Registration>> by_cookie;  // Guarded by mu.
};

Registrations& AllRegistrations() {
  static Registrations* r = new Registrations;  // used until the process ends
  return *r;
}

void Accept(const std::shared_ptr<Registration>& reg) {
  while (true) {
    pollfd fds[2] = {{reg->listen_fd, POLLIN, 0}, {reg->wake[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    const int fd = accept4(reg->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (!OwnPeer(fd)) {
      close(fd);  // another user: refused before a byte is read
      continue;
    }
    {
      // Each connection has a reader thread: beyond the cap a peer is refused
      // before it costs one.
      std::lock_guard lock(reg->mu);
      if (reg->connections.size() >= kMaxClassConnections) {
        close(fd);
        continue;
      }
    }
    SetCallTimeouts(fd);
    CoAddRefServerProcess();
    std::weak_ptr<Registration> weak = reg;
    auto slot = std::make_shared<std::weak_ptr<internal::Connection>>();
    auto on_closed = [weak, slot] {
      if (std::shared_ptr<Registration> r = weak.lock()) {
        std::lock_guard lock(r->mu);
        std::erase_if(r->connections, [&](const auto& c) { return c == slot->lock(); });
      }
      CoReleaseServerProcess();
    };
    // Its calls run on the registering thread.
    std::shared_ptr<internal::Connection> c =
        internal::ServeConnection(fd, reg->object.Get(), reg->home, on_closed);
    *slot = c;
    std::lock_guard lock(reg->mu);
    reg->connections.push_back(std::move(c));
  }
}

HRESULT StartListening(const std::shared_ptr<Registration>& reg) {
  if (listen(reg->listen_fd, kListenBacklog) != 0) return E_FAIL;
  if (pipe2(reg->wake, O_CLOEXEC) != 0) return E_OUTOFMEMORY;
  reg->acceptor = std::thread([reg] { Accept(reg); });
  return S_OK;
}

// Binds the class's socket under its lock file: holding the lock means no
// other process serves the class, so a socket file found there is stale.
// Everything happens relative to the checked directory's descriptor.
HRESULT OpenClassSocket(Registration* reg) {
  reg->dir_fd = OpenRuntimeDirectory(/*create=*/true);
  if (reg->dir_fd < 0) return E_ACCESSDENIED;
  reg->name = ClassSocketName(reg->clsid);
  reg->lock_fd = openat(reg->dir_fd, (reg->name + ".lock").c_str(),
                        O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (reg->lock_fd < 0) return E_ACCESSDENIED;
  if (flock(reg->lock_fd, LOCK_EX | LOCK_NB) != 0) return CO_E_OBJISREG;
  reg->locked = true;
  unlinkat(reg->dir_fd, reg->name.c_str(), 0);
  reg->listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (reg->listen_fd < 0) return E_OUTOFMEMORY;
  sockaddr_un addr = AddressIn(reg->dir_fd, reg->name);
  // Created with mode 0600 from the start: no moment when others could connect.
  const mode_t old = umask(0177);
  const int bound = bind(reg->listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  umask(old);
  if (bound != 0) return E_ACCESSDENIED;
  return S_OK;
}

void CloseRegistration(Registration& reg) {
  if (reg.acceptor.joinable()) {
    const char byte = 0;
    (void)!write(reg.wake[1], &byte, 1);
    reg.acceptor.join();
  }
  for (int* fd : {&reg.wake[0], &reg.wake[1], &reg.listen_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  // The socket file is another live server's unless the lock was ours.
  if (reg.locked) unlinkat(reg.dir_fd, reg.name.c_str(), 0);
  reg.locked = false;
  for (int* fd : {&reg.lock_fd, &reg.dir_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  std::vector<std::shared_ptr<internal::Connection>> connections;
  {
    std::lock_guard lock(reg.mu);
    connections = reg.connections;
  }
  for (auto& c : connections) internal::CloseConnection(c);
}

// ---- Starting local servers ------------------------------------------------

// Splits a LocalServer32 command: words separated by blanks, double quotes
// around a word that holds blanks.
std::vector<std::string> SplitCommand(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char ch : command) {
    if (ch == '"') {
      quoted = !quoted;
      any = true;
    } else if ((ch == ' ' || ch == '\t') && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += ch;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

// Starts the command detached (its parent is not us, so it is never our
// zombie); false when it could not be executed.
bool StartServer(const std::string& command) {
  std::vector<std::string> words = SplitCommand(command);
  if (words.empty()) return false;
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  const pid_t child = fork();
  if (child < 0) {
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    setsid();
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      // Descriptors of ours (a listening socket, say) are not the server's.
      close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
      execv(argv[0], argv.data());
      const int e = errno;
      (void)!write(report[1], &e, sizeof e);
      _exit(127);
    }
    _exit(grandchild < 0 ? 1 : 0);
  }
  close(report[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int exec_error = 0;
  ssize_t got;
  do {
    got = read(report[0], &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == 0;
}

HRESULT ConnectOrStart(REFCLSID clsid, const std::string& command, int* out) {
  int fd = ConnectTo(clsid);
  if (fd >= 0) {
    *out = fd;
    return S_OK;
  }
  if (errno != ENOENT && errno != ECONNREFUSED) return CO_E_SERVER_EXEC_FAILURE;
  const int dir_fd = OpenRuntimeDirectory(/*create=*/true);
  if (dir_fd < 0) return CO_E_SERVER_EXEC_FAILURE;
  close(dir_fd);
  if (!StartServer(command)) return CO_E_SERVER_EXEC_FAILURE;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kServerStartTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    fd = ConnectTo(clsid);
    if (fd >= 0) {
      *out = fd;
      return S_OK;
    }
    if (errno != ENOENT && errno != ECONNREFUSED) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kConnectRetryMs));
  }
  return CO_E_SERVER_EXEC_FAILURE;
}

// The class object CoGetClassObject gives for a class of another process.
class LocalServerFactory final : public ComObject<LocalServerFactory, IClassFactory> {
 public:
  LocalServerFactory(const CLSID& clsid, std::string command)
      : clsid_(clsid), command_(std::move(command)) {}
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    HRESULT hr = S_OK;
    // A server that is ending may still take a connection it never answers:
    // the second attempt reaches (or starts) its successor.
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
      int fd = -1;
      if (hr = ConnectOrStart(clsid_, command_, &fd); FAILED(hr)) return hr;
      SetCallTimeouts(fd);
      hr = internal::CreateRemoteInstance(fd, iid, object);
      if (hr != RPC_E_DISCONNECTED) break;
    }
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }

 private:
  const CLSID clsid_;
  const std::string command_;
};

}  // namespace

std::string RuntimeDirectory() {
  if (const char* dir = getenv("QUORVEL_RUNTIME_DIR"); dir && *dir) return dir;
  if (const char* xdg = getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
    return std::string(xdg) + "/quorvel";
  }
  if (geteuid() == 0) return "/run/quorvel";
  return "/tmp/quorvel-" + std::to_string(geteuid());
}

std::string ClassSocketPath(REFCLSID clsid) {
  return RuntimeDirectory() + "/" + GuidToRegistryString(clsid);
}

ULONG ModuleLockCount() {
  ModuleState& m = Module();
  std::lock_guard lock(m.mu);
  return m.locks;
}

void StartShutdownMonitor(DWORD loop_thread, DWORD delay_ms) {
  ModuleState& m = Module();
  StopShutdownMonitor();
  {
    std::lock_guard lock(m.mu);
    m.stop = false;
  }
  m.monitor = std::thread([&m, loop_thread, delay_ms] {
    std::unique_lock lock(m.mu);
    while (!m.stop) {
      m.cv.wait(lock, [&] { return m.stop || m.locks == 0; });
      if (m.stop) return;
      // Unlocked: quit unless something happens within the delay.
      const uint64_t seen = m.changes;
      if (!m.cv.wait_for(lock, std::chrono::milliseconds(delay_ms),
                         [&] { return m.stop || m.changes != seen; })) {
        lock.unlock();
        PostThreadMessage(loop_thread, WM_QUIT, 0, 0);
        return;
      }
    }
  });
}

void StopShutdownMonitor() {
  ModuleState& m = Module();
  {
    std::lock_guard lock(m.mu);
    m.stop = true;
  }
  m.cv.notify_all();
  if (m.monitor.joinable()) m.monitor.join();
}

namespace internal {

bool FindRegisteredClassObject(REFCLSID clsid, REFIID iid, void** object, HRESULT* hr) {
  Registrations& all = AllRegistrations();
  std::lock_guard lock(all.mu);
  for (auto& [cookie, reg] : all.by_cookie) {
    if (reg->clsid != clsid || reg->suspended) continue;
    *hr = reg->object->QueryInterface(iid, object);
    return true;
  }
  return false;
}

HRESULT GetLocalServerClassObject(REFCLSID clsid, const std::string& command, REFIID iid,
                                  void** object) {
  ComPtr<LocalServerFactory> factory = MakeComObject<LocalServerFactory>(clsid, command);
  return factory->QueryInterface(iid, object);
}

}  // namespace internal

}  // namespace com::remote

using com::remote::AllRegistrations;
using com::remote::Registration;

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD context, DWORD flags,
                              DWORD* cookie) {
  if (!object || !cookie) return E_INVALIDARG;
  *cookie = 0;
  if ((flags & ~REGCLS_SUSPENDED) == REGCLS_SINGLEUSE) return E_NOTIMPL;
  auto reg = std::make_shared<Registration>();
  reg->clsid = clsid;
  reg->object = ComPtr<IUnknown>(object);
  reg->local_server = (context & CLSCTX_LOCAL_SERVER) != 0;
  reg->suspended = (flags & REGCLS_SUSPENDED) != 0;
  reg->home = com::remote::internal::ThisThreadContext();
  auto& all = AllRegistrations();
  {
    std::lock_guard lock(all.mu);
    for (auto& [c, other] : all.by_cookie) {
      if (other->clsid == clsid) return CO_E_OBJISREG;
    }
  }
  if (reg->local_server) {
    HRESULT hr = com::remote::OpenClassSocket(reg.get());
    if (SUCCEEDED(hr) && !reg->suspended) hr = com::remote::StartListening(reg);
    if (FAILED(hr)) {
      com::remote::CloseRegistration(*reg);
      return hr;
    }
  }
  std::lock_guard lock(all.mu);
  reg->cookie = all.next_cookie++;
  all.by_cookie[reg->cookie] = reg;
  *cookie = reg->cookie;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  std::shared_ptr<Registration> reg;
  {
    auto& all = AllRegistrations();
    std::lock_guard lock(all.mu);
    auto it = all.by_cookie.find(cookie);
    if (it == all.by_cookie.end()) return E_INVALIDARG;
    reg = it->second;
    all.by_cookie.erase(it);
  }
  com::remote::CloseRegistration(*reg);
  return S_OK;
}

HRESULT CoResumeClassObjects() {
  std::vector<std::shared_ptr<Registration>> waiting;
  {
    auto& all = AllRegistrations();
    std::lock_guard lock(all.mu);
    for (auto& [c, reg] : all.by_cookie) {
      if (reg->suspended) waiting.push_back(reg);
    }
  }
  HRESULT result = S_OK;
  for (auto& reg : waiting) {
    const HRESULT hr = reg->local_server ? com::remote::StartListening(reg) : S_OK;
    if (FAILED(hr)) {
      if (SUCCEEDED(result)) result = hr;
      continue;
    }
    auto& all = AllRegistrations();
    std::lock_guard lock(all.mu);
    reg->suspended = false;
  }
  return result;
}

HRESULT CoInitializeSecurity(void*, LONG, void*, void*, DWORD, DWORD, void*, DWORD, void*) {
  return S_OK;
}

ULONG CoAddRefServerProcess() { return com::remote::ChangeLock(+1); }
ULONG CoReleaseServerProcess() { return com::remote::ChangeLock(-1); }
