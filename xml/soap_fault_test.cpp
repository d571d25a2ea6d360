#include "xml/soap_fault.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "xml/namespaces.h"

namespace xml {
namespace {

TEST(SoapFaultTest, FaultCodeNames) {
  struct Case {
    int code;
    int version;
    std::u16string_view name;
  } cases[] = {
      {kFaultVersionMismatch, 11, u"VersionMismatch"}, {kFaultMustUnderstand, 12, u"MustUnderstand"},
      {kFaultDataEncodingUnknown, 11, u"DataEncodingUnknown"},
      {kFaultClient, 11, u"Client"},  {kFaultClient, 12, u"Sender"},
      {kFaultServer, 11, u"Server"},  {kFaultServer, 13, u"Receiver"},
      {7, 11, u"untouched"},          {-1, 12, u"untouched"},
  };
  for (const Case& c : cases) {
    QVSOAPFault fault(c.code, u"text", false);
    std::u16string name = u"untouched", uri;
    fault.FaultCodeName(c.version, &name, &uri);
    EXPECT_EQ(name, c.name) << c.code << " " << c.version;
    EXPECT_EQ(uri, c.version == 11 ? kSoap11EnvelopeNamespace : kSoap12EnvelopeNamespace);
  }
}

TEST(SoapFaultTest, ThrownAsPointerWithEmptySubcode) {
  QVSOAPFault* caught = nullptr;
  try {
    ThrowSOAPFault(kFaultClient, u"bad envelope", true);
  } catch (QVSOAPFault* fault) {
    caught = fault;
  }
  ASSERT_NE(caught, nullptr);
  std::u16string subcode = u"x", ns = u"y";
  caught->GetSubcode(&subcode, &ns);
  EXPECT_EQ(subcode, u"");
  EXPECT_EQ(ns, u"");
  EXPECT_EQ(caught->GetFaultString(), u"bad envelope");
  EXPECT_TRUE(caught->NeedsDetail());
  EXPECT_EQ(caught->GetDetail().vt, VT_EMPTY);
  delete caught;

  QVSOAPFault sub(kFaultClient, u"BadArguments", kSoap12RpcNamespace, u"m", false);
  sub.GetSubcode(&subcode, &ns);
  EXPECT_EQ(subcode, u"BadArguments");
  EXPECT_EQ(ns, kSoap12RpcNamespace);
}

TEST(SoapFaultTest, DetailIsOwnedAndFreed) {
  QVSOAPFault fault(kFaultServer, u"m", true);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"detail text");
  ASSERT_TRUE(fault.SetDetail(u"d", u"urn:d", v));
  VariantClear(&v);  // the fault holds its own copy
  ASSERT_EQ(fault.GetDetail().vt, VT_BSTR);
  EXPECT_EQ(BstrView(fault.GetDetail().bstrVal), u"detail text");
  EXPECT_EQ(fault.GetDetailName(), u"d");
  EXPECT_EQ(fault.GetDetailNamespace(), u"urn:d");
}

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "soap_fault_eventlog.txt";
    std::remove(path_.c_str());
    const char* old = std::getenv("QUORVEL_EVENTLOG_FILE");
    old_ = old ? old : "";
    had_old_ = old != nullptr;
    setenv("QUORVEL_EVENTLOG_FILE", path_.c_str(), 1);
  }
  void TearDown() override {
    if (had_old_) {
      setenv("QUORVEL_EVENTLOG_FILE", old_.c_str(), 1);
    } else {
      unsetenv("QUORVEL_EVENTLOG_FILE");
    }
    std::remove(path_.c_str());
  }
  std::string Log() {
    std::ifstream in(path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string path_, old_;
  bool had_old_ = false;
};

TEST_F(EventLogTest, LongFaultTextIsCutTo127Characters) {
  std::u16string text;
  for (int i = 0; i < 200; ++i) text.push_back(char16_t(u'a' + i % 26));
  ReportEventLog(QVSOAPFault(kFaultClient, text, false));
  std::string expected = "Quorvel SOAP Message Handler: ";
  for (int i = 0; i < 127; ++i) expected.push_back(char('a' + i % 26));
  EXPECT_EQ(Log(), expected + "\n");
}

TEST_F(EventLogTest, FaultTextIsDataNotAFormat) {
  // 126 ASCII characters and a two-byte character: the cut never splits it.
  std::u16string text = u"%s%n%x ";
  text.append(119, u'.');
  text += u"\u00E9";
  ReportEventLog(QVSOAPFault(kFaultClient, text, false));
  EXPECT_EQ(Log(), "Quorvel SOAP Message Handler: %s%n%x " + std::string(119, '.') + "\n");
}

}  // namespace
}  // namespace xml
