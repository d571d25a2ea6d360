// The service-program fixture for braskel, with its configuration beside the
// copy. The test binary defines BRASKEL_PATH, the executable to copy.
#pragma once

#include <string>

#include "platform/service/testing/service_process.h"
#include "server/braskel/service_registration.h"

namespace server_testing {

class BraskelProcessTest : public service_testing::ServiceProcessTest {
 protected:
  BraskelProcessTest() : ServiceProcessTest(BRASKEL_PATH, "braskel", server::BraskelIdentity()) {}

  // brevla-config.xml beside the copy: `body` inside <configuration>.
  void WriteConfig(const std::string& body) const;
};

}  // namespace server_testing
