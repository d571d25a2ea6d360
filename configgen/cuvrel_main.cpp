// cuvrel: writes the default brevla-config.xml into the directory of its own
// executable and prints that directory. Exit 0 when the file was written,
// 1 otherwise; the old file, if any, is then left as it was.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "configgen/default_config.h"
#include "xmldoc/xml_nodes.h"

namespace {

// The running executable with links resolved, of any length; empty when it
// cannot be read.
std::string ReadExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0) return {};
    // A full buffer may hold a cut path.
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), size_t(n));
    if (buffer.size() >= (size_t{1} << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

int main() {
  // A reader that went away must not stop the file from being written.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string path = ReadExecutablePath();
  if (path.empty()) return 1;
  const std::string dir = configgen::InstallDirectory(path);
  std::fwrite(dir.data(), 1, dir.size(), stdout);
  std::fflush(stdout);

  if (!configgen::IsWritableInstallDirectory(dir)) return 1;
  xml::XmlElementPtr root = configgen::BuildDefaultConfig(dir);
  const bool written = xmldoc::WriteDocumentToFile(dir + "/" + configgen::kConfigFileName, *root);
  return written ? 0 : 1;
}
