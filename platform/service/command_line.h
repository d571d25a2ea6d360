// Process-level helpers of a service program: the switch scan of its command
// line and the mapping of a result code onto an 8-bit exit status.
#pragma once

#include <initializer_list>
#include <string_view>

#include "platform/base/base.h"

namespace service {

// Scans argv[1..] (never the program path) for tokens that follow a '-' or a
// '/'; a token runs to a blank, a tab or the end of its argument. Returns the
// index in `words` of the first token equal to one of them, ignoring ASCII
// case, or -1. A longer word that merely begins with a switch word is no match.
int FindCommandLineSwitch(int argc, const char* const* argv,
                          std::initializer_list<std::string_view> words);

// Exit status for a result: 0 only for S_OK; otherwise the low byte, or 1 when
// the low byte is 0, so that no failure can read as success (-1 gives 255).
int ExitCodeFromResult(HRESULT result);

}  // namespace service
