#include "server/soap/management.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/braskelmgr.h"
#include "interfaces/soapstruct.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"
#include "server/http/server_core.h"
#include "server/soap/soap_server.h"
#include "server/http/testing/loopback_client.h"
#include "server/http/testing/test_files.h"
#include "server/soap/wsdl_cache.h"

namespace server {
namespace {

namespace fs = std::filesystem;

const std::string kConfig =
    "<configuration><listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>"
    "<numWorkThreads>3</numWorkThreads><maxClients>7</maxClients>"
    "<clientTimeout>9</clientTimeout><watchdogInterval>11</watchdogInterval>"
    "<endpointList>"
    "<endpoint><requestURI>/b</requestURI><wsdlService>SB</wsdlService><wsdlPort>PB</wsdlPort>"
    "<wsdlDocURL>b.wsdl</wsdlDocURL><bodyProcessingProgId>b.body</bodyProcessingProgId>"
    "<enabled>true</enabled><enableLoopback>true</enableLoopback></endpoint>"
    "<endpoint><requestURI>/a/*</requestURI><wsdlService>SA</wsdlService><wsdlPort>PA</wsdlPort>"
    "<wsdlDocURL>a.wsdl</wsdlDocURL><bodyProcessingProgId>a.body</bodyProcessingProgId>"
    "<headerProcessingProgIds><progId>h.one</progId><progId>h.two</progId>"
    "</headerProcessingProgIds><roles><uri>urn:r</uri></roles><nodeURI>urn:n</nodeURI>"
    "<nextHopURL>http://127.0.0.1:9/x</nextHopURL><enabled>false</enabled></endpoint>"
    "<endpoint><requestURI>/c</requestURI><wsdlService>SC</wsdlService><wsdlPort>PC</wsdlPort>"
    "<wsdlDocURL>c.wsdl</wsdlDocURL><bodyProcessingProgId>c.body</bodyProcessingProgId>"
    "<enabled>true</enabled>"
    "<enableExplicitTyping>true</enableExplicitTyping></endpoint>"
    "</endpointList>"
    "<mimeMappings><item><extension>.HTM</extension><mimeType>text/html</mimeType></item>"
    "<item><extension>.GIF</extension><mimeType>image/gif</mimeType></item></mimeMappings>"
    "</configuration>";

std::u16string Text(const VARIANT& v) {
  return v.vt == VT_BSTR ? std::u16string(BstrView(v.bstrVal)) : u"<not a string>";
}

// A one-dimensional VT_ARRAY|VT_VARIANT holding `items` (moved in).
Variant VariantArray(std::vector<Variant> items) {
  Variant out;
  SAFEARRAY* a = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    const LONG index = LONG(i);
    SafeArrayPutElement(a, &index, &items[i]);
  }
  out.vt = VT_ARRAY | VT_VARIANT;
  out.parray = a;
  return out;
}

Variant TextArray(const std::vector<std::u16string>& items) {
  std::vector<Variant> v;
  for (const auto& s : items) v.push_back(Variant::FromText(s));
  return VariantArray(std::move(v));
}

// A 2 x n MIMETypes array as the class gives it.
Variant MimeArray(const std::vector<std::pair<std::u16string, std::u16string>>& entries) {
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {ULONG(entries.size()), 0}};
  SAFEARRAY* a = SafeArrayCreate(VT_VARIANT, 2, bounds);
  for (size_t i = 0; i < entries.size(); ++i) {
    const LONG ext[2] = {0, LONG(i)}, type[2] = {1, LONG(i)};
    Variant e = Variant::FromText(entries[i].first), t = Variant::FromText(entries[i].second);
    SafeArrayPutElement(a, ext, &e);
    SafeArrayPutElement(a, type, &t);
  }
  Variant out;
  out.vt = VT_ARRAY | VT_VARIANT;
  out.parray = a;
  return out;
}

Variant Member(ISoapStruct* s, const char16_t* name) {
  Variant v;
  VARIANT_BOOL ok = VARIANT_FALSE;
  Bstr n{std::u16string_view(name)};
  s->GetMember(n.Get(), &v, &ok);
  return v;
}

std::vector<std::u16string> TextList(const VARIANT& v) {
  std::vector<std::u16string> out;
  if (v.vt != (VT_ARRAY | VT_VARIANT) || SafeArrayGetDim(v.parray) != 1) return {u"<not a list>"};
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(v.parray, 1, &lo);
  SafeArrayGetUBound(v.parray, 1, &hi);
  for (LONG i = lo; i <= hi; ++i) {
    Variant e;
    SafeArrayGetElement(v.parray, &i, &e);
    out.push_back(Text(e));
  }
  return out;
}

class ManagementTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string command = std::string(QV_REGCOMP) + " -s " + QV_SOAPSTRUCT_COMPONENT;
    ASSERT_EQ(system(command.c_str()), 0);
  }

  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    dir_ = server_testing::FreshTestDir("qvmgmt");
    server_testing::WriteFile(dir_ / kConfigFileName, kConfig);
    Start();
  }
  void TearDown() override {
    mgr_.Reset();
    server_.reset();
    CoUninitialize();
    fs::remove_all(dir_);
  }

  // (Re)starts the server from the file beside it, with a fresh object.
  void Start() {
    mgr_.Reset();
    server_.reset();
    server_ = std::make_unique<SoapServer>((dir_ / "braskel").string(),
                                           [this](const std::string& l) { lines_.push_back(l); });
    server_->SetStartPauseForTest(std::chrono::milliseconds(0));
    ASSERT_TRUE(server_->InitServer());
    ASSERT_EQ(CreateManagementObject(server_.get(), Ibraskelmgr2::kIid, mgr_.ReceiveVoid()), S_OK);
  }

  ComPtr<ISoapStruct> NewStruct() {
    ComPtr<ISoapStruct> s;
    EXPECT_EQ(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_INPROC_SERVER, ISoapStruct::kIid,
                               s.ReceiveVoid()),
              S_OK);
    return s;
  }

 public:
  void Put(ISoapStruct* s, const char16_t* name, const VARIANT& value) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr n{std::u16string_view(name)};
    ASSERT_EQ(s->SetMember(n.Get(), value, &ok), S_OK);
    ASSERT_EQ(ok, VARIANT_TRUE);
  }

 protected:
  // A complete, valid endpoint struct.
  ComPtr<ISoapStruct> Endpoint(const std::u16string& uri, VARIANT_BOOL enabled = VARIANT_TRUE) {
    ComPtr<ISoapStruct> s = NewStruct();
    Put(s.Get(), u"SvcURI", Variant::FromText(uri));
    Put(s.Get(), u"SvcName", Variant::FromText(u"Svc"));
    Put(s.Get(), u"Port", Variant::FromText(u"SvcPort"));
    Put(s.Get(), u"WSDL_URL", Variant::FromText(u"svc.wsdl"));
    Put(s.Get(), u"SvcProgID", Variant::FromText(u"svc.body"));
    Put(s.Get(), u"HdrProgIDs", TextArray({u"h.x", u"h.y"}));
    Put(s.Get(), u"Roles", TextArray({}));
    Put(s.Get(), u"NextHopURL", Variant::FromText(u""));
    Put(s.Get(), u"NodeURI", Variant::FromText(u"urn:node"));
    Variant b;
    b.vt = VT_BOOL;
    b.boolVal = enabled;
    Put(s.Get(), u"Enabled", b);
    return s;
  }
  static Variant AsElement(ISoapStruct* s) {
    Variant v;
    v.vt = VT_DISPATCH;
    v.pdispVal = s;
    s->AddRef();
    return v;
  }
  Variant SvcInfo(std::vector<ComPtr<ISoapStruct>> structs) {
    std::vector<Variant> items;
    for (auto& s : structs) items.push_back(AsElement(s.Get()));
    return VariantArray(std::move(items));
  }
  bool SetServiceInfo(const VARIANT& info) {
    VARIANT_BOOL result = VARIANT_FALSE;
    EXPECT_EQ(mgr_->SetServiceInfo(info, &result), S_OK);
    return result == VARIANT_TRUE;
  }
  std::vector<ComPtr<ISoapStruct>> GetServiceInfo() {
    Variant info;
    VARIANT_BOOL result = VARIANT_FALSE;
    EXPECT_EQ(mgr_->GetServiceInfo(&info, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    std::vector<ComPtr<ISoapStruct>> out;
    EXPECT_EQ(info.vt, VT_ARRAY | VT_VARIANT);
    if (info.vt != (VT_ARRAY | VT_VARIANT)) return out;
    EXPECT_EQ(SafeArrayGetDim(info.parray), 1u);
    LONG lo = -1, hi = -1;
    SafeArrayGetLBound(info.parray, 1, &lo);
    SafeArrayGetUBound(info.parray, 1, &hi);
    EXPECT_EQ(lo, 0);
    for (LONG i = lo; i <= hi; ++i) {
      Variant e;
      SafeArrayGetElement(info.parray, &i, &e);
      EXPECT_EQ(e.vt, VT_DISPATCH);
      if (e.vt == VT_DISPATCH) out.push_back(com::QueryInterfacePtr<ISoapStruct>(e.pdispVal));
    }
    return out;
  }
  std::string ConfigText() { return server_testing::ReadFile(dir_ / kConfigFileName); }

  fs::path dir_;
  std::vector<std::string> lines_;
  std::unique_ptr<SoapServer> server_;
  ComPtr<Ibraskelmgr2> mgr_;
};

TEST(SaturatedLongTest, CountersAboveTheLongRangeReportTheLargestLong) {
  const struct {
    uint64_t in;
    LONG out;
  } cases[] = {{0, 0},
               {12345, 12345},
               {2147483647ull, 2147483647},
               {2147483648ull, 2147483647},
               {~0ull, 2147483647}};
  for (const auto& c : cases) EXPECT_EQ(SaturatedLong(c.in), c.out) << c.in;
}

TEST_F(ManagementTest, StatisticsMoveWithTrafficAndParametersAreTheStartUpValues) {
  LONG connects = -1, sent = -1, http = -1, net = -1, internal = -1;
  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(mgr_->GetServerStats(&connects, &sent, &http, &net, &internal, &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  const LONG sentBefore = sent, httpBefore = http, connectsBefore = connects;
  {
    server_testing::LoopbackClient client(server_->Core()->ListeningPort(0));
    ASSERT_TRUE(client.Connected());
    // 405 counts as an HTTP error.
    ASSERT_TRUE(client.Send("PUT /x HTTP/1.0\r\n\r\n"));
    EXPECT_NE(client.ReadAll().find("405"), std::string::npos);
  }
  // The counters are final once the connection's slot is back.
  for (int i = 0; i < 500 && server_->Core()->Stats().activeConnections.load() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(mgr_->GetServerStats(&connects, &sent, &http, &net, &internal, &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_EQ(connects, connectsBefore + 1);
  EXPECT_GT(sent, sentBefore);
  EXPECT_EQ(http, httpBefore + 1);

  LONG port = -1, threads = -1, slots = -1, timeout = -1, watchdog = -1;
  ASSERT_EQ(mgr_->GetServerParams(&port, &threads, &slots, &timeout, &watchdog, &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_EQ(port, 0);  // as configured: 0 binds a free port
  EXPECT_EQ(threads, 3);
  EXPECT_EQ(slots, 7);
  EXPECT_EQ(timeout, 9);
  EXPECT_EQ(watchdog, 11);
}

TEST_F(ManagementTest, ServiceInfoListsEndpointsInTableOrderWithEveryMember) {
  std::vector<ComPtr<ISoapStruct>> list = GetServiceInfo();
  ASSERT_EQ(list.size(), 3u);
  for (const auto& s : list) ASSERT_TRUE(s);
  EXPECT_EQ(Text(Member(list[0].Get(), u"SvcURI")), u"/a/*");
  EXPECT_EQ(Text(Member(list[1].Get(), u"SvcURI")), u"/b");
  EXPECT_EQ(Text(Member(list[2].Get(), u"SvcURI")), u"/c");

  ISoapStruct* a = list[0].Get();
  LONG count = 0;
  VARIANT_BOOL ok = VARIANT_FALSE;
  a->GetMemberCount(&count, &ok);
  EXPECT_EQ(count, 10);
  EXPECT_EQ(Text(Member(a, u"SvcName")), u"SA");
  EXPECT_EQ(TextList(Member(a, u"HdrProgIDs")), (std::vector<std::u16string>{u"h.one", u"h.two"}));
  EXPECT_EQ(TextList(Member(a, u"Roles")), (std::vector<std::u16string>{u"urn:r"}));
  EXPECT_EQ(Text(Member(a, u"NextHopURL")), u"http://127.0.0.1:9/x");
  EXPECT_EQ(Text(Member(a, u"NodeURI")), u"urn:n");
  const Variant enabledA = Member(a, u"Enabled");
  EXPECT_EQ(enabledA.vt, VT_BOOL);
  EXPECT_EQ(enabledA.boolVal, VARIANT_FALSE);

  ISoapStruct* b = list[1].Get();
  EXPECT_EQ(Text(Member(b, u"Port")), u"PB");
  EXPECT_EQ(Text(Member(b, u"WSDL_URL")), u"b.wsdl");
  EXPECT_EQ(Text(Member(b, u"SvcProgID")), u"b.body");
  EXPECT_EQ(TextList(Member(b, u"HdrProgIDs")), std::vector<std::u16string>{});
  EXPECT_EQ(Member(b, u"Enabled").boolVal, VARIANT_TRUE);
}

TEST_F(ManagementTest, ServiceInfoIsFalseAndEmptyWhenNoStructCanBeCreated) {
  const std::string unregister = std::string(QV_REGCOMP) + " -u -s " + QV_SOAPSTRUCT_COMPONENT;
  ASSERT_EQ(system(unregister.c_str()), 0);
  Variant info;
  VARIANT_BOOL result = VARIANT_TRUE;
  EXPECT_EQ(mgr_->GetServiceInfo(&info, &result), S_OK);
  SetUpTestSuite();  // registered again for the tests that follow
  EXPECT_EQ(result, VARIANT_FALSE);
  EXPECT_EQ(info.vt, VT_EMPTY);
}

TEST_F(ManagementTest, SetServiceInfoMergesKeepsSwitchesAndSurvivesARestart) {
  const ConfigSnapshotPtr before = server_->Config();
  // /b exists (its loopback switch is on); /new does not; Enabled holding 1
  // is not VARIANT_TRUE.
  ComPtr<ISoapStruct> changed = Endpoint(u"/b/*", VARIANT_BOOL(1));
  ComPtr<ISoapStruct> added = Endpoint(u"/new");
  ASSERT_TRUE(SetServiceInfo(SvcInfo({changed, added})));

  const ConfigSnapshotPtr after = server_->Config();
  EXPECT_NE(after, before) << "published as a new snapshot";
  EXPECT_EQ(before->endpoints.at("/b").wsdlService, u"SB") << "a reader's snapshot is untouched";
  ASSERT_EQ(after->endpoints.size(), 4u);
  const EndpointInfo& b = after->endpoints.at("/b");
  EXPECT_TRUE(b.wildcard);
  EXPECT_FALSE(b.enabled);
  EXPECT_TRUE(b.enableLoopback);
  EXPECT_EQ(b.wsdlService, u"Svc");
  EXPECT_EQ(b.headerProcessingProgIds, (std::vector<std::u16string>{u"h.x", u"h.y"}));
  const EndpointInfo& n = after->endpoints.at("/new");
  EXPECT_TRUE(n.enabled);
  EXPECT_FALSE(n.enableLoopback || n.enableExplicitTyping || n.enableNodeType);
  EXPECT_TRUE(after->endpoints.at("/c").enableExplicitTyping) << "unmentioned endpoints stay";

  Start();  // reads the rewritten file
  EXPECT_EQ(server_->Config()->endpoints, after->endpoints);
  std::vector<ComPtr<ISoapStruct>> list = GetServiceInfo();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(Text(Member(list[1].Get(), u"SvcURI")), u"/b/*");
}

// The list given back unchanged still flushes the WSDL readers (a document
// may have changed behind its URL); a refused list does not.
TEST_F(ManagementTest, SetServiceInfoAsksForAWsdlCacheFlush) {
  WsdlCache* cache = server_->WsdlReaders();
  ASSERT_NE(cache, nullptr);
  ASSERT_FALSE(cache->FlushPending());
  EXPECT_FALSE(SetServiceInfo(Variant::FromText(u"/a")));
  EXPECT_FALSE(cache->FlushPending());
  ASSERT_TRUE(SetServiceInfo(SvcInfo(GetServiceInfo())));
  EXPECT_TRUE(cache->FlushPending());
}

TEST_F(ManagementTest, NonAsciiTextSurvivesRoundTripsAsUtf8) {
  ASSERT_TRUE(SetServiceInfo(SvcInfo({Endpoint(u"/caf\u00E9")})));
  const std::u16string root = u"/srv/d\u00F6c/\u6587/";
  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(mgr_->SetHTTPSettings(Bstr(root).Get(), Bstr(u"\u00EDndex.htm").Get(),
                                  MimeArray({{u".htm", u"text/html"}}), &result),
            S_OK);
  ASSERT_EQ(result, VARIANT_TRUE);
  for (int round = 0; round < 3; ++round) {
    std::vector<ComPtr<ISoapStruct>> list = GetServiceInfo();
    ASSERT_EQ(list.size(), 4u);
    ASSERT_TRUE(SetServiceInfo(SvcInfo(list)));
    BSTR docRoot = nullptr, document = nullptr;
    Variant mime;
    ASSERT_EQ(mgr_->GetHTTPSettings(&docRoot, &document, &mime, &result), S_OK);
    ASSERT_EQ(mgr_->SetHTTPSettings(docRoot, document, mime, &result), S_OK);
    EXPECT_EQ(BstrView(docRoot), root);
    SysFreeString(docRoot);
    SysFreeString(document);
  }
  EXPECT_EQ(server_->Config()->docBasePath,
            "/srv/d\xC3\xB6"
            "c/\xE6\x96\x87/");
  EXPECT_EQ(server_->Config()->endpoints.count("/caf\xC3\xA9"), 1u);
  EXPECT_NE(ConfigText().find("<requestURI>/caf\xC3\xA9</requestURI>"), std::string::npos);
}

// Input of the wrong form changes nothing, whichever element is wrong.
TEST_F(ManagementTest, SetServiceInfoRefusesMalformedInputAndChangesNothing) {
  using Mutate = std::function<void(ManagementTest*, ISoapStruct*)>;
  auto member = [](const char16_t* name, std::function<Variant()> make) -> Mutate {
    return [name, make](ManagementTest* t, ISoapStruct* s) { t->Put(s, name, make()); };
  };
  auto remove = [](const char16_t* name) -> Mutate {
    return [name](ManagementTest*, ISoapStruct* s) {
      VARIANT_BOOL ok;
      s->RemoveMember(Bstr(std::u16string_view(name)).Get(), &ok);
    };
  };
  const struct {
    const char* what;
    Mutate mutate;
  } cases[] = {
      {"SvcURI a number", member(u"SvcURI", [] { return Variant::FromI4(7); })},
      {"SvcURI missing", remove(u"SvcURI")},
      {"SvcURI without a leading slash", member(u"SvcURI", [] { return Variant::FromText(u"a"); })},
      {"SvcURI a wildcard without a leading slash",
       member(u"SvcURI", [] { return Variant::FromText(u"a/*"); })},
      {"SvcName a boolean", member(u"SvcName", [] { return Variant::FromBool(true); })},
      {"HdrProgIDs a string", member(u"HdrProgIDs", [] { return Variant::FromText(u"h"); })},
      {"Roles holding a number", member(u"Roles",
                                        [] {
                                          std::vector<Variant> v;
                                          v.push_back(Variant::FromI4(1));
                                          return VariantArray(std::move(v));
                                        })},
      {"Roles two-dimensional", member(u"Roles",
                                       [] {
                                         return MimeArray({{u"a", u"b"}});
                                       })},
      {"Enabled a string", member(u"Enabled", [] { return Variant::FromText(u"true"); })},
      // Text the configuration file cannot hold.
      {"SvcName with a control", member(u"SvcName", [] { return Variant::FromText(u"a\u0001"); })},
      {"NodeURI with a lone surrogate",
       member(u"NodeURI", [] { return Variant::FromText(std::u16string(1, char16_t(0xD800))); })},
      {"a role with U+FFFF", member(u"Roles", [] { return TextArray({u"\uFFFF"}); })},
  };
  const std::string fileBefore = ConfigText();
  const ConfigSnapshotPtr before = server_->Config();
  for (const auto& c : cases) {
    // A valid first element: it must not be applied either.
    ComPtr<ISoapStruct> bad = Endpoint(u"/bad");
    c.mutate(this, bad.Get());
    EXPECT_FALSE(SetServiceInfo(SvcInfo({Endpoint(u"/good"), bad}))) << c.what;
  }

  Variant text = Variant::FromText(u"not an array");
  Variant twoDims = MimeArray({{u"x", u"y"}});
  std::vector<Variant> items;
  items.push_back(Variant::FromText(u"/a"));
  Variant stringElement = VariantArray(std::move(items));
  items.clear();
  items.push_back(AsElement(Endpoint(u"/good").Get()));
  {
    // An IDispatch that is no struct.
    ComPtr<IDispatch> other;
    ASSERT_EQ(CreateManagementObject(nullptr, IID_IDispatch, other.ReceiveVoid()), S_OK);
    Variant d;
    d.vt = VT_DISPATCH;
    d.pdispVal = other.Detach();
    items.push_back(std::move(d));
  }
  Variant notAStruct = VariantArray(std::move(items));
  Variant nullDispatch;
  {
    std::vector<Variant> v(1);
    v[0].vt = VT_DISPATCH;
    v[0].pdispVal = nullptr;
    nullDispatch = VariantArray(std::move(v));
  }
  Variant nullArray;
  nullArray.vt = VT_ARRAY | VT_VARIANT;
  nullArray.parray = nullptr;
  const std::vector<const VARIANT*> malformed = {&text,       &twoDims,      &stringElement,
                                                 &notAStruct, &nullDispatch, &nullArray};
  for (const VARIANT* v : malformed) {
    EXPECT_FALSE(SetServiceInfo(*v)) << "vt " << v->vt;
  }
  EXPECT_EQ(server_->Config(), before);
  EXPECT_EQ(ConfigText(), fileBefore);
}

TEST_F(ManagementTest, HttpSettingsReadBackAndMimeDuplicatesCompareWithoutCase) {
  BSTR root = nullptr, document = nullptr;
  Variant mime;
  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(mgr_->GetHTTPSettings(&root, &document, &mime, &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_EQ(BstrView(root), text::Widen(dir_.string() + "/docroot/"));
  EXPECT_EQ(BstrView(document), u"default.htm");
  SysFreeString(root);
  SysFreeString(document);
  ASSERT_EQ(mime.vt, VT_ARRAY | VT_VARIANT);
  ASSERT_EQ(SafeArrayGetDim(mime.parray), 2u);
  LONG hi1 = 0, hi2 = 0;
  SafeArrayGetUBound(mime.parray, 1, &hi1);
  SafeArrayGetUBound(mime.parray, 2, &hi2);
  EXPECT_EQ(hi1, 1);
  EXPECT_EQ(hi2, 1);
  const LONG ext0[2] = {0, 0}, type0[2] = {1, 0}, ext1[2] = {0, 1};
  Variant e0, t0, e1;
  SafeArrayGetElement(mime.parray, ext0, &e0);
  SafeArrayGetElement(mime.parray, type0, &t0);
  SafeArrayGetElement(mime.parray, ext1, &e1);
  EXPECT_EQ(Text(e0), u".GIF");  // ascending extension
  EXPECT_EQ(Text(t0), u"image/gif");
  EXPECT_EQ(Text(e1), u".HTM");

  ASSERT_EQ(mgr_->SetHTTPSettings(Bstr(u"/srv/www/").Get(), Bstr(u"index.html").Get(),
                                  MimeArray({{u".gif", u"image/gif"},
                                             {u".GIF", u"text/plain"},
                                             {u".Svg", u"image/svg+xml"}}),
                                  &result),
            S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  const ConfigSnapshotPtr config = server_->Config();
  EXPECT_EQ(config->mimeMap, (MimeMap{{".gif", "image/gif"}, {".Svg", "image/svg+xml"}}));
  EXPECT_EQ(config->docBasePath, "/srv/www/");
  EXPECT_EQ(config->defaultDocument, "index.html");
  EXPECT_NE(ConfigText().find("<extension>.Svg</extension>"), std::string::npos);

  // An empty map is a valid setting, and is written.
  ASSERT_EQ(mgr_->SetHTTPSettings(Bstr(u"/srv/www/").Get(), Bstr(u"index.html").Get(),
                                  MimeArray({}), &result),
            S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_TRUE(server_->Config()->mimeMap.empty());
  EXPECT_EQ(ConfigText().find("<extension>"), std::string::npos);
}

TEST_F(ManagementTest, SetHttpSettingsRefusesMalformedMimeTypesAndChangesNothing) {
  auto withBounds = [](ULONG first, ULONG second) {
    SAFEARRAYBOUND bounds[2] = {{first, 0}, {second, 0}};
    Variant v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreate(VT_VARIANT, 2, bounds);
    for (ULONG i = 0; i < first; ++i) {
      for (ULONG j = 0; j < second; ++j) {
        const LONG index[2] = {LONG(i), LONG(j)};
        Variant s = Variant::FromText(u"x");
        SafeArrayPutElement(v.parray, index, &s);
      }
    }
    return v;
  };
  Variant numberElement = MimeArray({{u".a", u"a/a"}});
  {
    const LONG index[2] = {1, 0};
    Variant n = Variant::FromI4(3);
    SafeArrayPutElement(numberElement.parray, index, &n);
  }
  Variant emptyElement = withBounds(2, 1);  // a VT_EMPTY element within the bounds
  {
    const LONG index[2] = {0, 0};
    Variant empty;
    SafeArrayPutElement(emptyElement.parray, index, &empty);
  }
  Variant byteArray;
  byteArray.vt = VT_ARRAY | VT_UI1;
  byteArray.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
  const struct {
    const char* what;
    Variant value;
  } cases[] = {
      {"a string", Variant::FromText(u".gif")},
      {"one dimension", TextArray({u".gif", u"image/gif"})},
      {"three rows", withBounds(3, 2)},
      {"one row", withBounds(1, 2)},
      {"a number element", std::move(numberElement)},
      {"an empty element", std::move(emptyElement)},
      {"bytes", std::move(byteArray)},
      {"a control in a type", MimeArray({{u".a", u"a/\u0007"}})},
  };
  const std::string fileBefore = ConfigText();
  const ConfigSnapshotPtr before = server_->Config();
  for (const auto& c : cases) {
    VARIANT_BOOL result = VARIANT_TRUE;
    ASSERT_EQ(
        mgr_->SetHTTPSettings(Bstr(u"/elsewhere/").Get(), Bstr(u"x.htm").Get(), c.value, &result),
        S_OK);
    EXPECT_EQ(result, VARIANT_FALSE) << c.what;
  }
  VARIANT_BOOL result = VARIANT_TRUE;
  ASSERT_EQ(mgr_->SetHTTPSettings(Bstr(std::u16string_view(u"/www\u0000/", 6)).Get(),
                                  Bstr(u"x.htm").Get(), MimeArray({}), &result),
            S_OK);
  EXPECT_EQ(result, VARIANT_FALSE) << "a NUL in the document root";
  result = VARIANT_TRUE;
  ASSERT_EQ(mgr_->SetLogSettings(Bstr(u"/s\u001B.log").Get(), Bstr(u"").Get(), Bstr(u"").Get(),
                                 VARIANT_TRUE, VARIANT_FALSE, VARIANT_FALSE, &result),
            S_OK);
  EXPECT_EQ(result, VARIANT_FALSE) << "an escape in a log path";
  EXPECT_EQ(server_->Config(), before);
  EXPECT_EQ(ConfigText(), fileBefore);
}

TEST_F(ManagementTest, LogSettingsChangeReopenTheLogsAndReadBack) {
  const std::string serverLog = (dir_ / "s\xC3\xA9rver.log").string();
  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(
      mgr_->SetLogSettings(Bstr(text::Widen(serverLog)).Get(), Bstr(u"/ua.log").Get(),
                           Bstr(u"").Get(), VARIANT_TRUE, VARIANT_BOOL(1), VARIANT_FALSE, &result),
      S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_TRUE(fs::exists(serverLog)) << "the server log was opened at once";
  const LogSettings& logs = server_->Config()->logs;
  EXPECT_EQ(server_->Logs().Settings(), logs);
  EXPECT_TRUE(logs.enable_server_log);
  EXPECT_FALSE(logs.enable_user_agent_log) << "1 is not VARIANT_TRUE";

  BSTR s = nullptr, ua = nullptr, trace = nullptr;
  VARIANT_BOOL se = VARIANT_FALSE, uae = VARIANT_TRUE, te = VARIANT_TRUE;
  ASSERT_EQ(mgr_->GetLogSettings(&s, &ua, &trace, &se, &uae, &te, &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_EQ(BstrView(s), text::Widen(serverLog));
  EXPECT_EQ(BstrView(ua), u"/ua.log");
  EXPECT_EQ(BstrView(trace), u"");
  EXPECT_EQ(se, VARIANT_TRUE);
  EXPECT_EQ(uae, VARIANT_FALSE);
  EXPECT_EQ(te, VARIANT_FALSE);
  for (BSTR b : {s, ua, trace}) SysFreeString(b);

  Start();
  EXPECT_EQ(server_->Config()->logs.server_log_path, serverLog);
  EXPECT_TRUE(server_->Config()->logs.enable_server_log);
}

TEST_F(ManagementTest, AFailedSaveReportsFalseLogsTheWriteAndKeepsTheChange) {
  // A directory where the file should be: the rename over it fails.
  fs::remove(dir_ / kConfigFileName);
  fs::create_directory(dir_ / kConfigFileName);
  lines_.clear();
  VARIANT_BOOL result = VARIANT_TRUE;
  ASSERT_EQ(mgr_->SetLogSettings(Bstr(u"/s.log").Get(), Bstr(u"").Get(), Bstr(u"").Get(),
                                 VARIANT_FALSE, VARIANT_FALSE, VARIANT_FALSE, &result),
            S_OK);
  EXPECT_EQ(result, VARIANT_FALSE);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_NE(lines_[0].find("cannot write"), std::string::npos) << lines_[0];
  EXPECT_NE(lines_[0].find(kConfigFileName), std::string::npos) << lines_[0];
  EXPECT_EQ(server_->Config()->logs.server_log_path, "/s.log");
  EXPECT_TRUE(fs::is_directory(dir_ / kConfigFileName));
}

// Requests keep the snapshot they started with: changes made while static
// files are being served fail no request.
TEST_F(ManagementTest, ChangesWhileRequestsRunFailNone) {
  fs::create_directories(dir_ / "docroot");
  server_testing::WriteFile(dir_ / "docroot" / "page.htm", "<html>page</html>");
  const uint16_t port = server_->Core()->ListeningPort(0);
  const std::u16string root = text::Widen(dir_.string() + "/docroot/");
  const std::string serverLog = (dir_ / "server.log").string();
  std::atomic<bool> done{false};
  std::atomic<int> failures{0}, served{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 3; ++t) {
    clients.emplace_back([&] {
      while (!done.load()) {
        server_testing::LoopbackClient client(port);
        const bool ok = client.Connected() && client.Send("GET /page.htm HTTP/1.0\r\n\r\n") &&
                        client.ReadAll().rfind("HTTP/1.0 200", 0) == 0;
        (ok ? served : failures).fetch_add(1);
      }
    });
  }
  VARIANT_BOOL result = VARIANT_FALSE;
  int applied = 0;
  for (int i = 0; i < 30; ++i) {
    ComPtr<ISoapStruct> e = Endpoint(u"/load/" + text::Widen(std::to_string(i)));
    if (SetServiceInfo(SvcInfo({e}))) ++applied;
    mgr_->SetHTTPSettings(
        Bstr(root).Get(), Bstr(u"page.htm").Get(),
        MimeArray({{u".htm", u"text/html"}, {u".x" + text::Widen(std::to_string(i)), u"a/b"}}),
        &result);
    if (result == VARIANT_TRUE) ++applied;
    mgr_->SetLogSettings(Bstr(text::Widen(serverLog)).Get(), Bstr(u"").Get(), Bstr(u"").Get(),
                         i % 2 ? VARIANT_TRUE : VARIANT_FALSE, VARIANT_FALSE, VARIANT_FALSE,
                         &result);
    if (result == VARIANT_TRUE) ++applied;
  }
  // Let the clients see the final settings too.
  while (served.load() < 30 && failures.load() == 0) std::this_thread::yield();
  done = true;
  for (auto& c : clients) c.join();
  EXPECT_EQ(applied, 90);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(served.load(), 0);
  EXPECT_EQ(server_->Config()->endpoints.size(), 33u);
}

// Through IDispatch by name, as the RPC invoker calls it: every method with
// its arguments named.
struct NamedCall {
  const char16_t* method;
  std::vector<const char16_t*> names;
  std::function<std::vector<Variant>()> args;  // In values, or VT_BYREF slots
};

HRESULT CallByName(IDispatch* object, const NamedCall& call, std::vector<Variant>& args,
                   Variant* result) {
  std::vector<BSTR> names{SysAllocString(std::u16string_view(call.method))};
  for (const char16_t* n : call.names) names.push_back(SysAllocString(std::u16string_view(n)));
  std::vector<DISPID> ids(names.size(), -1);
  HRESULT hr = object->GetIDsOfNames(GUID_NULL, names.data(), UINT(names.size()), 0, ids.data());
  for (BSTR b : names) SysFreeString(b);
  if (FAILED(hr)) return hr;
  std::vector<VARIANTARG> argv(args.begin(), args.end());
  DISPPARAMS params{argv.data(), ids.data() + 1, UINT(argv.size()), UINT(argv.size())};
  return object->Invoke(ids[0], GUID_NULL, 0, DISPATCH_METHOD, &params, result, nullptr, nullptr);
}

TEST_F(ManagementTest, EveryMethodAnswersByNameThroughIDispatch) {
  ComPtr<IDispatch> byName = com::QueryInterfacePtr<IDispatch>(mgr_.Get());
  ASSERT_TRUE(byName);
  ComPtr<IDispatch> detached;
  ASSERT_EQ(CreateManagementObject(nullptr, IID_IDispatch, detached.ReceiveVoid()), S_OK);

  // Storage the [out] references point at; enough for the widest method.
  VARIANT outs[6];
  auto refs = [&outs](size_t n) {
    std::vector<Variant> v(n);
    for (size_t i = 0; i < n; ++i) {
      VariantInit(&outs[i]);
      v[i].vt = VT_BYREF | VT_VARIANT;
      v[i].pvarVal = &outs[i];
    }
    return v;
  };
  auto logIns = [] {
    std::vector<Variant> v;
    for (int i = 0; i < 3; ++i) v.push_back(Variant::FromText(u"/log"));
    for (int i = 0; i < 3; ++i) v.push_back(Variant::FromBool(false));
    return v;
  };
  const NamedCall calls[] = {
      {u"GetServerStats",
       {u"NumConnects", u"NumBytesSent", u"NumHTTPErrors", u"NumNetErrors", u"NumIntErrors"},
       [&] { return refs(5); }},
      {u"GetServerParams",
       {u"ListenPort", u"NumWorkThreads", u"NumClientConn", u"ClientTimeout", u"WatchdogTimer"},
       [&] { return refs(5); }},
      {u"GetServiceInfo", {u"SvcInfo"}, [&] { return refs(1); }},
      {u"SetServiceInfo",
       {u"SvcInfo"},
       [&] {
         std::vector<Variant> v;
         v.push_back(SvcInfo({Endpoint(u"/named")}));
         return v;
       }},
      {u"GetHTTPSettings",
       {u"MIMETypes", u"DocRootPath", u"DefaultFilePath"},
       [&] { return refs(3); }},
      {u"SetHTTPSettings",
       {u"MIMETypes", u"DefaultFilePath", u"DocRootPath"},
       [&] {
         std::vector<Variant> v;
         v.push_back(MimeArray({{u".txt", u"text/plain"}}));
         v.push_back(Variant::FromText(u"index.htm"));
         v.push_back(Variant::FromText(u"/named/root/"));
         return v;
       }},
      {u"GetLogSettings",
       {u"ServerLogPath", u"UserAgentLogPath", u"SOAPTraceLogPath", u"ServerLogEnabled",
        u"UserAgentLogEnabled", u"SOAPTraceLogEnabled"},
       [&] { return refs(6); }},
      {u"SetLogSettings",
       {u"ServerLogPath", u"UserAgentLogPath", u"SOAPTraceLogPath", u"ServerLogEnabled",
        u"UserAgentLogEnabled", u"SOAPTraceLogEnabled"},
       logIns},
  };
  for (const NamedCall& call : calls) {
    for (IDispatch* object : {byName.Get(), detached.Get()}) {
      const bool running = object == byName.Get();
      std::vector<Variant> args = call.args();
      Variant result;
      EXPECT_EQ(CallByName(object, call, args, &result), S_OK) << text::Narrow(call.method);
      EXPECT_EQ(result.vt, VT_BOOL);
      EXPECT_EQ(result.boolVal, running ? VARIANT_TRUE : VARIANT_FALSE)
          << text::Narrow(call.method) << (running ? "" : " without a server");
      for (auto& o : outs) VariantClear(&o);
    }
  }
  // The named values landed where their names say.
  const ConfigSnapshotPtr config = server_->Config();
  EXPECT_EQ(config->docBasePath, "/named/root/");
  EXPECT_EQ(config->defaultDocument, "index.htm");
  EXPECT_EQ(config->mimeMap, (MimeMap{{".txt", "text/plain"}}));
  EXPECT_EQ(config->endpoints.count("/named"), 1u);
  EXPECT_EQ(config->logs.trace_log_path, "/log");

  std::vector<Variant> args = refs(5);
  Variant result;
  ASSERT_EQ(CallByName(byName.Get(),
                       {u"GetServerParams",
                        {u"WatchdogTimer", u"ClientTimeout", u"NumClientConn", u"NumWorkThreads",
                         u"ListenPort"},
                        nullptr},
                       args, &result),
            S_OK);
  EXPECT_EQ(outs[0].vt, VT_I4);
  EXPECT_EQ(outs[0].lVal, 11);
  EXPECT_EQ(outs[3].lVal, 3);
}

TEST_F(ManagementTest, WithoutAServerEveryMethodGivesFalseAndWritesEmptyOuts) {
  ComPtr<Ibraskelmgr2> detached;
  ASSERT_EQ(CreateManagementObject(nullptr, Ibraskelmgr2::kIid, detached.ReceiveVoid()), S_OK);
  LONG l[5] = {1, 1, 1, 1, 1};
  VARIANT_BOOL result = VARIANT_TRUE;
  EXPECT_EQ(detached->GetServerStats(&l[0], &l[1], &l[2], &l[3], &l[4], &result), S_OK);
  EXPECT_EQ(result, VARIANT_FALSE);
  EXPECT_EQ(l[1], 0);
  Variant info;
  result = VARIANT_TRUE;
  EXPECT_EQ(detached->GetServiceInfo(&info, &result), S_OK);
  EXPECT_EQ(result, VARIANT_FALSE);
  EXPECT_EQ(info.vt, VT_EMPTY);
  const std::string fileBefore = ConfigText();
  result = VARIANT_TRUE;
  EXPECT_EQ(detached->SetServiceInfo(SvcInfo({Endpoint(u"/x")}), &result), S_OK);
  EXPECT_EQ(result, VARIANT_FALSE);
  EXPECT_EQ(ConfigText(), fileBefore);
}

}  // namespace
}  // namespace server
