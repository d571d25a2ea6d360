#include "plugins/routing/from_uri.h"

#include <cstdint>

#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace routing {
namespace {

enum class Stored { Usable, TooLong, Absent };

Stored Query(HKEY key, std::u16string* out) {
  char buffer[kMaxFromUriLength + 1] = {};
  DWORD type = 0;
  DWORD size = sizeof(buffer);
  const LSTATUS status = RegQueryValueExA(key, kFromUriValue, nullptr, &type,
                                          reinterpret_cast<BYTE*>(buffer), &size);
  if (status == ERROR_MORE_DATA && type == REG_SZ) return Stored::TooLong;
  if (status != ERROR_SUCCESS || type != REG_SZ) return Stored::Absent;
  // Only the bytes the registry reported; a stored value need not end in NUL.
  std::string_view value(buffer, size <= sizeof(buffer) ? size : sizeof(buffer));
  if (const size_t nul = value.find('\0'); nul != std::string_view::npos) {
    value = value.substr(0, nul);
  }
  *out = text::Widen(value);
  return Stored::Usable;
}

std::u16string ReadAndStore() {
  std::u16string result;
  HKEY key = nullptr;
  Stored stored = Stored::Absent;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFromUriKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    stored = Query(key, &result);
    RegCloseKey(key);
  }
  if (stored == Stored::Usable) return result;
  if (stored == Stored::TooLong) return std::u16string(kDefaultFromUri);

  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kFromUriKey, 0, nullptr, 0, KEY_READ | KEY_WRITE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return std::u16string(kDefaultFromUri);
  }
  // Opening for writing read the file afresh: another process may have
  // stored a value meanwhile.
  stored = Query(key, &result);
  if (stored == Stored::Absent) {
    const std::string text = text::Narrow(kDefaultFromUri);
    RegSetValueExA(key, kFromUriValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
  }
  RegCloseKey(key);
  return stored == Stored::Usable ? result : std::u16string(kDefaultFromUri);
}

}  // namespace

std::u16string ReadFromURI() {
  // Every routed answer asks: the value read last on this thread serves while
  // the registry publishes nothing new; otherwise read the published
  // contents, and open the key for writing (a locked re-read of the whole
  // file) only when there is something to store.
  struct Cached {
    bool valid = false;
    uint64_t generation = 0;
    std::u16string value;
  };
  thread_local Cached t_cached;
  // Taken before reading: a change made meanwhile moves it on, and the next
  // call reads again.
  const uint64_t generation = registry::Generation();
  if (t_cached.valid && t_cached.generation == generation) return t_cached.value;
  std::u16string result = ReadAndStore();
  t_cached.valid = true;
  t_cached.generation = generation;
  t_cached.value = result;
  return result;
}

}  // namespace routing
