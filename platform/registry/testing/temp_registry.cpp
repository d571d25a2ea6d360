#include "platform/registry/testing/temp_registry.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace registry::testing {

TempRegistry::TempRegistry() {
  std::string templ = (std::filesystem::temp_directory_path() / "qvreg.XXXXXX").string();
  if (!mkdtemp(templ.data())) ADD_FAILURE() << "mkdtemp failed";
  dir_ = templ;
  file_ = dir_ + "/sub/registry";  // a missing directory: created on the first write
  if (const char* old = getenv("QUORVEL_REGISTRY")) {
    saved_ = old;
    had_saved_ = true;
  }
  setenv("QUORVEL_REGISTRY", file_.c_str(), 1);
}

TempRegistry::~TempRegistry() {
  if (had_saved_) {
    setenv("QUORVEL_REGISTRY", saved_.c_str(), 1);
  } else {
    unsetenv("QUORVEL_REGISTRY");
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string TempRegistry::ReadFile() const {
  std::ifstream in(file_, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void TempRegistry::WriteFile(const std::string& text) const {
  std::filesystem::create_directories(std::filesystem::path(file_).parent_path());
  // Through a rename, as the store itself writes, so that the change is seen.
  const std::string temp = file_ + ".test";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::filesystem::rename(temp, file_);
}

}  // namespace registry::testing
