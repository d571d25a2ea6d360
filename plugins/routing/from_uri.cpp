#include "plugins/routing/from_uri.h"

#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace routing {
namespace {

void StoreDefault(HKEY key) {
  const std::string text = text::Narrow(kDefaultFromUri);
  RegSetValueExA(key, kFromUriValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>(text.size() + 1));
}

}  // namespace

std::u16string ReadFromURI() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kFromUriKey, 0, nullptr, 0, KEY_READ | KEY_WRITE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return std::u16string(kDefaultFromUri);
  }
  char buffer[kMaxFromUriLength + 1] = {};
  DWORD type = 0;
  DWORD size = sizeof(buffer);
  const LSTATUS status = RegQueryValueExA(key, kFromUriValue, nullptr, &type,
                                          reinterpret_cast<BYTE*>(buffer), &size);
  std::u16string result(kDefaultFromUri);
  if (status == ERROR_SUCCESS && type == REG_SZ) {
    // Only the bytes the registry reported; a stored value need not end in NUL.
    std::string_view value(buffer, size <= sizeof(buffer) ? size : sizeof(buffer));
    if (const size_t nul = value.find('\0'); nul != std::string_view::npos) {
      value = value.substr(0, nul);
    }
    result = text::Widen(value);
  } else if (status != ERROR_MORE_DATA || type != REG_SZ) {
    StoreDefault(key);
  }
  RegCloseKey(key);
  return result;
}

}  // namespace routing
