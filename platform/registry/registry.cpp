#include "platform/registry/registry.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "platform/file/atomic_file.h"
#include "platform/file/home_directory.h"
#include "platform/text/text.h"

struct RegistryKey {
  std::string path;  // full path, root name first
};

namespace {

constexpr std::string_view kHeader = "quorvel-registry 1";
constexpr size_t kMaxKeys = 100000;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  }
  return out;
}

struct Value {
  std::string name;  // as first written
  DWORD type = REG_NONE;
  std::string data;  // string bytes, or the raw bytes of a number or blob
};

struct Key {
  std::string path;                    // as first written
  std::map<std::string, Value> values;  // by lower-case name
};

// One parsed registry file. Keys are indexed by their lower-case full path;
// every key's parents are present too.
struct Store {
  std::map<std::string, Key> keys;

  Key* Find(std::string_view path) {
    auto it = keys.find(Lower(path));
    return it == keys.end() ? nullptr : &it->second;
  }
  const Key* Find(std::string_view path) const {
    auto it = keys.find(Lower(path));
    return it == keys.end() ? nullptr : &it->second;
  }
  bool HasChildren(std::string_view path) const {
    const std::string prefix = Lower(path) + '\\';
    auto it = keys.lower_bound(prefix);
    return it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;
  }
  // Adds `path` and its missing parents; true when `path` was new.
  bool Add(std::string_view path) {
    bool added = false;
    size_t pos = 0;
    while (true) {
      pos = path.find('\\', pos);
      const std::string_view prefix = path.substr(0, pos);
      auto [it, fresh] = keys.try_emplace(Lower(prefix));
      if (fresh) it->second.path = std::string(prefix);
      added = fresh;
      if (pos == std::string_view::npos) break;
      ++pos;
    }
    return added;
  }
  void RemoveTree(std::string_view path, bool keep_self) {
    const std::string lower = Lower(path);
    const std::string prefix = lower + '\\';
    for (auto it = keys.lower_bound(prefix);
         it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
      it = keys.erase(it);
    }
    if (!keep_self) keys.erase(lower);
  }
};

// ---- File format ------------------------------------------------------------
// "quorvel-registry 1", then per key a line "[path]" followed by one line per
// value "name=type:data" (types sz, dword, qword, binary). Bytes below 0x20,
// 0x7F, '%', '=', '[' and ']' are written as %HH so every entry is one line.

void AppendEscaped(std::string& out, std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '%' || c == '=' || c == '[' || c == ']') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += ch;
    }
  }
}

int HexDigit(char c) { return text::HexDigitValue(static_cast<unsigned char>(c)); }

bool Unescape(std::string_view s, std::string* out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return false;
    const int hi = HexDigit(s[i + 1]);
    const int lo = HexDigit(s[i + 2]);
    if (hi < 0 || lo < 0) return false;
    *out += char(hi * 16 + lo);
    i += 2;
  }
  return true;
}

bool ParseUnsigned(std::string_view s, uint64_t max, uint64_t* out) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    const uint64_t d = uint64_t(c - '0');
    if (v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

bool ValidKeyPath(std::string_view path) {
  if (path.empty() || path.size() > kRegistryMaxKeyPath) return false;
  size_t start = 0;
  while (true) {
    const size_t end = path.find('\\', start);
    const std::string_view part = path.substr(start, end - start);
    if (part.empty()) return false;
    for (char c : part) {
      if (c == '\0') return false;
    }
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool IsRootName(std::string_view name);

bool Parse(std::string_view text, Store* store) {
  size_t pos = 0;
  auto next_line = [&](std::string_view* line) {
    if (pos >= text.size()) return false;
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    *line = text.substr(pos, end - pos);
    pos = end + 1;
    return true;
  };
  std::string_view line;
  if (!next_line(&line) || line != kHeader) return false;
  Key* current = nullptr;
  std::string a, b;
  while (next_line(&line)) {
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) return false;
      if (!Unescape(line.substr(1, line.size() - 2), &a) || !ValidKeyPath(a)) return false;
      if (!IsRootName(a.substr(0, a.find('\\')))) return false;
      if (store->keys.size() >= kMaxKeys) return false;
      store->Add(a);
      current = store->Find(a);
      continue;
    }
    if (!current) return false;
    const size_t eq = line.find('=');
    const size_t colon = line.find(':', eq == std::string_view::npos ? 0 : eq);
    if (eq == std::string_view::npos || colon == std::string_view::npos) return false;
    if (!Unescape(line.substr(0, eq), &a) || a.size() > kRegistryMaxValueName) return false;
    const std::string_view type = line.substr(eq + 1, colon - eq - 1);
    const std::string_view data = line.substr(colon + 1);
    Value v;
    v.name = a;
    if (type == "sz") {
      if (!Unescape(data, &b) || b.size() > kRegistryMaxValueData) return false;
      if (b.find('\0') != std::string::npos) return false;
      v.type = REG_SZ;
      v.data = b;
    } else if (type == "dword" || type == "qword") {
      uint64_t n = 0;
      const bool dword = type == "dword";
      if (!ParseUnsigned(data, dword ? 0xFFFFFFFFull : ~0ull, &n)) return false;
      v.type = dword ? REG_DWORD : REG_QWORD;
      if (dword) {
        const uint32_t n32 = static_cast<uint32_t>(n);
        v.data.assign(reinterpret_cast<const char*>(&n32), 4);
      } else {
        v.data.assign(reinterpret_cast<const char*>(&n), 8);
      }
    } else if (type == "binary") {
      if (data.size() % 2 != 0 || data.size() / 2 > kRegistryMaxValueData) return false;
      v.type = REG_BINARY;
      for (size_t i = 0; i < data.size(); i += 2) {
        const int hi = HexDigit(data[i]);
        const int lo = HexDigit(data[i + 1]);
        if (hi < 0 || lo < 0) return false;
        v.data += char(hi * 16 + lo);
      }
    } else {
      return false;
    }
    current->values[Lower(a)] = std::move(v);
  }
  return true;
}

std::string Serialize(const Store& store) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out(kHeader);
  out += '\n';
  for (const auto& [lower, key] : store.keys) {
    // Parents are implied by their children; only leaves and keys with values
    // need a line, but writing every key keeps empty keys such as
    // "Programmable" that have children nowhere.
    out += '[';
    AppendEscaped(out, key.path);
    out += "]\n";
    for (const auto& [lname, v] : key.values) {
      AppendEscaped(out, v.name);
      out += '=';
      switch (v.type) {
        case REG_SZ:
          out += "sz:";
          AppendEscaped(out, v.data);
          break;
        case REG_DWORD: {
          uint32_t n = 0;
          std::memcpy(&n, v.data.data(), 4);
          out += "dword:" + std::to_string(n);
          break;
        }
        case REG_QWORD: {
          uint64_t n = 0;
          std::memcpy(&n, v.data.data(), 8);
          out += "qword:" + std::to_string(n);
          break;
        }
        default:
          out += "binary:";
          for (char ch : v.data) {
            const auto c = static_cast<unsigned char>(ch);
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
          }
          break;
      }
      out += '\n';
    }
  }
  return out;
}

// ---- Files ----------------------------------------------------------------

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtime_ns = 0;
  int64_t ctime_ns = 0;  // moves on chmod and chown too
  mode_t folder_mode = 0;
  uid_t folder_owner = 0;
  bool exists = false;
  friend bool operator==(const FileId&, const FileId&) = default;
};

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void NoteFile(const struct stat& st, FileId* id) {
  id->exists = true;
  id->dev = st.st_dev;
  id->ino = st.st_ino;
  id->size = st.st_size;
  id->mtime_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id->ctime_ns = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

void NoteFolder(const std::string& path, FileId* id) {
  struct stat st;
  if (stat(FolderOf(path).c_str(), &st) == 0) {
    id->folder_mode = st.st_mode;
    id->folder_owner = st.st_uid;
  }
}

FileId Identify(const std::string& path) {
  FileId id;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) NoteFile(st, &id);
  NoteFolder(path, &id);
  return id;
}

// A registry names the libraries we load, so only its owner (or root) may be
// able to change it: the file and the folder holding it.
bool Untrusted(const struct stat& st) {
  return (st.st_uid != 0 && st.st_uid != geteuid()) || (st.st_mode & S_IWOTH) != 0;
}

std::atomic<registry::RefusalReporter> g_refusal_reporter{nullptr};

void ReportRefused(const std::string& path, const char* what) {
  const std::string line =
      "registry " + path + " refused: " + what + " is writable by others or owned by another user";
  if (const registry::RefusalReporter report = g_refusal_reporter.load()) report(line);
}

// ERROR_ACCESS_DENIED (and an event-log line) when the registry's folder or
// file could be changed by someone else.
LSTATUS CheckTrusted(const std::string& path, int fd) {
  struct stat st;
  if (stat(FolderOf(path).c_str(), &st) == 0 && Untrusted(st)) {
    ReportRefused(path, "its folder");
    return ERROR_ACCESS_DENIED;
  }
  if (fd >= 0 && fstat(fd, &st) == 0 && Untrusted(st)) {
    ReportRefused(path, "the file");
    return ERROR_ACCESS_DENIED;
  }
  return ERROR_SUCCESS;
}

// Reads and parses the file; a missing file is an empty registry.
LSTATUS Load(const std::string& path, Store* store, FileId* id) {
  *store = Store{};
  if (path.empty()) return ERROR_CANTREAD;  // no home to keep it in
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return ERROR_CANTREAD;
    *id = FileId{};
    NoteFolder(path, id);
    return CheckTrusted(path, -1);
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ERROR_CANTREAD;
  }
  // Remembered even when refused, so that the refusal is logged once per change.
  NoteFile(st, id);
  NoteFolder(path, id);
  if (const LSTATUS trusted = CheckTrusted(path, fd); trusted != ERROR_SUCCESS) {
    close(fd);
    return trusted;
  }
  if (st.st_size < 0 || size_t(st.st_size) > kRegistryMaxFileSize) {
    close(fd);
    return ERROR_BADDB;
  }
  std::string text;
  text.resize(size_t(st.st_size));
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  close(fd);
  text.resize(got);
  if (!Parse(text, store)) {
    *store = Store{};
    return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

LSTATUS Save(const std::string& path, const Store& store) {
  const std::string text = Serialize(store);
  if (text.size() > kRegistryMaxFileSize) return ERROR_CANTWRITE;
  return file::ReplaceFile(path, text, 0644) == 0 ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

// ---- The process-wide view --------------------------------------------------
// Readers take no lock and make no file-system call while nothing changed: the
// parsed file is published whole with a generation number, each thread keeps
// the last view it took, and the folder holding the file is watched with
// inotify, so a change made by another process shows up as a queued event
// that the next read drains (one non-blocking read). Without a watch (no folder
// yet) every read looks at the file as before.

// The environment that chose the file; the same text gives the same path.
std::string EnvironmentKey() {
  std::string key;
  for (const char* name : {"QUORVEL_REGISTRY", "XDG_DATA_HOME", "HOME"}) {
    if (const char* v = std::getenv(name)) key += v;
    key += '\0';
  }
  return key;
}

struct View {
  std::string key;
  std::string path;
  FileId id;
  std::shared_ptr<const Store> store;
  LSTATUS status = ERROR_SUCCESS;
  uint64_t generation = 0;
};

constexpr size_t kHandleShards = 16;

struct HandleShard {
  std::mutex mu;
  std::set<const RegistryKey*> handles;  // Guarded by mu.
};

struct Registry {
  std::mutex mu;  // writers and reloads, one at a time; readers never take it
  std::mutex view_mu;  // a leaf held for a pointer copy when the view moved on
  std::shared_ptr<const View> view;  // Guarded by view_mu.
  std::atomic<uint64_t> generation{0};
  std::atomic<int> notify_fd{-1};
  int watch = -1;                // Guarded by mu.
  std::atomic<bool> watching{false};
  HandleShard shards[kHandleShards];
};

Registry& TheRegistry() {
  static Registry* r = new Registry;  // never destroyed: keys may close late
  return *r;
}

HandleShard& ShardOf(const RegistryKey* key) {
  return TheRegistry().shards[(reinterpret_cast<uintptr_t>(key) >> 4) % kHandleShards];
}

// A forked child shares the parent's inotify queue: draining it there would
// steal the parent's events, so the child starts its own.
void ForgetInheritedWatch() {
  Registry& r = TheRegistry();
  const int fd = r.notify_fd.exchange(-1);
  if (fd >= 0) close(fd);
  r.watch = -1;
  r.watching.store(false);
}

// True when a change may have happened since the last call (or nothing is
// watched, so any read may be the first to see one).
bool DrainNotifications(Registry& r) {
  if (!r.watching.load(std::memory_order_acquire)) return true;
  const int fd = r.notify_fd.load(std::memory_order_acquire);
  if (fd < 0) return true;
  alignas(inotify_event) char buf[4096];
  bool any = false;
  while (true) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      any = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  return any;
}

// Caller holds r.mu. Watches the folder of `path`; without it, reads fall
// back to looking at the file each time.
void EnsureWatch(Registry& r, const std::string& path) {
  int fd = r.notify_fd.load();
  if (fd < 0) {
    fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
      r.watching.store(false);
      return;
    }
    static std::once_flag at_fork;
    std::call_once(at_fork, [] { pthread_atfork(nullptr, nullptr, ForgetInheritedWatch); });
    r.notify_fd.store(fd);
  }
  // Every entry change, the folder's own mode and owner, and its removal.
  const int wd = inotify_add_watch(fd, FolderOf(path).c_str(),
                                   IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM |
                                       IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF |
                                       IN_MOVE_SELF | IN_ONLYDIR);
  if (r.watch >= 0 && r.watch != wd) inotify_rm_watch(fd, r.watch);
  r.watch = wd;
  r.watching.store(wd >= 0, std::memory_order_release);
}

// Caller holds r.mu.
void Publish(Registry& r, std::string key, std::string path, const FileId& id,
             std::shared_ptr<const Store> store, LSTATUS status) {
  auto view = std::make_shared<View>();
  view->key = std::move(key);
  view->path = std::move(path);
  view->id = id;
  view->store = std::move(store);
  view->status = status;
  std::shared_ptr<const View> old;
  std::lock_guard lock(r.view_mu);
  view->generation = r.generation.load() + 1;
  old = std::move(r.view);
  r.view = std::move(view);
  r.generation.store(r.view->generation, std::memory_order_release);
}

std::shared_ptr<const View> PublishedView(Registry& r) {
  std::lock_guard lock(r.view_mu);
  return r.view;
}

// Looks at the file (under r.mu) and publishes it anew when it is another
// file or changed since the view was taken.
void Reload(Registry& r, const std::string& key) {
  std::lock_guard lock(r.mu);
  const std::string path = registry::FilePath();
  EnsureWatch(r, path);  // before looking, so a change after it is an event
  const FileId id = Identify(path);
  const std::shared_ptr<const View> view = PublishedView(r);
  if (view && view->key == key && view->path == path && view->id == id) return;
  auto store = std::make_shared<Store>();
  FileId loaded;
  const LSTATUS status = Load(path, store.get(), &loaded);
  Publish(r, key, path, loaded, std::move(store), status);
}

// The view this thread reads: the published one, reloaded first when a change
// was notified or the environment names another file.
const View& CurrentView() {
  thread_local std::shared_ptr<const View> t_view;
  Registry& r = TheRegistry();
  const std::string key = EnvironmentKey();
  bool check = DrainNotifications(r);
  for (int pass = 0; pass < 2; ++pass) {
    if (check) Reload(r, key);
    if (!t_view || t_view->generation != r.generation.load(std::memory_order_acquire)) {
      t_view = PublishedView(r);
    }
    if (t_view && t_view->key == key) break;
    check = true;
  }
  return *t_view;
}

// The current contents.
LSTATUS Snapshot(std::shared_ptr<const Store>* out) {
  const View& view = CurrentView();
  *out = view.store;
  return view.status;
}

// One change: under the file lock, read the file afresh, apply `change`, and
// write the result when `change` succeeded and reported a modification.
LSTATUS Mutate(const std::function<LSTATUS(Store&, bool* changed)>& change) {
  Registry& r = TheRegistry();
  const std::string key = EnvironmentKey();
  const std::string path = registry::FilePath();
  if (path.empty()) return ERROR_CANTWRITE;
  std::lock_guard lock(r.mu);
  if (const size_t slash = path.rfind('/');
      slash != std::string::npos && slash > 0 && !file::MakeDirectories(path.substr(0, slash))) {
    return ERROR_CANTWRITE;
  }
  EnsureWatch(r, path);
  const std::string lock_path = path + ".lock";
  const int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0) return ERROR_CANTWRITE;
  while (flock(lock_fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(lock_fd);
      return ERROR_CANTWRITE;
    }
  }
  auto store = std::make_shared<Store>();
  FileId id;
  LSTATUS status = Load(path, store.get(), &id);
  bool changed = false;
  if (status == ERROR_SUCCESS) status = change(*store, &changed);
  if (status == ERROR_SUCCESS && changed) {
    status = Save(path, *store);
    if (status == ERROR_SUCCESS) id = Identify(path);
  }
  if (status == ERROR_SUCCESS) Publish(r, key, path, id, std::move(store), ERROR_SUCCESS);
  flock(lock_fd, LOCK_UN);
  close(lock_fd);
  return status;
}

constexpr std::string_view kRootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                           "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

bool IsRootName(std::string_view name) {
  for (std::string_view root : kRootNames) {
    if (Lower(root) == Lower(name)) return true;
  }
  return false;
}

bool IsRoot(HKEY key) {
  const auto v = reinterpret_cast<uintptr_t>(key);
  return v >= 0x80000000u && v <= 0x80000003u;
}

// The full path of `key` followed by `subkey`; false for a bad handle or name.
LSTATUS Resolve(HKEY key, const char* subkey, std::string* out) {
  if (IsRoot(key)) {
    *out = std::string(kRootNames[reinterpret_cast<uintptr_t>(key) - 0x80000000u]);
  } else {
    if (!key) return ERROR_INVALID_HANDLE;
    HandleShard& shard = ShardOf(key);
    std::lock_guard lock(shard.mu);
    if (!shard.handles.count(key)) return ERROR_INVALID_HANDLE;
    *out = key->path;
  }
  if (subkey) {
    std::string_view rest(subkey);
    // Surrounding separators are forgiven; empty parts inside are not.
    while (!rest.empty() && rest.front() == '\\') rest.remove_prefix(1);
    while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
    if (!rest.empty()) {
      *out += '\\';
      *out += rest;
    }
  }
  return ValidKeyPath(*out) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

HKEY NewHandle(std::string path) {
  auto* h = new RegistryKey{std::move(path)};
  HandleShard& shard = ShardOf(h);
  std::lock_guard lock(shard.mu);
  shard.handles.insert(h);
  return h;
}

std::string ValueName(const char* name) { return name ? std::string(name) : std::string(); }

}  // namespace

namespace registry {

uint64_t Generation() {
  (void)CurrentView();
  return TheRegistry().generation.load(std::memory_order_acquire);
}

void SetRefusalReporter(RefusalReporter reporter) { g_refusal_reporter.store(reporter); }

std::string FilePath() {
  if (const char* env = std::getenv("QUORVEL_REGISTRY"); env && *env) {
    struct stat st;
    if (stat(env, &st) == 0 && S_ISDIR(st.st_mode)) return std::string(env) + "/registry";
    return env;
  }
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
    return std::string(xdg) + "/quorvel/registry";
  }
  // Services start without HOME; the user database names the same home. A
  // shared folder such as /tmp is never a fallback: anyone could plant
  // libraries there for us to load.
  const std::string home = file::HomeDirectory();
  if (home.empty()) return {};
  return home + "/.local/share/quorvel/registry";
}

bool ReadString(HKEY root, const std::string& path, const char* name, std::string* out) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = 0;
  bool ok = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            type == REG_SZ;
  if (ok) {
    std::string buf(size, '\0');
    ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()),
                          &size) == ERROR_SUCCESS &&
         type == REG_SZ;
    if (ok) {
      buf.resize(size > 0 ? size - 1 : 0);
      *out = std::move(buf);
    }
  }
  RegCloseKey(key);
  return ok;
}

LSTATUS WriteString(HKEY root, const std::string& path, const char* name,
                    const std::string& value) {
  HKEY key = nullptr;
  LSTATUS s = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr);
  if (s != ERROR_SUCCESS) return s;
  s = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     DWORD(value.size() + 1));
  RegCloseKey(key);
  return s;
}

LSTATUS ApplyChanges(HKEY root, const std::vector<Change>& changes) {
  if (!IsRoot(root)) return ERROR_INVALID_HANDLE;
  std::vector<std::string> paths;
  for (const Change& c : changes) {
    std::string path;
    if (LSTATUS s = Resolve(root, c.path.c_str(), &path); s != ERROR_SUCCESS) return s;
    if (path.find('\\') == std::string::npos) return ERROR_ACCESS_DENIED;
    if (c.name.size() > kRegistryMaxValueName || c.value.size() > kRegistryMaxValueData ||
        c.value.find('\0') != std::string::npos) {
      return ERROR_INVALID_PARAMETER;
    }
    paths.push_back(std::move(path));
  }
  return Mutate([&](Store& store, bool* changed) {
    for (size_t i = 0; i < changes.size(); ++i) {
      const Change& c = changes[i];
      if (c.kind == Change::Kind::DeleteTree) {
        store.RemoveTree(paths[i], /*keep_self=*/false);
        continue;
      }
      if (store.keys.size() >= kMaxKeys) return ERROR_CANTWRITE;
      store.Add(paths[i]);
      if (c.kind == Change::Kind::SetString) {
        store.Find(paths[i])->values[Lower(c.name)] = Value{c.name, REG_SZ, c.value};
      }
    }
    *changed = !changes.empty();
    return ERROR_SUCCESS;
  });
}

}  // namespace registry

LSTATUS RegOpenKeyExA(HKEY key, const char* subkey, DWORD, REGSAM, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::string path;
  if (LSTATUS s = Resolve(key, subkey, &path); s != ERROR_SUCCESS) return s;
  std::shared_ptr<const Store> store;
  if (LSTATUS s = Snapshot(&store); s != ERROR_SUCCESS) return s;
  if (path.find('\\') != std::string::npos) {
    const Key* k = store->Find(path);
    if (!k) return ERROR_FILE_NOT_FOUND;
    path = k->path;
  }
  *result = NewHandle(std::move(path));
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(HKEY key, const char* subkey, DWORD, char*, DWORD, REGSAM, void*,
                        PHKEY result, DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::string path;
  if (LSTATUS s = Resolve(key, subkey, &path); s != ERROR_SUCCESS) return s;
  bool created = false;
  if (path.find('\\') != std::string::npos) {
    const LSTATUS s = Mutate([&](Store& store, bool* changed) {
      if (const Key* k = store.Find(path)) {
        path = k->path;
        return ERROR_SUCCESS;
      }
      if (store.keys.size() >= kMaxKeys) return ERROR_CANTWRITE;
      // A handle whose key another process deleted cannot grow children.
      if (!IsRoot(key) && !store.Find(key->path)) return ERROR_KEY_DELETED;
      store.Add(path);
      created = *changed = true;
      return ERROR_SUCCESS;
    });
    if (s != ERROR_SUCCESS) return s;
  }
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewHandle(std::move(path));
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  if (IsRoot(key)) return ERROR_SUCCESS;
  if (!key) return ERROR_INVALID_HANDLE;
  {
    HandleShard& shard = ShardOf(key);
    std::lock_guard lock(shard.mu);
    if (shard.handles.erase(key) == 0) return ERROR_INVALID_HANDLE;
  }
  delete key;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const BYTE* data,
                       DWORD size) {
  std::string path;
  if (LSTATUS s = Resolve(key, nullptr, &path); s != ERROR_SUCCESS) return s;
  if (path.find('\\') == std::string::npos) return ERROR_ACCESS_DENIED;  // roots hold keys only
  Value v;
  v.name = ValueName(name);
  v.type = type;
  if (v.name.size() > kRegistryMaxValueName || size > kRegistryMaxValueData ||
      (size > 0 && !data)) {
    return ERROR_INVALID_PARAMETER;
  }
  const char* bytes = reinterpret_cast<const char*>(data);
  switch (type) {
    case REG_SZ:
      v.data.assign(bytes ? bytes : "", bytes ? strnlen(bytes, size) : 0);
      break;
    case REG_DWORD:
      if (size != 4) return ERROR_INVALID_PARAMETER;
      v.data.assign(bytes, 4);
      break;
    case REG_QWORD:
      if (size != 8) return ERROR_INVALID_PARAMETER;
      v.data.assign(bytes, 8);
      break;
    case REG_BINARY:
      v.data.assign(bytes ? bytes : "", size);
      break;
    default:
      return ERROR_INVALID_PARAMETER;
  }
  return Mutate([&](Store& store, bool* changed) {
    Key* k = store.Find(path);
    if (!k) return ERROR_KEY_DELETED;
    auto& slot = k->values[Lower(v.name)];
    if (slot.type == v.type && slot.data == v.data) return ERROR_SUCCESS;
    slot = v;
    *changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, BYTE* data,
                         DWORD* size) {
  if (data && !size) return ERROR_INVALID_PARAMETER;
  std::string path;
  if (LSTATUS s = Resolve(key, nullptr, &path); s != ERROR_SUCCESS) return s;
  std::shared_ptr<const Store> store;
  if (LSTATUS s = Snapshot(&store); s != ERROR_SUCCESS) return s;
  const Key* k = store->Find(path);
  if (!k) return path.find('\\') == std::string::npos ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  auto it = k->values.find(Lower(ValueName(name)));
  if (it == k->values.end()) return ERROR_FILE_NOT_FOUND;
  const Value& v = it->second;
  const DWORD needed = DWORD(v.data.size() + (v.type == REG_SZ ? 1 : 0));
  if (type) *type = v.type;
  if (data) {
    if (*size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, v.data.data(), v.data.size());
    if (v.type == REG_SZ) data[v.data.size()] = 0;
  }
  if (size) *size = needed;
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueA(HKEY key, const char* name) {
  std::string path;
  if (LSTATUS s = Resolve(key, nullptr, &path); s != ERROR_SUCCESS) return s;
  return Mutate([&](Store& store, bool* changed) {
    Key* k = store.Find(path);
    if (!k) return ERROR_FILE_NOT_FOUND;
    if (k->values.erase(Lower(ValueName(name))) == 0) return ERROR_FILE_NOT_FOUND;
    *changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteKeyA(HKEY key, const char* subkey) {
  if (!subkey || !*subkey) return ERROR_INVALID_PARAMETER;
  std::string path;
  if (LSTATUS s = Resolve(key, subkey, &path); s != ERROR_SUCCESS) return s;
  if (path.find('\\') == std::string::npos) return ERROR_ACCESS_DENIED;
  return Mutate([&](Store& store, bool* changed) {
    if (!store.Find(path)) return ERROR_FILE_NOT_FOUND;
    if (store.HasChildren(path)) return ERROR_ACCESS_DENIED;
    store.RemoveTree(path, false);
    *changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteTreeA(HKEY key, const char* subkey) {
  std::string path;
  if (LSTATUS s = Resolve(key, subkey, &path); s != ERROR_SUCCESS) return s;
  const bool keep_self = !subkey || !*subkey || path.find('\\') == std::string::npos;
  return Mutate([&](Store& store, bool* changed) {
    if (path.find('\\') != std::string::npos && !store.Find(path)) return ERROR_FILE_NOT_FOUND;
    store.RemoveTree(path, keep_self);
    *changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* size, DWORD*, char*, DWORD*,
                      void*) {
  if (!name || !size) return ERROR_INVALID_PARAMETER;
  std::string path;
  if (LSTATUS s = Resolve(key, nullptr, &path); s != ERROR_SUCCESS) return s;
  std::shared_ptr<const Store> store;
  if (LSTATUS s = Snapshot(&store); s != ERROR_SUCCESS) return s;
  const std::string prefix = Lower(path) + '\\';
  DWORD seen = 0;
  for (auto it = store->keys.lower_bound(prefix);
       it != store->keys.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    if (it->first.find('\\', prefix.size()) != std::string::npos) continue;  // deeper
    if (seen++ != index) continue;
    const std::string child = it->second.path.substr(prefix.size());
    if (*size <= child.size()) {
      *size = DWORD(child.size() + 1);
      return ERROR_MORE_DATA;
    }
    std::memcpy(name, child.c_str(), child.size() + 1);
    *size = DWORD(child.size());
    return ERROR_SUCCESS;
  }
  return ERROR_NO_MORE_ITEMS;
}
