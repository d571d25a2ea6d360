#include "platform/service/command_line.h"

#include <cstdint>

#include "platform/text/text.h"

namespace service {

int FindCommandLineSwitch(int argc, const char* const* argv,
                          std::initializer_list<std::string_view> words) {
  for (int a = 1; a < argc && argv; ++a) {
    if (!argv[a]) continue;
    const std::string_view arg(argv[a]);
    for (size_t i = 0; i < arg.size(); ++i) {
      if (arg[i] != '-' && arg[i] != '/') continue;
      size_t end = arg.find_first_of(" \t", i + 1);
      if (end == std::string_view::npos) end = arg.size();
      const std::string_view token = arg.substr(i + 1, end - i - 1);
      int index = 0;
      for (std::string_view word : words) {
        if (text::AsciiIEquals(token, word)) return index;
        ++index;
      }
    }
  }
  return -1;
}

int ExitCodeFromResult(HRESULT result) {
  if (result == S_OK) return 0;
  const int low = static_cast<int>(static_cast<uint32_t>(result) & 0xFF);
  return low != 0 ? low : 1;
}

}  // namespace service
