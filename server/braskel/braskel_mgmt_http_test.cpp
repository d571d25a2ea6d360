// The management endpoint of a running braskel service, called over HTTP with
// the real message object and WSDL reader on the server side: by hand-written
// SOAP requests, by a client built from our message object and HTTP client,
// and by an independent SOAP client given only the endpoint's WSDL document
// from the server's document root.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "httpclient/http_client.h"
#include "interfaces/dorvish.h"
#include "interfaces/quenlin.h"
#include "interfaces/soapstruct.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"
#include "server/braskel/service_registration.h"
#include "server/braskel/testing/braskel_process.h"
#include "server/http/testing/loopback_client.h"
#include "server/http/testing/test_files.h"

namespace server {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using server_testing::LoopbackClient;
using server_testing::ReadFile;

const std::string kSource = std::string(kServiceName) + ": ";
const std::string kNs = "urn:quorvel:QVSOAPSvrMgr";
// The interpreter the Debian client library is installed for.
const std::string kPython = "/usr/bin/python3";

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// xsd:boolean has two spellings for each value.
bool BoolText(const std::string& s, bool value) {
  return value ? (s == "true" || s == "1") : (s == "false" || s == "0");
}

constexpr uint32_t kClientTimeoutMs = 20000;

// One POST through our HTTP client, as a real client sends it: HTTP/1.0, so
// the server closes after its answer.
struct HttpReply {
  bool received = false;
  int status = 0;
  std::string body;
};

HttpReply HttpPost(uint16_t port, const std::string& path, const std::string& action,
                   const std::string& body) {
  httpclient::HttpClient client(port, kClientTimeoutMs);
  HttpReply r;
  r.received = client.SendRequest(
      0, "POST", "127.0.0.1", path, "",
      "Host: 127.0.0.1\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"" + action +
          "\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n",
      body);
  r.status = client.GetStatusCode();
  if (client.GetBody()) r.body.assign(client.GetBody(), client.GetBodyLength());
  return r;
}

// The echo service's echoString, rpc/encoded SOAP 1.1.
std::string EchoEnvelope(const std::string& value) {
  return "<?xml version=\"1.0\"?>"
         "<E:Envelope xmlns:E=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><E:Body>"
         "<m:echoString xmlns:m=\"urn:qvtest:echo\" "
         "E:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
         "<inputString xsi:type=\"xsd:string\">" +
         value + "</inputString></m:echoString></E:Body></E:Envelope>";
}

HttpReply PostEcho(uint16_t port, const std::string& path, const std::string& value) {
  return HttpPost(port, path, "urn:qvtest:echo#echoString", EchoEnvelope(value));
}

bool IsEchoOf(const HttpReply& r, const std::string& value) {
  return r.received && r.status == 200 && r.body.find("echoStringResponse") != std::string::npos &&
         r.body.find(">" + value + "</") != std::string::npos;
}

// One of this machine's own IPv4 addresses off loopback, when it has one.
std::optional<in_addr> HostAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::optional<in_addr> found;
  for (const ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    found = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr;
  }
  freeifaddrs(list);
  return found;
}

// One endpoint as a SvcInfo struct carries it.
struct Svc {
  std::u16string uri, name, port, wsdl, progId;
  std::vector<std::u16string> headers, roles;
  std::u16string nextHop, node;
  bool enabled = false;
  bool operator==(const Svc&) const = default;
};

void PrintTo(const Svc& s, std::ostream* os) {
  auto list = [os](const std::vector<std::u16string>& items) {
    *os << "[";
    for (const auto& i : items) *os << text::Narrow(i) << ";";
    *os << "]";
  };
  *os << "{" << text::Narrow(s.uri) << " " << text::Narrow(s.name) << " " << text::Narrow(s.port)
      << " " << text::Narrow(s.wsdl) << " " << text::Narrow(s.progId) << " ";
  list(s.headers);
  list(s.roles);
  *os << " " << text::Narrow(s.nextHop) << " " << text::Narrow(s.node)
      << (s.enabled ? " enabled}" : " disabled}");
}

Variant TextList(const std::vector<std::u16string>& items) {
  Variant out;
  out.vt = VT_ARRAY | VT_VARIANT;
  out.parray = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    const LONG index = LONG(i);
    Variant item = Variant::FromText(items[i]);
    EXPECT_EQ(SafeArrayPutElement(out.parray, &index, &item), S_OK);
  }
  return out;
}

// The SvcInfo array of `endpoints`: one struct each, members in their
// documented order.
Variant SvcInfoOf(const std::vector<Svc>& endpoints) {
  Variant out;
  out.vt = VT_ARRAY | VT_VARIANT;
  out.parray = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(endpoints.size()));
  for (size_t i = 0; i < endpoints.size(); ++i) {
    const Svc& e = endpoints[i];
    ComPtr<ISoapStruct> s;
    EXPECT_EQ(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_INPROC_SERVER, ISoapStruct::kIid,
                               s.ReceiveVoid()),
              S_OK);
    if (!s) break;
    std::pair<const char16_t*, Variant> members[] = {
        {u"SvcURI", Variant::FromText(e.uri)},
        {u"SvcName", Variant::FromText(e.name)},
        {u"Port", Variant::FromText(e.port)},
        {u"WSDL_URL", Variant::FromText(e.wsdl)},
        {u"SvcProgID", Variant::FromText(e.progId)},
        {u"HdrProgIDs", TextList(e.headers)},
        {u"Roles", TextList(e.roles)},
        {u"NextHopURL", Variant::FromText(e.nextHop)},
        {u"NodeURI", Variant::FromText(e.node)},
        {u"Enabled", Variant::FromBool(e.enabled)},
    };
    for (const auto& [name, value] : members) {
      VARIANT_BOOL ok = VARIANT_FALSE;
      s->SetMember(Bstr(std::u16string_view(name)).Get(), value, &ok);
      EXPECT_EQ(ok, VARIANT_TRUE) << text::Narrow(name);
    }
    Variant element;
    element.vt = VT_DISPATCH;
    element.pdispVal = com::QueryInterfacePtr<IDispatch>(s.Get()).Detach();
    const LONG index = LONG(i);
    EXPECT_EQ(SafeArrayPutElement(out.parray, &index, &element), S_OK);
  }
  return out;
}

std::u16string TextOf(const VARIANT& v) {
  if (v.vt == VT_EMPTY || v.vt == VT_NULL) return u"";
  return v.vt == VT_BSTR ? std::u16string(BstrView(v.bstrVal)) : u"<not text>";
}

std::vector<std::u16string> ListOf(const VARIANT& v) {
  if (v.vt != (VT_ARRAY | VT_VARIANT) || !v.parray || SafeArrayGetDim(v.parray) != 1) {
    return {u"<not a list>"};
  }
  std::vector<std::u16string> out;
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(v.parray, 1, &lo);
  SafeArrayGetUBound(v.parray, 1, &hi);
  for (LONG i = lo; i <= hi; ++i) {
    Variant item;
    SafeArrayGetElement(v.parray, &i, &item);
    out.push_back(TextOf(item));
  }
  return out;
}

// The endpoints of a SvcInfo array, in its order; an element that is no
// struct reads as an endpoint named "<not a struct>".
std::vector<Svc> SvcsOf(const VARIANT& v) {
  std::vector<Svc> out;
  if (v.vt != (VT_ARRAY | VT_VARIANT) || !v.parray || SafeArrayGetDim(v.parray) != 1) return out;
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(v.parray, 1, &lo);
  SafeArrayGetUBound(v.parray, 1, &hi);
  for (LONG i = lo; i <= hi; ++i) {
    Variant element;
    SafeArrayGetElement(v.parray, &i, &element);
    ComPtr<ISoapStruct> s;
    if (element.vt == VT_DISPATCH && element.pdispVal) {
      s = com::QueryInterfacePtr<ISoapStruct>(element.pdispVal);
    }
    Svc e;
    if (!s) {
      e.uri = u"<not a struct>";
      out.push_back(std::move(e));
      continue;
    }
    auto member = [&s](const char16_t* name) {
      Variant value;
      VARIANT_BOOL ok = VARIANT_FALSE;
      s->GetMember(Bstr(std::u16string_view(name)).Get(), &value, &ok);
      return value;
    };
    e.uri = TextOf(member(u"SvcURI"));
    e.name = TextOf(member(u"SvcName"));
    e.port = TextOf(member(u"Port"));
    e.wsdl = TextOf(member(u"WSDL_URL"));
    e.progId = TextOf(member(u"SvcProgID"));
    e.headers = ListOf(member(u"HdrProgIDs"));
    e.roles = ListOf(member(u"Roles"));
    e.nextHop = TextOf(member(u"NextHopURL"));
    e.node = TextOf(member(u"NodeURI"));
    const Variant enabled = member(u"Enabled");
    e.enabled = enabled.vt == VT_BOOL && enabled.boolVal == VARIANT_TRUE;
    out.push_back(std::move(e));
  }
  return out;
}

using MimeEntries = std::vector<std::pair<std::u16string, std::u16string>>;

// A MIMETypes value laid out as the class gives it: two elements by n,
// {0,i} the extension and {1,i} its type.
Variant MimeTypesOf(const MimeEntries& entries) {
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {ULONG(entries.size()), 0}};
  Variant out;
  out.vt = VT_ARRAY | VT_VARIANT;
  out.parray = SafeArrayCreate(VT_VARIANT, 2, bounds);
  for (size_t i = 0; i < entries.size(); ++i) {
    const LONG ext[2] = {0, LONG(i)}, type[2] = {1, LONG(i)};
    Variant e = Variant::FromText(entries[i].first), t = Variant::FromText(entries[i].second);
    EXPECT_EQ(SafeArrayPutElement(out.parray, ext, &e), S_OK);
    EXPECT_EQ(SafeArrayPutElement(out.parray, type, &t), S_OK);
  }
  return out;
}

// The entries of a MIMETypes value read in the class's layout; one entry
// "<not 2 x n>" when it has another shape.
MimeEntries MimeEntriesOf(const VARIANT& v) {
  LONG lo0 = 0, hi0 = -1, lo1 = 0, hi1 = -1;
  if (v.vt != (VT_ARRAY | VT_VARIANT) || !v.parray || SafeArrayGetDim(v.parray) != 2 ||
      FAILED(SafeArrayGetLBound(v.parray, 1, &lo0)) ||
      FAILED(SafeArrayGetUBound(v.parray, 1, &hi0)) ||
      FAILED(SafeArrayGetLBound(v.parray, 2, &lo1)) ||
      FAILED(SafeArrayGetUBound(v.parray, 2, &hi1)) || lo0 != 0 || hi0 != 1) {
    return {{u"<not 2 x n>", u""}};
  }
  MimeEntries out;
  for (LONG i = lo1; i <= hi1; ++i) {
    const LONG ext[2] = {0, i}, type[2] = {1, i};
    Variant e, t;
    SafeArrayGetElement(v.parray, ext, &e);
    SafeArrayGetElement(v.parray, type, &t);
    out.emplace_back(TextOf(e), TextOf(t));
  }
  return out;
}

// The outcome of one management call made by MgmtClient.
struct MgmtCallResult {
  bool ok = false;        // answered 200 and decoded as the operation's response
  bool returned = false;  // Result was true
  std::string answer;     // the HTTP body
  std::map<std::u16string, Variant> outs;
};

using Args = std::vector<std::pair<std::u16string, Variant>>;

// A management client built from the message object and the WSDL reader:
// each request is serialized from the operation's description, posted through
// our HTTP client, and the answer parsed in the response phase. One per
// thread; the thread has initialised the component runtime.
class MgmtClient {
 public:
  MgmtClient(uint16_t port, const std::filesystem::path& wsdl) : port_(port) {
    EXPECT_EQ(CoCreateInstance(CLSID_dorvish2, nullptr, CLSCTX_SERVER, IID_Idorvish2,
                               reader_.ReceiveVoid()),
              S_OK);
    if (!reader_) return;
    VARIANT_BOOL ok = VARIANT_FALSE;
    reader_->ReadServiceDesc(Bstr(u"QVSOAPSvrMgr").Get(), Bstr(u"QVSOAPSvrMgrPort").Get(),
                             Bstr(text::Widen("file://" + wsdl.string())).Get(), &ok);
    ready_ = ok == VARIANT_TRUE;
  }

  bool Ready() const { return ready_; }

  MgmtCallResult Call(const std::u16string& op, const Args& ins = {}) const {
    MgmtCallResult r;
    ComPtr<Iquenlin2> m;
    EXPECT_EQ(
        CoCreateInstance(CLSID_quenlin2, nullptr, CLSCTX_SERVER, IID_Iquenlin2, m.ReceiveVoid()),
        S_OK);
    if (!m || !ready_) return r;
    const std::u16string action = text::Widen(kNs) + u"#" + op;
    Bstr svc(u"QVSOAPSvrMgr"), portName(u"QVSOAPSvrMgrPort"), none;
    VARIANT_BOOL done = VARIANT_FALSE;
    m->Initialize(svc.Get(), portName.Get(), none.Get(), Bstr(u"\"" + action + u"\"").Get(),
                  none.Get(), VARIANT_FALSE, VARIANT_FALSE, reader_.Get(), &done);
    EXPECT_EQ(done, VARIANT_TRUE);
    m->SetMethodName(Bstr(op).Get());
    m->SetMethodNS(Bstr(text::Widen(kNs)).Get());
    for (const auto& [name, value] : ins) {
      Variant copy;
      EXPECT_EQ(copy.CopyFrom(value), S_OK);
      done = VARIANT_FALSE;
      m->AddMethodParam(none.Get(), Bstr(name).Get(), copy, VARIANT_TRUE, VARIANT_FALSE, &done);
      EXPECT_EQ(done, VARIANT_TRUE) << text::Narrow(name);
    }
    done = VARIANT_FALSE;
    m->Serialize(&done);
    EXPECT_EQ(done, VARIANT_TRUE) << text::Narrow(op);
    Variant request;
    m->GetBuffer(&request, &done);
    if (request.vt != (VT_ARRAY | VT_UI1) || !request.parray) return r;
    void* data = nullptr;
    SafeArrayAccessData(request.parray, &data);
    const std::string requestText(static_cast<char*>(data), request.parray->rgsabound[0].cElements);
    SafeArrayUnaccessData(request.parray);

    const HttpReply reply = HttpPost(port_, "/QVSOAPSvrCP", text::Narrow(action), requestText);
    r.answer = reply.body;
    EXPECT_TRUE(reply.received) << text::Narrow(op);
    EXPECT_EQ(reply.status, 200) << text::Narrow(op) << "\n" << reply.body;
    if (!reply.received || reply.status != 200) return r;

    m->SetRequestPhase(VARIANT_FALSE);
    m->ClearMethodParams();
    Variant buffer;
    buffer.vt = VT_ARRAY | VT_UI1;
    buffer.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(reply.body.size()));
    SafeArrayAccessData(buffer.parray, &data);
    if (!reply.body.empty()) std::memcpy(data, reply.body.data(), reply.body.size());
    SafeArrayUnaccessData(buffer.parray);
    m->SetBuffer(buffer, &done);
    done = VARIANT_FALSE;
    m->Deserialize(&done);
    EXPECT_EQ(done, VARIANT_TRUE) << reply.body;
    done = VARIANT_FALSE;
    m->ProcessRPC(&done);
    EXPECT_EQ(done, VARIANT_TRUE) << reply.body;
    r.ok = done == VARIANT_TRUE;
    Variant result;
    m->GetReturnValue(&result);
    r.returned = result.vt == VT_BOOL && result.boolVal == VARIANT_TRUE;
    LONG position = 0;
    VARIANT_BOOL more = VARIANT_FALSE, in = VARIANT_FALSE, out = VARIANT_FALSE;
    Bstr ns, name;
    Variant value;
    m->GetFirstMethodParam(ns.Receive(), name.Receive(), &value, &in, &out, &position, &more);
    while (more == VARIANT_TRUE) {
      r.outs[std::u16string(name.View())] = std::move(value);
      value = Variant();
      more = VARIANT_FALSE;
      m->GetNextMethodParam(ns.Receive(), name.Receive(), &value, &in, &out, &position, &more);
    }
    return r;
  }

 private:
  uint16_t port_;
  ComPtr<Idorvish2> reader_;
  bool ready_ = false;
};

class BraskelMgmtHttpTest : public server_testing::BraskelProcessTest {
 protected:
  void SetUp() override {
    BraskelProcessTest::SetUp();
    if (HasFatalFailure()) return;
    // The server creates the message object and the WSDL reader by ProgID.
    for (const char* component :
         {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT, QV_SOAPSTRUCT_COMPONENT, QV_TEST_PLUGINS}) {
      const std::string command = std::string(QV_REGCOMP) + " -s " + component;
      ASSERT_EQ(system(command.c_str()), 0) << command;
    }
    fs::create_directories(dir_ / "www" / "wsdl");
    fs::copy_file(QV_MANAGEMENT_WSDL, dir_ / "www" / "wsdl" / "QVSOAPSvrCP.wsdl");
    server_testing::WriteFile(dir_ / "www" / "index.htm", "<p>home</p>");
    WriteTestConfig("127.0.0.1");
    ASSERT_EQ(Run({"-Service"}), 0);
  }

  // The management and echo endpoints, listening on `address`.
  void WriteTestConfig(const std::string& address, const std::string& mgmtUri = "/QVSOAPSvrCP") {
    WriteConfig(
        "<listenAddress>" + address + "</listenAddress><listenPort>0</listenPort>"
        "<numWorkThreads>3</numWorkThreads>"
        "<docBasePath>" +
        (dir_ / "www").string() +
        "</docBasePath><defaultDocument>index.htm</defaultDocument>"
        "<endpointList><endpoint><requestURI>" + mgmtUri + "</requestURI><wsdlDocURL>file://" +
        (dir_ / "www" / "wsdl" / "QVSOAPSvrCP.wsdl").string() +
        "</wsdlDocURL><wsdlService>QVSOAPSvrMgr</wsdlService>"
        "<wsdlPort>QVSOAPSvrMgrPort</wsdlPort>"
        "<bodyProcessingProgId>braskel.braskelmgr2</bodyProcessingProgId>"
        "<enabled>true</enabled></endpoint>"
        "<endpoint><requestURI>/echo</requestURI><wsdlDocURL>file://" +
        EchoWsdl() +
        "</wsdlDocURL><wsdlService>EchoService</wsdlService><wsdlPort>EchoPort</wsdlPort>"
        "<bodyProcessingProgId>QvTest.Echo</bodyProcessingProgId>"
        "<enabled>true</enabled><enableExplicitTyping>true</enableExplicitTyping></endpoint>"
        "</endpointList><mimeMappings><item><extension>.htm</extension>"
        "<mimeType>text/html</mimeType></item></mimeMappings>");
  }

  // Starts the service and returns the port it reports, counting the
  // listening lines already in the event log from an earlier start.
  uint16_t StartService(const std::string& address = "127.0.0.1") {
    const std::string prefix = kSource + "Listening on " + address + ":";
    size_t seen = 0;
    for (const std::string& l : EventLines()) seen += l.rfind(prefix, 0) == 0;
    pid_ = Spawn(exe_, {}, std::string(kServiceName));
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
      size_t n = 0;
      for (const std::string& l : EventLines()) {
        if (l.rfind(prefix, 0) == 0 && ++n > seen)
          return static_cast<uint16_t>(std::stoi(l.substr(prefix.size())));
      }
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "no listening line in:\n" << ReadFile(eventLog_);
    return 0;
  }

  void StopService() {
    kill(pid_, SIGTERM);
    EXPECT_EQ(Wait(pid_, 60s), 0);
    pid_ = -1;
  }

  static std::string Exchange(uint16_t port, const std::string& request) {
    LoopbackClient c(port);
    EXPECT_TRUE(c.Connected());
    c.Send(request);
    std::string reply = c.ReadAll(20s);
    EXPECT_FALSE(c.TimedOut());
    return reply;
  }

  static std::string EchoWsdl() { return std::string(QV_SERVER_TESTDATA) + "/echo.wsdl"; }
  std::filesystem::path MgmtWsdl() const { return dir_ / "www" / "wsdl" / "QVSOAPSvrCP.wsdl"; }

  // The endpoint list as the management client reads it; empty with a
  // failure when the call fails.
  static std::vector<Svc> ReadServiceInfo(const MgmtClient& client) {
    MgmtCallResult got = client.Call(u"GetServiceInfo");
    EXPECT_TRUE(got.ok && got.returned) << got.answer;
    return SvcsOf(got.outs[u"SvcInfo"]);
  }

  // Calls `op` with `args` (child elements) and returns the reply's output
  // elements by name; the HTTP status line goes under "status", the whole
  // reply under "raw" and its body under "body".
  static std::map<std::string, std::string> Call(uint16_t port, const std::string& op,
                                                 const std::string& args = "") {
    const std::string body =
        "<?xml version=\"1.0\"?>"
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
        "<SOAP-ENV:Body><m:" +
        op + " xmlns:m=\"" + kNs + "\">" + args + "</m:" + op +
        "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    const std::string reply =
        Exchange(port,
                 "POST /QVSOAPSvrCP HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 "Content-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"" +
                     kNs + "#" + op + "\"\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n\r\n" + body);
    std::map<std::string, std::string> out;
    out["status"] = reply.substr(0, reply.find("\r\n"));
    out["raw"] = reply;
    const size_t head = reply.find("\r\n\r\n");
    out["body"] = head == std::string::npos ? std::string() : reply.substr(head + 4);
    // Leaf elements without a prefix: the reply's output accessors.
    for (size_t open = reply.find('<'); open != std::string::npos;
         open = reply.find('<', open + 1)) {
      const size_t nameEnd = reply.find_first_of(" >", open + 1);
      const size_t gt = reply.find('>', open);
      if (nameEnd == std::string::npos || gt == std::string::npos) break;
      const std::string name = reply.substr(open + 1, nameEnd - open - 1);
      if (name.empty() || name.find_first_of(":/?!") != std::string::npos) continue;
      const size_t close = reply.find("</" + name + ">", gt);
      if (close == std::string::npos) continue;
      const std::string text = reply.substr(gt + 1, close - gt - 1);
      if (text.find('<') == std::string::npos) out[name] = text;
    }
    return out;
  }
};

TEST_F(BraskelMgmtHttpTest, StatisticsMoveWithTrafficAndParamsAreTheConfigured) {
  const uint16_t port = StartService();
  ASSERT_NE(port, 0);
  auto params = Call(port, "GetServerParams");
  ASSERT_EQ(params["status"], "HTTP/1.1 200 OK") << params["raw"] << ReadFile(eventLog_);
  EXPECT_TRUE(BoolText(params["Result"], true)) << params["raw"];
  EXPECT_EQ(params["ListenPort"], "0");
  EXPECT_EQ(params["NumWorkThreads"], "3");

  auto before = Call(port, "GetServerStats");
  ASSERT_TRUE(BoolText(before["Result"], true)) << before["raw"];
  // Three pages and a request of an unsupported HTTP version: connections
  // and bytes sent move, and the refused version counts as an HTTP error.
  for (int i = 0; i < 3; ++i) {
    const std::string page =
        Exchange(port, "GET /index.htm HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(page.substr(0, page.find("\r\n")).substr(8), " 200 OK") << page;
  }
  const std::string refused = Exchange(port, "GET /index.htm HTTP/3.0\r\n\r\n");
  EXPECT_NE(refused.find(" 505 "), std::string::npos) << refused;
  auto after = Call(port, "GetServerStats");
  ASSERT_TRUE(BoolText(after["Result"], true)) << after["raw"];
  EXPECT_GE(std::stol(after["NumConnects"]), std::stol(before["NumConnects"]) + 4);
  EXPECT_GT(std::stol(after["NumBytesSent"]), std::stol(before["NumBytesSent"]));
  EXPECT_GE(std::stol(after["NumHTTPErrors"]), std::stol(before["NumHTTPErrors"]) + 1);
  StopService();
}

// RPC by GET: the read operations take outputs alone, so they answer a plain GET
// of the operation's path below a wildcard endpoint, as SOAP 1.2.
TEST_F(BraskelMgmtHttpTest, ReadOperationsAnswerByGet) {
  WriteTestConfig("127.0.0.1", "/QVSOAPSvrCP/*");
  const uint16_t port = StartService();
  ASSERT_NE(port, 0);
  for (const char* op :
       {"GetServerParams", "GetServerStats", "GetServiceInfo", "GetHTTPSettings", "GetLogSettings"}) {
    SCOPED_TRACE(op);
    const std::string reply =
        Exchange(port, "GET /QVSOAPSvrCP/" + std::string(op) + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.substr(0, reply.find("\r\n")).substr(8), " 200 OK") << reply;
    EXPECT_NE(reply.find("http://www.w3.org/2003/05/soap-envelope"), std::string::npos) << reply;
    EXPECT_NE(reply.find(std::string(op) + "Response"), std::string::npos) << reply;
    const size_t result = reply.find("<Result>");
    ASSERT_NE(result, std::string::npos) << reply;
    EXPECT_TRUE(BoolText(reply.substr(result + 8, reply.find('<', result + 8) - result - 8), true))
        << reply;
  }
  StopService();
}

// rpc clients read outputs by position: the return value, then the order the
// operation's parameterOrder gives, whatever the names' order.
TEST_F(BraskelMgmtHttpTest, OutputsAreWrittenInTheDescriptionsOrder) {
  const uint16_t port = StartService();
  ASSERT_NE(port, 0);
  const std::string open =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
      "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>";
  const std::string close = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
  auto wrapper = [&](const std::string& op) {
    return "<m:" + op +
           "Response SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "xmlns:m=\"" +
           kNs + "\">";
  };
  auto params = Call(port, "GetServerParams");
  EXPECT_EQ(params["body"], open + wrapper("GetServerParams") +
                                "<Result>1</Result><ListenPort>0</ListenPort>"
                                "<NumWorkThreads>3</NumWorkThreads><NumClientConn>16</NumClientConn>"
                                "<ClientTimeout>60</ClientTimeout><WatchdogTimer>30</WatchdogTimer>"
                                "</m:GetServerParamsResponse>" +
                                close);
  auto http = Call(port, "GetHTTPSettings");
  EXPECT_EQ(http["body"],
            open + wrapper("GetHTTPSettings") + "<Result>1</Result><DocRootPath>" +
                fs::canonical(dir_ / "www").string() +
                "</DocRootPath><DefaultFilePath>index.htm</DefaultFilePath>"
                "<MIMETypes SOAP-ENC:arrayType=\"nsa:string[1,2]\" SOAP-ENC:offset=\"[0,0]\" "
                "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
                "xmlns:nsa=\"http://www.w3.org/2001/XMLSchema\">"
                "<item>.HTM</item><item>text/html</item></MIMETypes>"
                "</m:GetHTTPSettingsResponse>" +
                close);
  StopService();
}

// Until an authenticating header processor guards it, the management
// endpoint answers loopback peers only; other endpoints stay open. The peer
// here is this machine itself, over one of its own addresses off loopback.
TEST_F(BraskelMgmtHttpTest, ManagementRefusesPeersOffLoopback) {
  const std::optional<in_addr> host = HostAddress();
  if (!host) GTEST_SKIP() << "this machine has no IPv4 address off loopback";
  char text[INET_ADDRSTRLEN] = {};
  ASSERT_NE(inet_ntop(AF_INET, &*host, text, sizeof text), nullptr);
  WriteTestConfig(text);
  const uint16_t port = StartService(text);
  ASSERT_NE(port, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr = *host;
  auto exchange = [&](const std::string& request) {
    LoopbackClient c(address);
    EXPECT_TRUE(c.Connected());
    c.Send(request);
    return c.ReadAll(20s);
  };
  const std::string body =
      "<?xml version=\"1.0\"?><E:Envelope xmlns:E=\"http://schemas.xmlsoap.org/soap/envelope/\">"
      "<E:Body><m:SetHTTPSettings xmlns:m=\"" +
      kNs +
      "\"><DocRootPath>/</DocRootPath><DefaultFilePath>x</DefaultFilePath>"
      "</m:SetHTTPSettings></E:Body></E:Envelope>";
  const std::string requests[] = {
      "POST /QVSOAPSvrCP HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: \"" + kNs +
          "#SetHTTPSettings\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
          body,
      "GET /QVSOAPSvrCP HTTP/1.0\r\n\r\n",
  };
  for (const std::string& request : requests) {
    SCOPED_TRACE(request.substr(0, request.find('\r')));
    const std::string reply = exchange(request);
    EXPECT_EQ(reply.rfind("HTTP/1.0 500 Internal Server Error\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("<faultcode>SOAP-ENV:Client</faultcode>"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Management calls are accepted only over loopback."), std::string::npos)
        << reply;
  }
  size_t refusals = 0;
  for (const std::string& line : EventLines()) {
    refusals += line == kSource + "Management call from " + text +
                            " to /QVSOAPSvrCP refused: only loopback clients may call it.";
  }
  EXPECT_EQ(refusals, 2u) << ReadFile(eventLog_);
  // The refused change moved no document root, and the echo endpoint answers.
  EXPECT_NE(exchange("GET /index.htm HTTP/1.0\r\n\r\n").find("<p>home</p>"), std::string::npos);
  const std::string echo = EchoEnvelope("far");
  const std::string echoed = exchange(
      "POST /echo HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: "
      "\"urn:qvtest:echo#echoString\"\r\nContent-Length: " +
      std::to_string(echo.size()) + "\r\n\r\n" + echo);
  EXPECT_EQ(echoed.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << echoed;
  EXPECT_NE(echoed.find(">far</"), std::string::npos) << echoed;
  StopService();
}

TEST_F(BraskelMgmtHttpTest, LogSettingsChangedAreReadBackAndSurviveARestart) {
  uint16_t port = StartService();
  ASSERT_NE(port, 0);
  const std::string log = (dir_ / "managed-server.log").string();
  auto set = Call(port, "SetLogSettings",
                  "<ServerLogPath>" + log +
                      "</ServerLogPath><UserAgentLogPath></UserAgentLogPath>"
                      "<SOAPTraceLogPath></SOAPTraceLogPath>"
                      "<ServerLogEnabled>true</ServerLogEnabled>"
                      "<UserAgentLogEnabled>false</UserAgentLogEnabled>"
                      "<SOAPTraceLogEnabled>false</SOAPTraceLogEnabled>");
  ASSERT_EQ(set["status"], "HTTP/1.1 200 OK") << set["raw"];
  EXPECT_TRUE(BoolText(set["Result"], true)) << set["raw"];
  auto got = Call(port, "GetLogSettings");
  EXPECT_EQ(got["ServerLogPath"], log) << got["raw"];
  EXPECT_TRUE(BoolText(got["ServerLogEnabled"], true));
  EXPECT_TRUE(BoolText(got["UserAgentLogEnabled"], false));
  StopService();

  EXPECT_NE(ReadFile(dir_ / "brevla-config.xml").find("<serverLogPath>" + log + "<"),
            std::string::npos);
  port = StartService();
  ASSERT_NE(port, 0);
  got = Call(port, "GetLogSettings");
  EXPECT_EQ(got["ServerLogPath"], log) << got["raw"];
  EXPECT_TRUE(BoolText(got["ServerLogEnabled"], true));
  StopService();
}

// The items of the SOAP-encoded array element `name` in `body`, and the
// value of its arrayType attribute.
struct WireArray {
  std::string arrayType;
  std::vector<std::string> items;
};

WireArray WireArrayOf(const std::string& body, const std::string& name) {
  WireArray out;
  const size_t open = body.find("<" + name + " ");
  const size_t gt = body.find('>', open);
  const size_t close = body.find("</" + name + ">", gt);
  if (open == std::string::npos || gt == std::string::npos || close == std::string::npos) {
    return out;
  }
  const std::string head = body.substr(open, gt - open);
  const size_t at = head.find("arrayType=\"");
  if (at != std::string::npos) {
    const size_t value = at + 11;
    out.arrayType = head.substr(value, head.find('"', value) - value);
  }
  for (size_t i = body.find("<item", gt); i < close; i = body.find("<item", i + 1)) {
    const size_t textStart = body.find('>', i) + 1;
    out.items.push_back(body.substr(textStart, body.find("</item>", textStart) - textStart));
  }
  return out;
}

// The MIME map changed through the endpoint is read back, types the files
// served, and is found in the rewritten configuration after a restart. On
// the wire the class's two-by-n array is xsd:string[n,2] with the items
// extension, type, extension, type, ...: the last written dimension varies
// fastest.
TEST_F(BraskelMgmtHttpTest, MimeMapChangedIsServedAndSurvivesARestart) {
  server_testing::WriteFile(dir_ / "www" / "data.qvx", "qv data");
  uint16_t port = StartService();
  ASSERT_NE(port, 0);
  const std::string docRoot = (dir_ / "www").string();
  auto settings = [&](const std::string& sizes, const std::vector<std::string>& items) {
    std::string args = "<DocRootPath>" + docRoot +
                       "</DocRootPath><DefaultFilePath>index.htm</DefaultFilePath>"
                       "<MIMETypes xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
                       "xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:string[" +
                       sizes + "]\">";
    for (const std::string& item : items) args += "<item>" + item + "</item>";
    return args + "</MIMETypes>";
  };
  auto set = Call(
      port, "SetHTTPSettings",
      settings("3,2", {".qvx", "application/x-qv", ".htm", "text/html", ".txt", "text/plain"}));
  ASSERT_EQ(set["status"], "HTTP/1.1 200 OK") << set["raw"];
  EXPECT_TRUE(BoolText(set["Result"], true)) << set["raw"];
  // In the map's order, ascending extension.
  const std::vector<std::string> stored = {".htm", "text/html", ".qvx", "application/x-qv",
                                           ".txt", "text/plain"};
  auto got = Call(port, "GetHTTPSettings");
  EXPECT_EQ(got["DocRootPath"], docRoot) << got["raw"];
  const WireArray mime = WireArrayOf(got["body"], "MIMETypes");
  EXPECT_TRUE(mime.arrayType.ends_with(":string[3,2]")) << got["raw"];
  EXPECT_EQ(mime.items, stored) << got["raw"];
  std::string file =
      Exchange(port, "GET /data.qvx HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
  EXPECT_NE(Lower(file).find("content-type: application/x-qv\r\n"), std::string::npos) << file;

  // Two rows of three is not a list of (extension, type) pairs: refused
  // whole, the running map and the file as they were.
  const std::string configBefore = ReadFile(dir_ / "brevla-config.xml");
  auto refused =
      Call(port, "SetHTTPSettings", settings("2,3", {".a", ".b", ".c", "a/a", "b/b", "c/c"}));
  ASSERT_EQ(refused["status"], "HTTP/1.1 200 OK") << refused["raw"];
  EXPECT_TRUE(BoolText(refused["Result"], false)) << refused["raw"];
  EXPECT_EQ(Call(port, "GetHTTPSettings")["body"], got["body"]);
  EXPECT_EQ(ReadFile(dir_ / "brevla-config.xml"), configBefore);
  StopService();

  EXPECT_NE(ReadFile(dir_ / "brevla-config.xml").find("application/x-qv"), std::string::npos)
      << ReadFile(dir_ / "brevla-config.xml");
  port = StartService();
  ASSERT_NE(port, 0);
  got = Call(port, "GetHTTPSettings");
  std::vector<std::string> reloaded = WireArrayOf(got["body"], "MIMETypes").items;
  // Letter case is not asserted after a reload: the file's keys may be folded.
  for (std::string& item : reloaded) item = Lower(item);
  EXPECT_EQ(reloaded, stored) << got["raw"];
  file = Exchange(port, "GET /data.qvx HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
  EXPECT_NE(Lower(file).find("content-type: application/x-qv\r\n"), std::string::npos) << file;
  StopService();
}

TEST_F(BraskelMgmtHttpTest, MessageObjectClientCallsTheEndpoint) {
  const uint16_t port = StartService();
  ASSERT_NE(port, 0);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  {
    MgmtClient client(port, MgmtWsdl());
    ASSERT_TRUE(client.Ready());
    MgmtCallResult params = client.Call(u"GetServerParams");
    ASSERT_TRUE(params.ok);
    EXPECT_TRUE(params.returned);
    ASSERT_EQ(params.outs[u"NumWorkThreads"].vt, VT_I4);
    EXPECT_EQ(params.outs[u"NumWorkThreads"].lVal, 3);

    MgmtCallResult before = client.Call(u"GetServerStats");
    ASSERT_TRUE(before.ok);
    ASSERT_EQ(before.outs[u"NumConnects"].vt, VT_I4);
    Exchange(port, "GET /index.htm HTTP/1.0\r\n\r\n");
    MgmtCallResult after = client.Call(u"GetServerStats");
    ASSERT_TRUE(after.ok);
    ASSERT_EQ(after.outs[u"NumConnects"].vt, VT_I4);
    EXPECT_GE(after.outs[u"NumConnects"].lVal, before.outs[u"NumConnects"].lVal + 2);

    MgmtCallResult logs = client.Call(u"GetLogSettings");
    ASSERT_TRUE(logs.ok);
    EXPECT_TRUE(logs.returned);
    EXPECT_EQ(logs.outs.count(u"ServerLogPath"), 1u);

    // The MIME map set as the class lays it out comes back the same way.
    const MimeEntries mime = {
        {u".htm", u"text/html"}, {u".qvx", u"application/x-qv"}, {u".txt", u"text/plain"}};
    Args http;
    http.emplace_back(u"DocRootPath", Variant::FromText(text::Widen((dir_ / "www").string())));
    http.emplace_back(u"DefaultFilePath", Variant::FromText(u"index.htm"));
    http.emplace_back(u"MIMETypes", MimeTypesOf(mime));
    MgmtCallResult set = client.Call(u"SetHTTPSettings", http);
    ASSERT_TRUE(set.ok);
    EXPECT_TRUE(set.returned) << set.answer;
    MgmtCallResult got = client.Call(u"GetHTTPSettings");
    ASSERT_TRUE(got.ok);
    EXPECT_EQ(MimeEntriesOf(got.outs[u"MIMETypes"]), mime) << got.answer;
  }
  CoUninitialize();
  StopService();
}

// The endpoint list read, one endpoint added and one changed through the
// message-object client: read back, in force at once, written to the file
// and found again after a restart.
TEST_F(BraskelMgmtHttpTest, EndpointListChangedIsInForceAtOnceAndSurvivesARestart) {
  uint16_t port = StartService();
  ASSERT_NE(port, 0);
  const std::u16string echoWsdl = u"file://" + text::Widen(EchoWsdl());
  const Svc mgmt{u"/QVSOAPSvrCP",
                 u"QVSOAPSvrMgr",
                 u"QVSOAPSvrMgrPort",
                 u"file://" + text::Widen(MgmtWsdl().string()),
                 u"braskel.braskelmgr2",
                 {},
                 {},
                 u"",
                 u"",
                 true};
  const Svc echo{u"/echo", u"EchoService", u"EchoPort", echoWsdl, u"QvTest.Echo", {}, {}, u"", u"",
                 true};
  // A wildcard endpoint with two roles; /echo gets two header processors
  // and a role, and is disabled.
  const Svc more{u"/more/*",
                 u"EchoService",
                 u"EchoPort",
                 echoWsdl,
                 u"QvTest.Echo",
                 {},
                 {u"urn:qv:role:a", u"urn:qv:role:b"},
                 u"",
                 u"urn:qv:node",
                 true};
  Svc echoOff = echo;
  echoOff.headers = {u"QvTest.HeaderOne", u"QvTest.HeaderAccept"};
  echoOff.roles = {u"urn:qv:role:c"};
  echoOff.enabled = false;
  const std::vector<Svc> changed = {mgmt, echoOff, more};  // ascending request URI

  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  {
    MgmtClient client(port, MgmtWsdl());
    ASSERT_TRUE(client.Ready());
    EXPECT_EQ(ReadServiceInfo(client), (std::vector<Svc>{mgmt, echo}));
    EXPECT_TRUE(IsEchoOf(PostEcho(port, "/echo", "before"), "before"));
    EXPECT_FALSE(IsEchoOf(PostEcho(port, "/more/x", "before"), "before"));

    Args args;
    args.emplace_back(u"SvcInfo", SvcInfoOf({more, echoOff}));
    MgmtCallResult set = client.Call(u"SetServiceInfo", args);
    ASSERT_TRUE(set.ok);
    EXPECT_TRUE(set.returned) << set.answer;
    EXPECT_EQ(ReadServiceInfo(client), changed);
    const HttpReply viaMore = PostEcho(port, "/more/deeper", "at once");
    EXPECT_TRUE(IsEchoOf(viaMore, "at once")) << viaMore.status << "\n" << viaMore.body;
    EXPECT_FALSE(IsEchoOf(PostEcho(port, "/echo", "off"), "off"));
  }
  CoUninitialize();
  StopService();

  const std::string config = ReadFile(dir_ / "brevla-config.xml");
  for (const char* written :
       {"<requestURI>/more/*</requestURI>", "<uri>urn:qv:role:a</uri>", "<uri>urn:qv:role:b</uri>",
        "<nodeURI>urn:qv:node</nodeURI>", "<progId>QvTest.HeaderOne</progId>",
        "<progId>QvTest.HeaderAccept</progId>", "<uri>urn:qv:role:c</uri>"}) {
    EXPECT_NE(config.find(written), std::string::npos) << written << "\n" << config;
  }
  // The switch SvcInfo does not carry stays as it was.
  const size_t echoAt = config.find("<requestURI>/echo</requestURI>");
  ASSERT_NE(echoAt, std::string::npos) << config;
  const std::string echoEntry = config.substr(echoAt, config.find("</endpoint>", echoAt) - echoAt);
  EXPECT_NE(echoEntry.find("<enableExplicitTyping>true</enableExplicitTyping>"), std::string::npos)
      << echoEntry;

  port = StartService();
  ASSERT_NE(port, 0);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  {
    MgmtClient client(port, MgmtWsdl());
    ASSERT_TRUE(client.Ready());
    EXPECT_EQ(ReadServiceInfo(client), changed);
    EXPECT_TRUE(IsEchoOf(PostEcho(port, "/more/again", "again"), "again"));
    EXPECT_FALSE(IsEchoOf(PostEcho(port, "/echo", "still off"), "still off"));
  }
  CoUninitialize();
  StopService();
}

// An endpoint list the class cannot take whole changes nothing, neither the
// running list nor the file.
TEST_F(BraskelMgmtHttpTest, MalformedEndpointListChangesNothing) {
  const uint16_t port = StartService();
  ASSERT_NE(port, 0);
  auto item = [](const std::string& uri) {
    return "<item><SvcURI>" + uri +
           "</SvcURI><SvcName>EchoService</SvcName><Port>EchoPort</Port>"
           "<WSDL_URL>file://" +
           EchoWsdl() +
           "</WSDL_URL><SvcProgID>QvTest.Echo</SvcProgID>"
           "<HdrProgIDs SOAP-ENC:arrayType=\"xsd:string[0]\"/>"
           "<Roles SOAP-ENC:arrayType=\"xsd:string[0]\"/><NextHopURL></NextHopURL>"
           "<NodeURI></NodeURI><Enabled>true</Enabled></item>";
  };
  auto list = [](const std::vector<std::string>& items) {
    std::string s =
        "<SvcInfo xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
        "xmlns:t=\"urn:quorvel:QVSOAPSvrMgr\" SOAP-ENC:arrayType=\"t:SvcInfo[" +
        std::to_string(items.size()) + "]\">";
    for (const std::string& i : items) s += i;
    return s + "</SvcInfo>";
  };
  const std::string listBefore = Call(port, "GetServiceInfo")["body"];
  const std::string configBefore = ReadFile(dir_ / "brevla-config.xml");
  ASSERT_NE(listBefore.find("/echo"), std::string::npos) << listBefore;

  const struct {
    const char* what;
    std::string svcInfo;
  } cases[] = {
      // Such an endpoint could never be reached.
      {"a SvcURI without a leading slash", list({item("relative")})},
      {"a wildcard without a leading slash", list({item("relative/*")})},
      // The good first element is not taken either.
      {"an empty SvcURI after a good one", list({item("/fine"), item("")})},
      {"a nil element after a good one", list({item("/fine"), "<item xsi:nil=\"true\"/>"})},
  };
  for (const auto& c : cases) {
    auto r = Call(port, "SetServiceInfo", c.svcInfo);
    EXPECT_EQ(r["status"], "HTTP/1.1 200 OK") << c.what << "\n" << r["raw"];
    EXPECT_TRUE(BoolText(r["Result"], false)) << c.what << "\n" << r["raw"];
  }
  // A string where the array belongs does not decode as the operation's
  // input: a Client fault, before the class is called.
  auto text = Call(port, "SetServiceInfo", "<SvcInfo xsi:type=\"xsd:string\">/x</SvcInfo>");
  EXPECT_EQ(text["status"], "HTTP/1.1 500 Internal Server Error") << text["raw"];
  EXPECT_NE(text["body"].find(":Client</faultcode>"), std::string::npos) << text["raw"];

  EXPECT_EQ(Call(port, "GetServiceInfo")["body"], listBefore);
  EXPECT_EQ(ReadFile(dir_ / "brevla-config.xml"), configBefore);
  StopService();
}

// Management changes made while clients post to the echo endpoint: every
// echo is answered, every change is taken, and the server ends consistent.
TEST_F(BraskelMgmtHttpTest, ChangesWhileALoadRunsFailNoRequest) {
  const uint16_t port = StartService();
  ASSERT_NE(port, 0);
  // Each load thread posts at least kMinRequests and goes on while the
  // changes are being made, up to kMaxRequests.
  constexpr int kLoadThreads = 3, kMinRequests = 20, kMaxRequests = 400, kRounds = 12;
  std::atomic<bool> changesDone{false};
  std::atomic<int> sent{0}, answered{0}, failed{0};
  std::mutex failureMu;
  std::string firstFailure;  // Guarded by failureMu.
  std::vector<std::thread> load;
  for (int t = 0; t < kLoadThreads; ++t) {
    load.emplace_back([&, t] {
      for (int i = 0; i < kMaxRequests && (i < kMinRequests || !changesDone); ++i) {
        const std::string value = "load-" + std::to_string(t) + "-" + std::to_string(i);
        ++sent;
        const HttpReply r = PostEcho(port, "/echo", value);
        if (IsEchoOf(r, value)) {
          ++answered;
          continue;
        }
        ++failed;
        std::lock_guard<std::mutex> lock(failureMu);
        if (firstFailure.empty()) {
          firstFailure = value + ": " + std::to_string(r.status) + "\n" + r.body;
        }
      }
    });
  }

  const std::u16string echoWsdl = u"file://" + text::Widen(EchoWsdl());
  const std::u16string docRoot = text::Widen((dir_ / "www").string());
  auto roundMime = [](int k) {
    MimeEntries mime;
    for (int j = 0; j <= k; ++j) {
      const std::u16string n = text::Widen(std::to_string(100 + j));
      mime.emplace_back(u".q" + n, u"application/x-q" + n);
    }
    return mime;
  };
  auto extra = [&](int k) {
    return Svc{u"/extra" + text::Widen(std::to_string(100 + k)),
               u"EchoService",
               u"EchoPort",
               echoWsdl,
               u"QvTest.Echo",
               {},
               {u"urn:qv:role:" + text::Widen(std::to_string(k))},
               u"",
               u"",
               true};
  };
  std::vector<std::string> refusedCalls;  // written by the manager thread only
  std::thread manager([&] {
    if (CoInitialize(nullptr) != S_OK) {
      refusedCalls.push_back("CoInitialize");
      changesDone = true;
      return;
    }
    {
      MgmtClient client(port, MgmtWsdl());
      if (!client.Ready()) refusedCalls.push_back("the management WSDL did not load");
      for (int k = 0; k < kRounds && client.Ready(); ++k) {
        auto call = [&](const char16_t* op, const Args& args) {
          MgmtCallResult r = client.Call(op, args);
          if (!r.ok || !r.returned) {
            refusedCalls.push_back(text::Narrow(op) + " in round " + std::to_string(k) + ":\n" +
                                   r.answer);
          }
          return r;
        };
        Args http;
        http.emplace_back(u"DocRootPath", Variant::FromText(docRoot));
        http.emplace_back(u"DefaultFilePath", Variant::FromText(u"index.htm"));
        http.emplace_back(u"MIMETypes", MimeTypesOf(roundMime(k)));
        call(u"SetHTTPSettings", http);
        Args logs;
        for (const char* name : {"Server", "UserAgent", "SOAPTrace"}) {
          logs.emplace_back(text::Widen(std::string(name) + "LogPath"),
                            Variant::FromText(text::Widen(
                                (dir_ / ("load-" + std::string(name) + ".log")).string())));
        }
        for (const char* name : {"Server", "UserAgent", "SOAPTrace"}) {
          logs.emplace_back(text::Widen(std::string(name) + "LogEnabled"),
                            Variant::FromBool(k % 2 == 0));
        }
        call(u"SetLogSettings", logs);
        Args svc;
        svc.emplace_back(u"SvcInfo", SvcInfoOf({extra(k)}));
        call(u"SetServiceInfo", svc);
        MgmtCallResult got = call(u"GetHTTPSettings", {});
        if (MimeEntriesOf(got.outs[u"MIMETypes"]) != roundMime(k)) {
          refusedCalls.push_back("the MIME map read back in round " + std::to_string(k) +
                                 " is not the one set:\n" + got.answer);
        }
        call(u"GetLogSettings", {});
        call(u"GetServiceInfo", {});
        call(u"GetServerStats", {});
      }
    }
    CoUninitialize();
    changesDone = true;
  });
  for (std::thread& t : load) t.join();
  manager.join();

  EXPECT_EQ(failed.load(), 0) << firstFailure;
  RecordProperty("echo_requests", sent.load());
  EXPECT_EQ(answered.load(), sent.load());
  EXPECT_GE(sent.load(), kLoadThreads * kMinRequests);
  EXPECT_TRUE(refusedCalls.empty()) << refusedCalls.size() << " calls, the first:\n"
                                    << refusedCalls.front();
  ASSERT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "the server is gone";

  // The last change of each kind is the one in force.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  {
    MgmtClient client(port, MgmtWsdl());
    ASSERT_TRUE(client.Ready());
    const std::vector<Svc> endpoints = ReadServiceInfo(client);
    ASSERT_EQ(endpoints.size(), size_t(kRounds + 2));
    for (int k = 0; k < kRounds; ++k) EXPECT_EQ(endpoints[size_t(2 + k)], extra(k));
    MgmtCallResult http = client.Call(u"GetHTTPSettings");
    EXPECT_EQ(MimeEntriesOf(http.outs[u"MIMETypes"]), roundMime(kRounds - 1)) << http.answer;
    MgmtCallResult logs = client.Call(u"GetLogSettings");
    ASSERT_EQ(logs.outs[u"ServerLogEnabled"].vt, VT_BOOL) << logs.answer;
    EXPECT_EQ(logs.outs[u"ServerLogEnabled"].boolVal == VARIANT_TRUE, (kRounds - 1) % 2 == 0);
    const std::string last = "/extra" + std::to_string(100 + kRounds - 1);
    EXPECT_TRUE(IsEchoOf(PostEcho(port, last, "last"), "last"));
    EXPECT_TRUE(IsEchoOf(PostEcho(port, "/echo", "after"), "after"));
  }
  CoUninitialize();
  StopService();
  const std::string config = ReadFile(dir_ / "brevla-config.xml");
  EXPECT_NE(config.find("<requestURI>/extra" + std::to_string(100 + kRounds - 1) + "<"),
            std::string::npos)
      << config;
  EXPECT_NE(config.find("application/x-q" + std::to_string(100 + kRounds - 1)), std::string::npos)
      << config;
}

// An independent SOAP client, given only the WSDL document the server serves,
// reads the statistics and the parameters.
TEST_F(BraskelMgmtHttpTest, IndependentClientReadsStatisticsAndParameters) {
  if (system((kPython + " -c 'import suds' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "python3-suds is not installed";
  const uint16_t port = StartService();
  ASSERT_NE(port, 0);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  const std::string command = kPython + " " + QV_SUDS_SCRIPT + " " + base +
                              "/wsdl/QVSOAPSvrCP.wsdl " + base + "/QVSOAPSvrCP 2>&1";
  std::string output;
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) output.append(buf, n);
  EXPECT_EQ(pclose(p), 0) << output;
  for (const char* line :
       {"GetServerStats.Result=True", "GetServerParams.Result=True",
        "GetServerParams.NumWorkThreads=3", "GetServerParams.ListenPort=0",
        "GetServerParams.ClientTimeout=60", "GetHTTPSettings.DefaultFilePath=index.htm",
        // The order the client saw on the wire, as the description gives it.
        "GetServerParams.order=Result ListenPort NumWorkThreads NumClientConn ClientTimeout "
        "WatchdogTimer",
        "GetHTTPSettings.order=Result DocRootPath DefaultFilePath MIMETypes"}) {
    EXPECT_NE(output.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << output;
  }
  EXPECT_NE(output.find("GetServerStats.NumConnects="), std::string::npos) << output;
  StopService();
}

}  // namespace
}  // namespace server
