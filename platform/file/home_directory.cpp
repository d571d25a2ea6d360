#include "platform/file/home_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace file {

std::string HomeDirectory() {
  if (const char* env = std::getenv("HOME"); env && *env == '/') return env;
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir && *pw->pw_dir == '/') {
    return pw->pw_dir;
  }
  return {};
}

}  // namespace file
