// Support for the message tests: an environment that registers the real
// struct component in a private registry and enters an apartment, and small
// helpers to run envelopes through a SoapMessage.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "interfaces/soapstruct.h"
#include "message/soap_message.h"
#include "message/testing/fake_dorvish.h"
#include "platform/com/activation.h"
#include "xml/namespaces.h"

namespace message::testing {

// Registered once per test binary (see the .cpp files' AddGlobalTestEnvironment).
class ComEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string dir = (std::filesystem::temp_directory_path() / "qvmsg.XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    setenv("QUORVEL_REGISTRY", (dir + "/registry").c_str(), 1);
    const std::string command =
        std::string(QV_REGCOMP) + " -s " + QV_SOAPSTRUCT_COMPONENT + " >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

 private:
  std::string dir_;
};

// Copies `text` into a new envelope buffer of the message.
inline void SetEnvelope(SoapMessage& message, std::string_view text) {
  char* bytes = static_cast<char*>(malloc(text.size() ? text.size() : 1));
  memcpy(bytes, text.data(), text.size());
  message.SetEnvelopeBytes(bytes, static_cast<uint32_t>(text.size()));
}

// A message bound to a fake reader whose binding matches `version`.
struct Harness {
  ComPtr<FakeDorvish> reader = com::MakeComObject<FakeDorvish>();
  std::unique_ptr<SoapMessage> message = std::make_unique<SoapMessage>();

  explicit Harness(int version = 11, std::u16string_view next_hop = u"") {
    reader->wsdl.binding_version =
        version == 11 ? xml::kWsdlSoap11Namespace : xml::kWsdlSoap12Namespace;
    EXPECT_TRUE(message->Initialize(u"Svc", u"Port", u"urn:node", u"", next_hop, false, false,
                                    reader.Get()));
  }
  // Deserializes `text` in the given phase; the message records any fault.
  bool Run(std::string_view text, bool request = true) {
    SetEnvelope(*message, text);
    message->SetRequestPhase(request);
    return message->Deserialize();
  }
  // The SOAP 1.1 fault string or the SOAP 1.2 "en" reason.
  std::u16string FaultText() const {
    if (message->GetSoapVersion() == 11) return message->GetFaultString();
    auto it = message->Reasons().find(u"en");
    return it == message->Reasons().end() ? u"" : it->second;
  }
};

inline std::string Narrow(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? char(c) : '?');
  return out;
}

inline constexpr char kEnv11[] =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:t=\"urn:t\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
inline constexpr char kEnv12[] =
    "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:enc=\"http://www.w3.org/2003/05/soap-encoding\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:t=\"urn:t\">";

// A SOAP 1.1 envelope with `header` inside Header (omitted when empty) and
// `body` inside Body.
inline std::string Envelope11(std::string_view header, std::string_view body) {
  std::string s = kEnv11;
  if (!header.empty()) s += "<SOAP-ENV:Header>" + std::string(header) + "</SOAP-ENV:Header>";
  s += "<SOAP-ENV:Body>" + std::string(body) + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
  return s;
}
inline std::string Envelope12(std::string_view header, std::string_view body) {
  std::string s = kEnv12;
  if (!header.empty()) s += "<env:Header>" + std::string(header) + "</env:Header>";
  s += "<env:Body>" + std::string(body) + "</env:Body></env:Envelope>";
  return s;
}

// One envelope run through Deserialize, and the fault it must record.
struct FaultCase {
  const char* name;
  int binding;  // the version the fake WSDL binds to
  std::string text;
  bool request;
  const char16_t* code;  // empty: the parse succeeds
  const char16_t* subcode;
  const char16_t* message;
  int version;  // the message's version afterwards
};

inline void RunFaultCases(const FaultCase* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const FaultCase& c = cases[i];
    SCOPED_TRACE(c.name);
    Harness h(c.binding);
    const bool ok = h.Run(c.text, c.request);
    EXPECT_EQ(h.message->GetSoapVersion(), c.version);
    if (!*c.code) {
      EXPECT_TRUE(ok) << Narrow(h.FaultText());
      EXPECT_FALSE(h.message->IsFault());
      continue;
    }
    EXPECT_FALSE(ok);
    EXPECT_TRUE(h.message->IsFault());
    EXPECT_EQ(h.message->GetFaultCode(), c.code);
    EXPECT_EQ(h.message->GetFaultSubcode(), c.subcode);
    EXPECT_EQ(h.FaultText(), c.message) << Narrow(h.FaultText());
  }
}

}  // namespace message::testing
