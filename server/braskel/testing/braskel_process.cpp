#include "server/braskel/testing/braskel_process.h"

#include "server/http/testing/test_files.h"

namespace server_testing {

void BraskelProcessTest::WriteConfig(const std::string& body) const {
  WriteFile(dir_ / "brevla-config.xml", "<configuration>" + body + "</configuration>");
}

}  // namespace server_testing
