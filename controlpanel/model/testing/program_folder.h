// A fresh program folder for a test, holding copies of the given files
// under their own names.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <string>

namespace controlpanel::testing {

inline std::string ProgramFolder(const std::string& prefix,
                                 std::initializer_list<const char*> files) {
  const std::string dir = ::testing::TempDir() + "/" + prefix + "-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  for (const char* file : files) {
    std::filesystem::copy_file(file, dir + "/" + std::filesystem::path(file).filename().string());
  }
  return dir;
}

}  // namespace controlpanel::testing
