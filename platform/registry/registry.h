// The registry: a small hierarchical store of keys with named string and
// number values, kept in one file so that every process sees the same
// registrations. Keys are paths below a root ("HKEY_CLASSES_ROOT\CLSID\{...}");
// key and value names compare without regard to ASCII letter case.
//
// Location: the file named by QUORVEL_REGISTRY (when that names an existing
// directory, the file "registry" inside it); unset, it is
// $XDG_DATA_HOME/quorvel/registry, else ~/.local/share/quorvel/registry
// (the home from the user database when HOME is unset, never a shared folder).
// Missing directories are created on the first write.
//
// Every change is one read-modify-write of the whole file under an exclusive
// flock on "<file>.lock", written to a temporary file and renamed over the old
// one, so that two processes writing at once keep both changes and a reader
// never sees half a file. Readers share one parsed copy, published whole and
// read without a lock; the file's folder is watched (inotify), so the file is
// looked at again only after a change was notified, never per value read. A file that does not parse, or breaks a limit below, is reported
// as ERROR_BADDB by every call; nothing is written over it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/base.h"

struct RegistryKey;
using HKEY = RegistryKey*;
using PHKEY = HKEY*;
using LSTATUS = LONG;
using REGSAM = DWORD;

// The roots; they need no opening and closing them does nothing.
inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(uintptr_t{0x80000000});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t{0x80000001});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t{0x80000002});
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(uintptr_t{0x80000003});

// Results (the system error numbers of the calls these stand in for).
inline constexpr LSTATUS ERROR_SUCCESS = 0;
inline constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
inline constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
inline constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
inline constexpr LSTATUS ERROR_OUTOFMEMORY = 14;
inline constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
inline constexpr LSTATUS ERROR_MORE_DATA = 234;
inline constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;
inline constexpr LSTATUS ERROR_BADDB = 1009;
inline constexpr LSTATUS ERROR_BADKEY = 1010;
inline constexpr LSTATUS ERROR_CANTREAD = 1012;
inline constexpr LSTATUS ERROR_CANTWRITE = 1013;
inline constexpr LSTATUS ERROR_KEY_DELETED = 1018;  // the handle's key was deleted meanwhile

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_QWORD = 11;

// Access rights are accepted and not checked: the file's mode decides.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Limits on what the store accepts and what a file may hold.
inline constexpr size_t kRegistryMaxKeyPath = 1024;      // bytes of a full key path
inline constexpr size_t kRegistryMaxValueName = 256;     // bytes
inline constexpr size_t kRegistryMaxValueData = 65536;   // bytes of one value
inline constexpr size_t kRegistryMaxFileSize = 16 << 20;  // bytes

// Opens an existing key; `subkey` null or empty opens `key` again.
// ERROR_FILE_NOT_FOUND when it does not exist; *result is null on failure.
LSTATUS RegOpenKeyExA(HKEY key, const char* subkey, DWORD options, REGSAM sam, PHKEY result);
// Opens or creates `subkey` with every missing key above it. `disposition`
// (may be null) receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
LSTATUS RegCreateKeyExA(HKEY key, const char* subkey, DWORD reserved, char* key_class,
                        DWORD options, REGSAM sam, void* security, PHKEY result,
                        DWORD* disposition);
LSTATUS RegCloseKey(HKEY key);
// Sets a value; `name` null or empty is the key's default value. REG_SZ data is
// taken up to its first NUL or `size` bytes; REG_DWORD needs 4 bytes and
// REG_QWORD 8.
LSTATUS RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type,
                       const BYTE* data, DWORD size);
// Reads a value. With `data` null only *type and *size are set. REG_SZ sizes
// count the terminating NUL. A buffer too small gives ERROR_MORE_DATA with the
// needed size in *size and nothing written.
LSTATUS RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size);
LSTATUS RegDeleteValueA(HKEY key, const char* name);
// Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some).
LSTATUS RegDeleteKeyA(HKEY key, const char* subkey);
// Deletes a key with everything below it; `subkey` null deletes what is below
// `key` and keeps `key` itself.
LSTATUS RegDeleteTreeA(HKEY key, const char* subkey);
// The name of the index-th direct subkey (in name order), ERROR_NO_MORE_ITEMS
// past the last. `*size` is the buffer size in, the name length out.
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* size, DWORD* reserved,
                      char* key_class, DWORD* class_size, void* last_write_time);

namespace registry {

// A registry file or folder that someone other than its user (or root) could
// change is refused with ERROR_ACCESS_DENIED, and the line saying why goes to
// this reporter (the event log installs itself; the registry lies below it).
using RefusalReporter = void (*)(const std::string& line);
void SetRefusalReporter(RefusalReporter reporter);

// Moves on whenever another content of the registry is published (a change
// written here, or one another process wrote and that was notified). Cheap
// enough to ask per call: no file-system call unless a change was notified.
uint64_t Generation();

// The file the registry lives in, as chosen above.
std::string FilePath();

// Convenience for our own code: reads a REG_SZ value of `path` (below `root`).
// False when the key or value is missing, not a string, or unreadable.
bool ReadString(HKEY root, const std::string& path, const char* name, std::string* out);
// Creates the key and sets a REG_SZ value on it (name null for the default).
[[nodiscard]] LSTATUS WriteString(HKEY root, const std::string& path, const char* name,
                                  const std::string& value);

// One change of a batch; `path` is below the batch's root.
struct Change {
  enum class Kind { SetString, CreateKey, DeleteTree };
  Kind kind;
  std::string path;
  std::string name;   // SetString: the value's name, empty for the default
  std::string value;  // SetString: the text
};
// Applies every change in one write of the file: all of them or none.
// Deleting a key that is not there is no error.
[[nodiscard]] LSTATUS ApplyChanges(HKEY root, const std::vector<Change>& changes);

}  // namespace registry
