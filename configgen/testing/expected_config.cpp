#include "configgen/testing/expected_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace configgen_testing {

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string ExpectedConfig(std::string_view directoryText) {
  std::string text = ReadWholeFile(QV_CONFIG_FIXTURE);
  EXPECT_FALSE(text.empty()) << "cannot read " << QV_CONFIG_FIXTURE;
  static constexpr std::string_view kMark = "@D@";
  for (size_t at = text.find(kMark); at != std::string::npos;
       at = text.find(kMark, at + directoryText.size())) {
    text.replace(at, kMark.size(), directoryText);
  }
  return text;
}

}  // namespace configgen_testing
