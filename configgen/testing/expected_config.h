// The default configuration as a test expects it, from the fixture written by
// hand (QV_CONFIG_FIXTURE names it), for one install directory.
#pragma once

#include <string>
#include <string_view>

namespace configgen_testing {

// The fixture with each "@D@" replaced by `directoryText`: the directory as
// it stands in element text, that is with "&", "<" and ">" escaped.
std::string ExpectedConfig(std::string_view directoryText);

// The whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace configgen_testing
