#include "plugins/tests/e2e/service_client.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/text/text.h"
#include "server/braskel/service_registration.h"
#include "server/http/testing/loopback_client.h"
#include "server/http/testing/test_files.h"
#include "xml/namespaces.h"

namespace testsvc_e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

void Put(std::string& out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint32_t Get(std::string_view s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

void PutPadded(std::string& out, std::string_view field) {
  out.append(field);
  out.append((4 - field.size() % 4) % 4, '\0');
}

std::string EndpointXml(const std::string& uri, const std::string& wsdl, const std::string& service,
                        const std::string& port, const std::string& progId) {
  return "<endpoint><requestURI>" + uri + "</requestURI><wsdlDocURL>" + wsdl +
         "</wsdlDocURL><wsdlService>" + service + "</wsdlService><wsdlPort>" + port +
         "</wsdlPort><bodyProcessingProgId>" + progId +
         "</bodyProcessingProgId><enabled>true</enabled></endpoint>";
}

}  // namespace

std::string WriteDime(const std::vector<DimeRecord>& records) {
  std::string out;
  for (size_t i = 0; i < records.size(); ++i) {
    const DimeRecord& r = records[i];
    const uint32_t flags = (i == 0 ? 4u : 0u) | (i + 1 == records.size() ? 2u : 0u);
    Put(out, 1u << 3 | flags, 1);
    Put(out, uint32_t{r.tnf} << 4, 1);
    Put(out, static_cast<uint32_t>(r.options.size()), 2);
    Put(out, static_cast<uint32_t>(r.id.size()), 2);
    Put(out, static_cast<uint32_t>(r.type.size()), 2);
    Put(out, static_cast<uint32_t>(r.data.size()), 4);
    PutPadded(out, r.options);
    PutPadded(out, r.id);
    PutPadded(out, r.type);
    PutPadded(out, r.data);
  }
  return out;
}

std::optional<ReadDimeResult> ReadDime(std::string_view wire) {
  ReadDimeResult result;
  size_t at = 0;
  bool continuing = false;
  auto field = [&](size_t length, std::string* into) {
    const size_t padded = length + (4 - length % 4) % 4;
    if (wire.size() - at < padded) return false;
    if (into) into->append(wire.substr(at, length));
    at += padded;
    return true;
  };
  for (;;) {
    if (wire.size() - at < 12) return std::nullopt;
    const uint8_t first = static_cast<uint8_t>(wire[at]);
    const uint8_t tnf = static_cast<uint8_t>(wire[at + 1]) >> 4;
    const size_t optionsLength = Get(wire, at + 2, 2), idLength = Get(wire, at + 4, 2),
                 typeLength = Get(wire, at + 6, 2), dataLength = Get(wire, at + 8, 4);
    at += 12;
    if (first >> 3 != 1) return std::nullopt;
    const bool mb = first & 4, me = first & 2, cf = first & 1;
    if (mb != (result.records.empty() && !continuing)) return std::nullopt;
    if (!continuing) {
      result.records.push_back({});
      result.records.back().tnf = tnf;
      result.flags.push_back(first & 4);
    }
    DimeRecord& r = result.records.back();
    if (!field(optionsLength, &r.options) || !field(idLength, &r.id) ||
        !field(typeLength, &r.type) || !field(dataLength, &r.data)) {
      return std::nullopt;
    }
    continuing = cf;
    if (!cf) result.flags.back() |= me ? 2 : 0;
    if (me && !cf) break;
  }
  if (at != wire.size()) return std::nullopt;
  return result;
}

std::string Reply::StatusLine() const { return raw.substr(0, raw.find("\r\n")); }

std::string Reply::Header(std::string_view name) const {
  const std::string head = raw.substr(0, raw.find("\r\n\r\n") + 2);
  const std::string key = "\r\n" + std::string(name) + ": ";
  const size_t at = head.find(key);
  if (at == std::string::npos) return "";
  const size_t start = at + key.size();
  return head.substr(start, head.find("\r\n", start) - start);
}

std::string Reply::Body() const {
  const size_t at = raw.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : raw.substr(at + 4);
}

Parsed::Parsed(const std::string& text) {
  try {
    parser_.ParseXmlBuffer(text.data(), text.size(), nullptr);
    root_ = parser_.GetRoot();
  } catch (int) {
    root_ = nullptr;
  }
}

const xml::XmlElement* Parsed::Body() const {
  if (!root_ || root_->GetLocalName() != u"Envelope") return nullptr;
  for (const xml::XmlElementPtr& c : root_->GetChildList()) {
    if (c->GetLocalName() == u"Body" && c->GetNamespaceURI() == root_->GetNamespaceURI()) {
      return c.get();
    }
  }
  return nullptr;
}

std::string Describe(const xml::XmlElement& element) {
  std::string out =
      "{" + text::Narrow(element.GetNamespaceURI()) + "}" + text::Narrow(element.GetLocalName());
  for (const auto& [key, attribute] : element.GetAttributes()) {
    if (attribute->GetNamespaceURI() == xml::kXmlnsNamespace) continue;
    out += " {" + text::Narrow(attribute->GetNamespaceURI()) + "}" +
           text::Narrow(attribute->GetLocalName()) + "=" + text::Narrow(attribute->GetValue());
  }
  if (!element.GetText().empty()) out += "(" + text::Narrow(element.GetText()) + ")";
  if (element.GetChildCount() > 0) {
    out += "{";
    for (const xml::XmlElementPtr& c : element.GetChildList()) out += Describe(*c);
    out += "}";
  }
  return out;
}

void ServicesTest::SetUp() {
  BraskelProcessTest::SetUp();
  if (HasFatalFailure()) return;
  for (const char* component :
       {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT, QV_SOAPSTRUCT_COMPONENT, QV_LIKKELON_COMPONENT,
        QV_ORSQUEL_COMPONENT, QV_PELLASCO_COMPONENT}) {
    const std::string command = std::string(QV_REGCOMP) + " -s " + component;
    ASSERT_EQ(system(command.c_str()), 0) << command;
  }
  ASSERT_EQ(Run({"-Service"}), 0);
  // The document root serves the descriptions the build put beside braskel.
  www_ = dir_ / "www";
  fs::create_directories(www_ / "wsdl");
  for (const char* file : {"interopdoc.wsdl", "soap12-test.wsdl"}) {
    fs::copy_file(fs::path(BRASKEL_DOCROOT) / "wsdl" / file, www_ / "wsdl" / file);
  }
}

void ServicesTest::StartServer(const std::vector<std::string>& env) {
  const std::string shipped = "file://" + (www_ / "wsdl").string() + "/";
  const std::string fixtures = std::string("file://") + QV_TEST_SERVICES_TESTDATA + "/";
  WriteConfig(
      "<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>"
      "<numWorkThreads>3</numWorkThreads><docBasePath>" +
      www_.string() + "</docBasePath><endpointList>" +
      EndpointXml("/interopdoc", shipped + "interopdoc.wsdl", "interopDocSvc", "interopDocPort",
                  "Pellasco2.interop") +
      EndpointXml("/interopdoc12", fixtures + "interopdoc12.wsdl", "interopDocSvc",
                  "interopDocPort12", "Pellasco2.interop") +
      EndpointXml("/soap12/test-doc/*", shipped + "soap12-test.wsdl", "QuorvelOrsquin",
                  "Soap12TestDocPort", "orsquin.doc") +
      EndpointXml("/dimedoc", fixtures + "likkelon.wsdl", "DimeDocService", "DimeDocPort",
                  "tessaval.dimedoc") +
      EndpointXml("/dimedoc12", fixtures + "likkelon.wsdl", "DimeDocService", "DimeDocPort12",
                  "tessaval.dimedoc") +
      "</endpointList>");
  pid_ = Spawn(exe_, {}, std::string(server::kServiceName), std::nullopt, env);
  const std::string prefix = std::string(server::kServiceName) + ": Listening on 127.0.0.1:";
  const auto end = std::chrono::steady_clock::now() + 30s;
  while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
    std::istringstream lines(server_testing::ReadFile(eventLog_));
    for (std::string l; std::getline(lines, l);) {
      if (l.rfind(prefix, 0) == 0) {
        port_ = static_cast<uint16_t>(std::stoi(l.substr(prefix.size())));
        return;
      }
    }
    std::this_thread::sleep_for(20ms);
  }
  FAIL() << "the server reported no port:\n" << server_testing::ReadFile(eventLog_);
}

// A sanitizer finding (a leak) makes the exit status non-zero.
void ServicesTest::TearDown() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    EXPECT_EQ(Wait(pid_, 60s), 0);
    pid_ = -1;
  }
  BraskelProcessTest::TearDown();
}

Reply ServicesTest::Exchange(const std::string& request) const {
  server_testing::LoopbackClient c(port_);
  EXPECT_TRUE(c.Connected());
  c.Send(request);
  Reply reply{c.ReadAll(120s)};
  EXPECT_FALSE(c.TimedOut());
  return reply;
}

Reply ServicesTest::Post(const std::string& path, const std::string& contentType,
                         const std::string& body, const std::string& soapAction) const {
  return Exchange("POST " + path + " HTTP/1.0\r\nContent-Type: " + contentType +
                  "\r\nSOAPAction: " + soapAction +
                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

Reply ServicesTest::Soap(int version, const std::string& path, const std::string& bodyContent,
                         const std::string& soapAction) const {
  return Post(path,
              version == 11 ? "text/xml; charset=utf-8" : "application/soap+xml; charset=utf-8",
              Envelope(version, bodyContent), soapAction);
}

Reply ServicesTest::Get(const std::string& target) const {
  return Exchange("GET " + target + " HTTP/1.0\r\n\r\n");
}

std::string ServicesTest::Envelope(int version, const std::string& bodyContent,
                                   const std::string& envelopeDeclarations) {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><env:Envelope xmlns:env=\"") +
         (version == 11 ? kSoap11 : kSoap12) + "\"" + envelopeDeclarations + "><env:Body>" +
         bodyContent + "</env:Body></env:Envelope>";
}

}  // namespace testsvc_e2e
