// A private registry file for one test: QUORVEL_REGISTRY points into a fresh
// temporary directory for the fixture's life.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace registry::testing {

class TempRegistry {
 public:
  TempRegistry();
  ~TempRegistry();
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  const std::string& dir() const { return dir_; }
  const std::string& file() const { return file_; }
  std::string ReadFile() const;
  void WriteFile(const std::string& text) const;

 private:
  std::string dir_;
  std::string file_;
  std::string saved_;
  bool had_saved_ = false;
};

class RegistryTest : public ::testing::Test {
 protected:
  TempRegistry registry_;
};

}  // namespace registry::testing
