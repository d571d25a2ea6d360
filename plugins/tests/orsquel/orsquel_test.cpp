#include "plugins/tests/orsquel/orsquel.h"

#include <gtest/gtest.h>

#include "platform/text/text.h"
#include "plugins/tests/testing/service_message.h"

namespace testsvc {
namespace {

TEST(FormatTimeOfDay, WritesUtcHoursMinutesSecondsAndAppends) {
  struct Case {
    std::time_t time;
    std::u16string want;
  } cases[] = {
      {0, u"00:00:00Z"},
      {86399, u"23:59:59Z"},
      {1700000000, u"22:13:20Z"},
      {-1, u"23:59:59Z"},
  };
  for (const Case& c : cases) {
    xml::XmlElement e(u"time");
    e.SetText(u">");
    EXPECT_TRUE(FormatTimeOfDay(c.time, e));
    EXPECT_EQ(e.GetText(), u">" + c.want);
  }
}

// A path with a control character (decoded from "%01" by the server) is named
// in the reason with U+FFFD in its place.
TEST(Orsquel, ResourceFaultsKeepTheReasonWritable) {
  const ComPtr<testsvc_testing::ServiceMessage> m =
      com::MakeComObject<testsvc_testing::ServiceMessage>();
  const ComPtr<Orsquel> service = com::MakeComObject<Orsquel>();
  Bstr svc(u"/soap12/test-doc"), path(std::u16string(u"/\x01x\0y", 5)), query(u"");
  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(service->OnProcessSoapGet(m->AsArgument(), svc.Get(), path.Get(), query.Get(), &result),
            S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  ASSERT_EQ(m->faults.size(), 1u);
  EXPECT_EQ(m->faults[0].code, u"Sender");
  EXPECT_EQ(m->faults[0].text, u"Resource '/\uFFFDx\uFFFDy' not available (HTTP Method: GET).");
  EXPECT_FALSE(m->bodySet);
}

}  // namespace
}  // namespace testsvc
