#include "platform/registry/registry.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/testing/temp_registry.h"

namespace {

using registry::testing::RegistryTest;

std::string Query(HKEY root, const std::string& path, const char* name) {
  std::string value;
  return registry::ReadString(root, path, name, &value) ? value : "<missing>";
}

TEST_F(RegistryTest, ValuesRoundTripAndSurviveAReload) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32", 0, nullptr, 0,
                            KEY_WRITE, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  const char path[] = "/lib/x.so";
  ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                           sizeof path),
            ERROR_SUCCESS);
  const char model[] = "Apartment\nwith=odd [chars] %";
  ASSERT_EQ(RegSetValueExA(key, "ThreadingModel", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(model), sizeof model),
            ERROR_SUCCESS);
  const DWORD number = 0xFFFFFFFE;
  ASSERT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                           4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  // Names compare without case; the parent keys came into being.
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, "clsid\\{a}\\inprocserver32", nullptr), "/lib/x.so");
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32", "threadingmodel"), model);
  HKEY parent = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{A}", 0, KEY_READ, &parent), ERROR_SUCCESS);
  RegCloseKey(parent);

  // Another process sees the file as written: parse it from scratch.
  const std::string text = registry_.ReadFile();
  registry_.WriteFile(text + "\n");
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32", "ThreadingModel"), model);

  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Number", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  DWORD got = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Number", nullptr, &type, reinterpret_cast<BYTE*>(&got), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(got, number);

  // The string size counts its NUL; a short buffer is refused untouched.
  char small[4] = {'x', 'x', 'x', 'x'};
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof path);
  EXPECT_EQ(small[0], 'x');
  EXPECT_EQ(RegQueryValueExA(key, "Absent", nullptr, &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryTest, MissingKeysAndBadHandles) {
  HKEY key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "No\\Such", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "a\\\\b", 0, KEY_READ, &key),
            ERROR_INVALID_PARAMETER);
  RegistryKey* bogus = reinterpret_cast<RegistryKey*>(&key);
  EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegSetValueExA(bogus, "x", 0, REG_SZ, nullptr, 0), ERROR_INVALID_HANDLE);
  const DWORD n = 1;
  EXPECT_EQ(RegSetValueExA(HKEY_CLASSES_ROOT, "x", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&n), 4),
            ERROR_ACCESS_DENIED);
  // Reading never creates the file.
  EXPECT_EQ(registry_.ReadFile(), "");
}

TEST_F(RegistryTest, DeleteKeyRefusesChildrenDeleteTreeTakesAll) {
  ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "P\\Q\\R", nullptr, "r"), ERROR_SUCCESS);
  ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "P\\Q2", "v", "q2"), ERROR_SUCCESS);
  ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "PP", nullptr, "pp"), ERROR_SUCCESS);

  HKEY p = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "P", 0, KEY_READ, &p), ERROR_SUCCESS);
  std::vector<std::string> children;
  char name[16];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    const LSTATUS s = RegEnumKeyExA(p, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (s == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(s, ERROR_SUCCESS);
    children.push_back(name);
  }
  EXPECT_EQ(children, (std::vector<std::string>{"Q", "Q2"}));

  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "P\\Q"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "P\\Q\\R"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "P\\Q\\R"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "P"), ERROR_SUCCESS);
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, "P\\Q2", "v"), "<missing>");
  // A sibling that shares the prefix stays.
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, "PP", nullptr), "pp");
  // The open handle's key is gone.
  EXPECT_EQ(RegSetValueExA(p, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
            ERROR_KEY_DELETED);
  RegCloseKey(p);
}

TEST_F(RegistryTest, CorruptFileIsAnErrorAndIsNotOverwritten) {
  const std::string cases[] = {
      "not a registry\n",
      "quorvel-registry 1\nname=sz:value before any key\n",
      "quorvel-registry 1\n[HKEY_CLASSES_ROOT\\A\n",
      "quorvel-registry 1\n[NOT_A_ROOT\\A]\n",
      "quorvel-registry 1\n[HKEY_CLASSES_ROOT\\A\\\\B]\n",
      "quorvel-registry 1\n[HKEY_CLASSES_ROOT\\A]\nx=dword:4294967296\n",
      "quorvel-registry 1\n[HKEY_CLASSES_ROOT\\A]\nx=sz:bad %G1 escape\n",
      "quorvel-registry 1\n[HKEY_CLASSES_ROOT\\A]\nx=sz:cut %4\n",
      "quorvel-registry 1\n[HKEY_CLASSES_ROOT\\A]\nx=binary:ABC\n",
      "quorvel-registry 1\n[HKEY_CLASSES_ROOT\\A]\nx=float:1.5\n",
      "quorvel-registry 1\n[HKEY_CLASSES_ROOT\\A]\nno equals sign\n",
      "quorvel-registry 1\n[HKEY_CLASSES_ROOT\\A]\nx=sz:" + std::string(70000, 'a') + "\n",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text.substr(0, 60));
    registry_.WriteFile(text);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "A", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "B", nullptr, "b"), ERROR_BADDB);
    EXPECT_EQ(registry_.ReadFile(), text);
  }
}

// Reads share one parsed copy until a change is notified: a file replaced
// from outside, or its folder removed and made again, is read afresh, and
// nothing else moves the registry's generation.
TEST_F(RegistryTest, ChangesFromOutsideAreSeenAndNothingElseReloads) {
  ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "A", nullptr, "a"), ERROR_SUCCESS);
  const uint64_t before = registry::Generation();
  for (int i = 0; i < 50; ++i) ASSERT_EQ(Query(HKEY_CLASSES_ROOT, "A", nullptr), "a");
  EXPECT_EQ(registry::Generation(), before);

  struct Case {
    const char* what;
    bool removeFolder;
    const char* value;
  } cases[] = {
      {"file replaced", false, "b"},
      {"folder removed and made again", true, "c"},
      {"file replaced in the new folder", false, "d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t was = registry::Generation();
    if (c.removeFolder) {
      const std::string folder = registry_.file().substr(0, registry_.file().rfind('/'));
      std::filesystem::remove_all(folder);
    }
    registry_.WriteFile(std::string("quorvel-registry 1\n[HKEY_CLASSES_ROOT\\A]\n=sz:") +
                        c.value + "\n");
    EXPECT_EQ(Query(HKEY_CLASSES_ROOT, "A", nullptr), c.value);
    EXPECT_GT(registry::Generation(), was);
  }
}

// Readers take no lock: while one thread writes, readers on others see each
// value whole, and never an older one after a newer. (The values keep one
// length: a size asked for before a change does not fit the value after it.)
TEST_F(RegistryTest, ReadersOnManyThreadsSeeEachChangeWhole) {
  ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "A", nullptr, "v10"), ERROR_SUCCESS);
  constexpr int kWrites = 40;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      int last = 10;
      while (!done) {
        const std::string v = Query(HKEY_CLASSES_ROOT, "A", nullptr);
        const int n = v.size() > 1 && v[0] == 'v' ? std::atoi(v.c_str() + 1) : -1;
        if (n < last) ++bad;
        last = n;
      }
    });
  }
  int written = 0;
  while (written < kWrites &&
         registry::WriteString(HKEY_CLASSES_ROOT, "A", nullptr,
                               "v" + std::to_string(11 + written)) == ERROR_SUCCESS) {
    ++written;
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(written, kWrites);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, "A", nullptr), "v" + std::to_string(10 + kWrites));
}

TEST_F(RegistryTest, TwoProcessesRegisteringAtOnceKeepBoth) {
  constexpr int kProcesses = 3;
  constexpr int kKeysEach = 20;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int k = 0; k < kKeysEach; ++k) {
        const std::string path = "CLSID\\{P" + std::to_string(p) + "-" + std::to_string(k) + "}";
        failures += registry::WriteString(HKEY_CLASSES_ROOT, path, nullptr, "x") != ERROR_SUCCESS;
        failures += registry::WriteString(HKEY_CLASSES_ROOT, path + "\\InprocServer32",
                                          "ThreadingModel", "Apartment") != ERROR_SUCCESS;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int p = 0; p < kProcesses; ++p) {
    for (int k = 0; k < kKeysEach; ++k) {
      const std::string path = "CLSID\\{P" + std::to_string(p) + "-" + std::to_string(k) + "}";
      EXPECT_EQ(Query(HKEY_CLASSES_ROOT, path, nullptr), "x") << path;
      EXPECT_EQ(Query(HKEY_CLASSES_ROOT, path + "\\InprocServer32", "ThreadingModel"),
                "Apartment")
          << path;
    }
  }
}

TEST(RegistryLocationTest, EnvironmentThenXdgThenHome) {
  registry::testing::TempRegistry temp;  // restores QUORVEL_REGISTRY afterwards
  setenv("QUORVEL_REGISTRY", temp.dir().c_str(), 1);
  EXPECT_EQ(registry::FilePath(), temp.dir() + "/registry");
  unsetenv("QUORVEL_REGISTRY");
  const char* old_xdg = getenv("XDG_DATA_HOME");
  const std::string saved_xdg = old_xdg ? old_xdg : "";
  setenv("XDG_DATA_HOME", "/x/data", 1);
  EXPECT_EQ(registry::FilePath(), "/x/data/quorvel/registry");
  unsetenv("XDG_DATA_HOME");
  EXPECT_NE(registry::FilePath().find("/.local/share/quorvel/registry"), std::string::npos);
  if (old_xdg) setenv("XDG_DATA_HOME", saved_xdg.c_str(), 1);
}

TEST(RegistryLocationTest, WithoutHomeTheUserDatabaseNamesIt) {
  registry::testing::TempRegistry temp;
  unsetenv("QUORVEL_REGISTRY");
  const char* old_xdg = getenv("XDG_DATA_HOME");
  const std::string saved_xdg = old_xdg ? old_xdg : "";
  const char* old_home = getenv("HOME");
  const std::string saved_home = old_home ? old_home : "";
  unsetenv("XDG_DATA_HOME");
  unsetenv("HOME");
  const passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(registry::FilePath(), std::string(pw->pw_dir) + "/.local/share/quorvel/registry");
  setenv("HOME", "relative/home", 1);  // not a place to trust either
  EXPECT_EQ(registry::FilePath(), std::string(pw->pw_dir) + "/.local/share/quorvel/registry");
  if (old_home) {
    setenv("HOME", saved_home.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
  if (old_xdg) setenv("XDG_DATA_HOME", saved_xdg.c_str(), 1);
}

// A registry names libraries the process will load: one that someone else
// could have written is refused, and the event log says why.
TEST_F(RegistryTest, RegistryOthersCanWriteIsRefused) {
  const std::string log = registry_.dir() + "/events.txt";
  const char* old_log = getenv("QUORVEL_EVENTLOG_FILE");
  const std::string saved_log = old_log ? old_log : "";
  setenv("QUORVEL_EVENTLOG_FILE", log.c_str(), 1);
  ASSERT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "A", nullptr, "a"), ERROR_SUCCESS);
  const std::string folder = registry_.file().substr(0, registry_.file().rfind('/'));
  const std::string contents = registry_.ReadFile();

  struct Case {
    const char* what;
    const std::string* path;
    mode_t mode;
    uid_t owner;  // 0: leave as it is
  } cases[] = {
      {"file writable by all", &registry_.file(), 0666, 0},
      {"folder writable by all", &folder, 0777, 0},
      {"folder like /tmp", &folder, 01777, 0},
      {"file of another user", &registry_.file(), 0644, 65534},
      {"folder of another user", &folder, 0755, 65534},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.owner != 0 && geteuid() != 0) continue;  // only root can give a file away
    struct stat before;
    ASSERT_EQ(stat(c.path->c_str(), &before), 0);
    ASSERT_EQ(chmod(c.path->c_str(), c.mode), 0);
    if (c.owner != 0) {
      ASSERT_EQ(chown(c.path->c_str(), c.owner, uid_t(-1)), 0);
    }
    unlink(log.c_str());
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "A", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(registry::WriteString(HKEY_CLASSES_ROOT, "B", nullptr, "b"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(registry_.ReadFile(), contents);
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("registry " + registry_.file() + " refused"), std::string::npos)
        << text.str();
    ASSERT_EQ(chmod(c.path->c_str(), before.st_mode & 07777), 0);
    if (c.owner != 0) {
      ASSERT_EQ(chown(c.path->c_str(), before.st_uid, uid_t(-1)), 0);
    }
    EXPECT_EQ(Query(HKEY_CLASSES_ROOT, "A", nullptr), "a");  // trusted again
  }
  if (old_log) {
    setenv("QUORVEL_EVENTLOG_FILE", saved_log.c_str(), 1);
  } else {
    unsetenv("QUORVEL_EVENTLOG_FILE");
  }
}

}  // namespace
