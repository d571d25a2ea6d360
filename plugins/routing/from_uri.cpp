#include "plugins/routing/from_uri.h"

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

}  // namespace

std::u16string ReadFromURI() {
  // Every routed answer asks: read the registry's published contents, and
  // open the key for writing (a locked re-read of the whole file) only when
  // there is something to store.
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

}  // namespace routing
