#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "controlpanel/model/http_settings_page.h"
#include "controlpanel/model/services_page.h"
#include "controlpanel/model/settings_pages.h"
#include "controlpanel/model/sheet_controller.h"
#include "controlpanel/model/testing/page_fixture.h"
#include "controlpanel/model/texts.h"
#include "platform/text/text.h"

namespace controlpanel {
namespace {

using testing::AuthenticatedAnswer;
using testing::ExpiredAnswer;
using testing::FakeAnswer;
using testing::StatusFaultAnswer;
using testing::UiEvent;

const ServiceRow kInterop = {
    "/interop", "InteropSvc", "InteropPort", "file:///i.wsdl", "p.i", "h.a h.b", "", "", "", "Yes"};
const ServiceRow kWild = {"/x/*", "S", "P", "file:///x.wsdl", "p.x", "", "r1", "", "", "No"};

using Outs = std::vector<std::pair<std::u16string, Variant>>;
Outs OutValues() { return {}; }
// Out values of an answer from name, value, name, value...
template <typename... Rest>
Outs OutValues(const char16_t* name, Variant value, Rest... rest) {
  Outs out = OutValues(std::move(rest)...);
  out.insert(out.begin(), {name, std::move(value)});
  return out;
}

Variant SvcInfoOfRows(const std::vector<ServiceRow>& rows) {
  Variant v;
  EXPECT_TRUE(MakeSvcInfo(rows, &v));
  return v;
}

Variant MimeOfRows(const std::vector<MimeRow>& rows) {
  Variant v;
  EXPECT_TRUE(MakeMimeTypes(rows, &v));
  return v;
}

// A connected control panel whose server pages are opened by hand.
class Pages : public testing::PageFixture {
 protected:
  void SetUp() override {
    PageFixture::SetUp();
    connect_.OnInitDialog();
    ScriptLogOn();
    connect_.host = "h";
    connect_.OnConnect();
    ASSERT_TRUE(connect_.IsConnected());
    ui_.events.clear();
    channel_.calls.clear();
  }

  // The page after its first activation answered with `answer`.
  template <typename Page>
  std::unique_ptr<Page> Open(FakeAnswer answer) {
    auto page = std::make_unique<Page>(app_, ui_);
    page->SetDataExchange([this](bool save) { exchanges_.push_back(save); });
    channel_.answers.push_back(std::move(answer));
    page->OnInitDialog();
    return page;
  }
  std::unique_ptr<CServicesPage> OpenServices(const std::vector<ServiceRow>& rows) {
    return Open<CServicesPage>(AuthenticatedAnswer(OutValues(u"SvcInfo", SvcInfoOfRows(rows))));
  }
  std::unique_ptr<CHTTPSettingsPage> OpenHttp(const std::vector<MimeRow>& rows) {
    return Open<CHTTPSettingsPage>(AuthenticatedAnswer(
        OutValues(u"DocRootPath", Variant::FromText(u"/www/"), u"DefaultFilePath",
                  Variant::FromText(u"index.htm"), u"MIMETypes", MimeOfRows(rows))));
  }

  // The value named `name` of the last call.
  const VARIANT& Sent(const std::u16string& name) {
    const testing::FakeCall& call = channel_.calls.back();
    for (size_t i = 0; i < call.names.size(); ++i) {
      if (call.names[i] == name) return call.values[i];
    }
    ADD_FAILURE() << "not sent: " << text::Narrow(name);
    static Variant none;
    return none;
  }
  std::vector<ServiceRow> SentServices() {
    std::vector<ServiceRow> rows;
    EXPECT_TRUE(ReadSvcInfo(Sent(u"SvcInfo"), &rows));
    return rows;
  }

  CSvcStatsPage connect_{app_, ui_};
  std::vector<bool> exchanges_;
};

TEST_F(Pages, ServicesAreReadIntoRowsWithTheFirstSelected) {
  auto page = OpenServices({kInterop, kWild});
  ASSERT_EQ(channel_.calls.size(), 1u);
  EXPECT_EQ(channel_.calls[0].method, u"GetServiceInfo");
  ASSERT_EQ(channel_.calls[0].names, std::vector<std::u16string>{u"SvcInfo"});
  EXPECT_EQ(channel_.calls[0].values[0].vt, VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(page->Rows(), (std::vector<ServiceRow>{kInterop, kWild}));
  EXPECT_EQ(page->Selected(), 0u);
  EXPECT_TRUE(page->ReadSucceeded());
  EXPECT_EQ(exchanges_, std::vector<bool>{false});
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(Pages, AddingAListedUriIsRefusedWithItsMessage) {
  struct Case {
    std::string uri;
    bool added;
  } cases[] = {
      {"/interop", false}, {"/interop/*", false}, {"/x", false},
      {"/x/*", false},     {"/Interop", true},    {"/interop/", true},
  };
  for (const Case& c : cases) {
    auto page = OpenServices({kInterop, kWild});
    ServiceFields typed;
    typed.uri = c.uri;
    typed.wsdl_url = "file:///n.wsdl";
    typed.header_prog_ids = "h.1  h.2";
    typed.enabled = true;
    ui_.events.clear();
    ui_.service_answers.push_back(typed);
    page->OnAddService();
    EXPECT_EQ(page->Rows().size(), c.added ? 3u : 2u) << c.uri;
    EXPECT_EQ(page->IsModified(), c.added) << c.uri;
    if (c.added) {
      EXPECT_TRUE(ui_.Messages().empty()) << c.uri;
      EXPECT_EQ(page->Rows().back(),
                (ServiceRow{c.uri, "", "", "file:///n.wsdl", "", "h.1  h.2", "", "", "", "Yes"}));
    } else {
      EXPECT_EQ(ui_.Messages(), std::vector<std::string>{"Error: Service <" + c.uri +
                                                         "> already exists!\nNew Service not "
                                                         "created."});
    }
  }
}

TEST_F(Pages, AddCancelledChangesNothing) {
  auto page = OpenServices({kInterop});
  page->OnAddService();  // no answer queued: Cancel
  EXPECT_EQ(page->Rows().size(), 1u);
  EXPECT_FALSE(page->IsModified());
}

TEST_F(Pages, EditKeepsTheUriAndFillsTheDialogFromTheRow) {
  auto page = OpenServices({kWild, kInterop});
  page->Select(1);
  ServiceFields answer;
  answer.uri = "/changed";
  answer.service_name = "New";
  answer.roles = "a b";
  ui_.service_answers.push_back(answer);
  page->OnEditService();
  ASSERT_EQ(ui_.shown_services.size(), 1u);
  EXPECT_EQ(ui_.shown_services[0].uri, "/interop");
  EXPECT_EQ(ui_.shown_services[0].header_prog_ids, "h.a h.b");
  EXPECT_TRUE(ui_.shown_services[0].enabled);
  EXPECT_EQ(page->Rows()[1], (ServiceRow{"/interop", "New", "", "", "", "", "a b", "", "", "No"}));
  EXPECT_TRUE(page->IsModified());

  page->Select(0);
  ui_.service_answers.push_back(std::nullopt);
  page->OnEditService();
  EXPECT_FALSE(ui_.shown_services[1].enabled);  // "No" is no check
  EXPECT_EQ(page->Rows()[0], kWild);
}

TEST_F(Pages, DeleteAsksAndDeletesOnlyOnYes) {
  auto page = OpenServices({kInterop, kWild});
  ui_.yes_no_answers = {false};
  page->OnDeleteService();
  ASSERT_EQ(ui_.events.size(), 1u);
  EXPECT_EQ(ui_.events[0].kind, UiEvent::Kind::Question);
  EXPECT_EQ(ui_.events[0].text,
            "Are you sure you want to\ndelete the SOAP Service URI: /interop ?");
  EXPECT_EQ(page->Rows().size(), 2u);
  EXPECT_FALSE(page->IsModified());

  ui_.yes_no_answers = {true};
  page->OnDeleteService();
  EXPECT_EQ(page->Rows(), std::vector<ServiceRow>{kWild});
  EXPECT_EQ(page->Selected(), std::nullopt);
  EXPECT_TRUE(page->IsModified());
}

TEST_F(Pages, EditAndDeleteWithoutASelectionDoNothing) {
  auto services = OpenServices({kInterop});
  services->Select(std::nullopt);
  services->OnEditService();
  services->OnDeleteService();
  services->Select(5);  // past the last row
  services->OnDeleteService();
  auto http = OpenHttp({{".A", "a/a"}});
  http->Select(std::nullopt);
  http->OnEditMimeType();
  http->OnDeleteMimeType();
  EXPECT_TRUE(ui_.events.empty());
  EXPECT_EQ(services->Rows().size(), 1u);
  EXPECT_EQ(http->Rows().size(), 1u);
  EXPECT_FALSE(services->IsModified() || http->IsModified());
}

TEST_F(Pages, ApplySendsTheWholeTableOnceChanged) {
  auto page = OpenServices({kInterop, kWild});
  EXPECT_TRUE(page->OnOK());  // unchanged: nothing sent
  EXPECT_EQ(channel_.calls.size(), 1u);

  ServiceRow long_row = kInterop;
  long_row[kColUri] = "/long";
  long_row[kColWsdlUrl] = "file:///" + std::string(1000, 'l');
  ServiceFields typed;
  typed.uri = long_row[kColUri];
  typed.service_name = long_row[kColService];
  typed.port_name = long_row[kColPort];
  typed.wsdl_url = long_row[kColWsdlUrl];
  typed.prog_id = long_row[kColBodyHandler];
  typed.header_prog_ids = long_row[kColHeaderHandlers];
  typed.enabled = true;
  ui_.service_answers.push_back(typed);
  page->OnAddService();

  channel_.answers.push_back(AuthenticatedAnswer());
  EXPECT_TRUE(page->OnOK());
  ASSERT_EQ(channel_.calls.size(), 2u);
  EXPECT_EQ(channel_.calls.back().method, u"SetServiceInfo");
  EXPECT_TRUE(channel_.calls.back().client_auth);
  EXPECT_EQ(SentServices(), (std::vector<ServiceRow>{kInterop, kWild, long_row}));
  EXPECT_FALSE(page->IsModified());
}

TEST_F(Pages, AFailedWriteIsReportedAndKeepsTheChange) {
  struct Case {
    const char* what;
    std::vector<FakeAnswer (*)()> answers;
    size_t calls;
    bool ok;
  } cases[] = {
      {"refused by the server", {[] { return StatusFaultAnswer("Server"); }}, 1, false},
      {"expired, then written", {ExpiredAnswer, [] { return AuthenticatedAnswer(); }}, 2, true},
      {"expired twice", {ExpiredAnswer, ExpiredAnswer}, 2, false},
  };
  for (const Case& c : cases) {
    auto page = OpenServices({kInterop});
    ui_.events.clear();
    ui_.yes_no_answers = {true};
    page->OnDeleteService();
    channel_.calls.clear();
    for (auto answer : c.answers) channel_.answers.push_back(answer());
    EXPECT_EQ(page->OnOK(), c.ok) << c.what;
    EXPECT_EQ(channel_.calls.size(), c.calls) << c.what;
    EXPECT_EQ(page->IsModified(), !c.ok) << c.what;
    EXPECT_EQ(ui_.Messages(), c.ok ? std::vector<std::string>{}
                                   : std::vector<std::string>{texts::kServicesWriteFailed})
        << c.what;
  }
}

TEST_F(Pages, AReadOfTheWrongShapeFailsWithThePageMessage) {
  auto services =
      Open<CServicesPage>(AuthenticatedAnswer(OutValues(u"SvcInfo", Variant::FromI4(1))));
  auto http = Open<CHTTPSettingsPage>(AuthenticatedAnswer(
      OutValues(u"MIMETypes", Variant::FromText(u".a"), u"DocRootPath", Variant::FromText(u"/w"))));
  auto logs =
      Open<CLogSettingsPage>(AuthenticatedAnswer(OutValues(u"ServerLogPath", Variant::FromI4(3))));
  auto params = Open<CSvrParamsPage>(
      AuthenticatedAnswer(OutValues(u"ListenPort", Variant::FromText(u"eighty"))));
  EXPECT_EQ(ui_.Messages(), (std::vector<std::string>{
                                texts::kServicesReadFailed, texts::kHttpReadFailed,
                                texts::kLoggingReadFailed, texts::kServerSettingsReadFailed}));
  EXPECT_FALSE(services->ReadSucceeded() || http->ReadSucceeded() || logs->ReadSucceeded() ||
               params->ReadSucceeded());
  EXPECT_TRUE(http->doc_root.empty());
  EXPECT_TRUE(exchanges_.empty());  // nothing shown from a failed read
}

TEST_F(Pages, APageWhoseReadFailedNeverWrites) {
  ui_.events.clear();
  auto services = Open<CServicesPage>(StatusFaultAnswer("Server"));
  auto http = Open<CHTTPSettingsPage>(StatusFaultAnswer("Server"));
  auto logs = Open<CLogSettingsPage>(StatusFaultAnswer("Server"));
  ui_.events.clear();
  channel_.calls.clear();

  ServiceFields typed;
  typed.uri = "/new";
  ui_.service_answers.push_back(typed);
  services->OnAddService();
  http->doc_root = "/typed/";
  http->SetModified();
  logs->enabled[kServerLog] = true;
  logs->SetModified();
  EXPECT_FALSE(services->OnOK());
  EXPECT_FALSE(http->OnOK());
  EXPECT_FALSE(logs->OnOK());
  EXPECT_TRUE(channel_.calls.empty());
  EXPECT_EQ(ui_.Messages(),
            (std::vector<std::string>{texts::kServicesWriteFailed, texts::kHttpWriteFailed,
                                      texts::kLoggingWriteFailed}));
  EXPECT_TRUE(services->IsModified() && http->IsModified() && logs->IsModified());
}

TEST_F(Pages, MimeExtensionsAreAddedUpperCasedOnce) {
  auto page = OpenHttp({});
  EXPECT_EQ(page->Selected(), std::nullopt);
  ui_.mime_answers.push_back(MimeFields{".jpg", "image/JPEG"});
  page->OnAddMimeType();
  EXPECT_EQ(page->Rows(), (std::vector<MimeRow>{{".JPG", "image/JPEG"}}));
  EXPECT_TRUE(page->IsModified());

  ui_.mime_answers.push_back(MimeFields{".Jpg", "image/other"});
  page->OnAddMimeType();
  EXPECT_EQ(page->Rows().size(), 1u);
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>{
                                "Error: File Extension <.JPG> already mapped!\nNew mapping not "
                                "created."});

  page->Select(0);
  ui_.mime_answers.push_back(MimeFields{".PNG", "Text/Mixed"});
  page->OnEditMimeType();
  EXPECT_EQ(ui_.shown_mime.back().extension, ".JPG");
  EXPECT_EQ(page->Rows(), (std::vector<MimeRow>{{".JPG", "Text/Mixed"}}));

  ui_.events.clear();
  ui_.yes_no_answers = {true};
  page->OnDeleteMimeType();
  ASSERT_FALSE(ui_.events.empty());
  EXPECT_EQ(ui_.events[0].text,
            "Are you sure you want to delete the\nMIME Type mapping for file extension: .JPG ?");
  EXPECT_TRUE(page->Rows().empty());
}

TEST_F(Pages, HttpApplySendsAllThreeValues) {
  struct Case {
    const char* what;
    std::vector<MimeRow> rows;
  } cases[] = {{"no rows", {}}, {"two rows", {{".A", "a/a"}, {".B", "b/b"}}}};
  for (const Case& c : cases) {
    auto page = OpenHttp(c.rows);
    EXPECT_EQ(page->doc_root, "/www/");
    EXPECT_EQ(page->default_file, "index.htm");
    EXPECT_EQ(page->Rows(), c.rows);
    // The view's exchange takes what was typed in the document root edit.
    page->SetDataExchange([&](bool save) {
      if (save) page->doc_root = "/other/";
    });
    page->SetModified();
    channel_.answers.push_back(AuthenticatedAnswer());
    EXPECT_TRUE(page->OnOK()) << c.what;
    EXPECT_EQ(channel_.calls.back().method, u"SetHTTPSettings");
    EXPECT_EQ(channel_.calls.back().names,
              (std::vector<std::u16string>{u"DocRootPath", u"DefaultFilePath", u"MIMETypes"}));
    const VARIANT& root = Sent(u"DocRootPath");
    ASSERT_EQ(root.vt, VT_BSTR);
    EXPECT_EQ(text::Narrow(BstrView(root.bstrVal)), "/other/");
    const VARIANT& mime = Sent(u"MIMETypes");
    ASSERT_EQ(mime.vt, VT_ARRAY | VT_VARIANT);
    ASSERT_EQ(SafeArrayGetDim(mime.parray), 2u);
    LONG hi1 = 0, hi2 = 0;
    EXPECT_EQ(SafeArrayGetUBound(mime.parray, 1, &hi1), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(mime.parray, 2, &hi2), S_OK);
    EXPECT_EQ(hi1, 1);
    EXPECT_EQ(hi2, LONG(c.rows.size()) - 1) << c.what;
  }
}

TEST_F(Pages, LogSettingsAreReadAndWrittenInParameterOrder) {
  Variant one_bit;
  one_bit.vt = VT_BOOL;
  one_bit.boolVal = 1;
  auto page = Open<CLogSettingsPage>(AuthenticatedAnswer(
      OutValues(u"ServerLogPath", Variant::FromText(u"s.log"), u"SOAPTraceLogPath",
                Variant::FromText(u"t.log"), u"ServerLogEnabled", Variant::FromBool(true),
                u"UserAgentLogEnabled", std::move(one_bit))));
  ASSERT_TRUE(page->ReadSucceeded());
  const testing::FakeCall& read = channel_.calls.back();
  EXPECT_EQ(read.method, u"GetLogSettings");
  ASSERT_EQ(read.values.size(), 6u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(read.values[i].vt, VT_EMPTY);
  for (size_t i = 3; i < 6; ++i) {
    EXPECT_EQ(read.values[i].vt, VT_BOOL);
    EXPECT_EQ(read.values[i].boolVal, VARIANT_FALSE);
  }
  EXPECT_EQ(page->paths, (std::array<std::string, kLogCount>{"s.log", "", "t.log"}));
  EXPECT_EQ(page->enabled, (std::array<bool, kLogCount>{true, false, false}));

  // A check box clicked twice: modified, and the unchanged values go out.
  page->SetModified();
  page->SetModified();
  channel_.answers.push_back(AuthenticatedAnswer());
  EXPECT_TRUE(page->OnOK());
  const testing::FakeCall& write = channel_.calls.back();
  EXPECT_EQ(write.method, u"SetLogSettings");
  EXPECT_EQ(write.names, (std::vector<std::u16string>{
                             u"ServerLogPath", u"UserAgentLogPath", u"SOAPTraceLogPath",
                             u"ServerLogEnabled", u"UserAgentLogEnabled", u"SOAPTraceLogEnabled"}));
  ASSERT_EQ(write.values[0].vt, VT_BSTR);
  EXPECT_EQ(text::Narrow(BstrView(write.values[0].bstrVal)), "s.log");
  ASSERT_EQ(write.values[1].vt, VT_BSTR);
  EXPECT_EQ(SysStringLen(write.values[1].bstrVal), 0u);
  EXPECT_EQ(write.values[3].boolVal, VARIANT_TRUE);
  EXPECT_EQ(write.values[4].boolVal, VARIANT_FALSE);
}

TEST_F(Pages, ServerParamsAreReadAsIntegers) {
  auto page = Open<CSvrParamsPage>(AuthenticatedAnswer(
      OutValues(u"ListenPort", Variant::FromI4(8088), u"NumWorkThreads", Variant::FromText(u"4"),
                u"NumClientConn", Variant::FromI4(100), u"ClientTimeout", Variant::FromI4(30),
                u"WatchdogTimer", Variant::FromI4(5))));
  const testing::FakeCall& read = channel_.calls.back();
  EXPECT_EQ(read.method, u"GetServerParams");
  EXPECT_EQ(read.names,
            (std::vector<std::u16string>{u"ListenPort", u"NumWorkThreads", u"NumClientConn",
                                         u"ClientTimeout", u"WatchdogTimer"}));
  for (const Variant& v : read.values) {
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 0);
  }
  EXPECT_EQ(page->listen_port, 8088);
  EXPECT_EQ(page->num_work_threads, 4);
  EXPECT_EQ(page->num_client_conn, 100);
  EXPECT_EQ(page->client_timeout, 30);
  EXPECT_EQ(page->watchdog_timer, 5);
  EXPECT_TRUE(page->OnOK());  // no write
  EXPECT_EQ(channel_.calls.size(), 1u);
}

// The four pages in a sheet, as the program builds it.
class SheetOfPages : public Pages {
 protected:
  void SetUp() override {
    Pages::SetUp();
    sheet_.AddPage(texts::kServerSettingsTitle,
                   [this] { return std::make_unique<CSvrParamsPage>(app_, ui_); });
    sheet_.AddPage(texts::kServicesTitle,
                   [this] { return std::make_unique<CServicesPage>(app_, ui_); });
    sheet_.AddPage(texts::kHttpSettingsTitle,
                   [this] { return std::make_unique<CHTTPSettingsPage>(app_, ui_); });
    sheet_.AddPage(texts::kLoggingTitle,
                   [this] { return std::make_unique<CLogSettingsPage>(app_, ui_); });
  }
  SheetController sheet_{connect_};
};

TEST_F(SheetOfPages, OkWritesEachChangedPageWithItsOwnCall) {
  channel_.answers.push_back(AuthenticatedAnswer(OutValues(u"ListenPort", Variant::FromI4(1))));
  ASSERT_TRUE(sheet_.SelectPage(1));
  EXPECT_TRUE(sheet_.SelectPage(1 - 1));
  EXPECT_TRUE(sheet_.SelectPage(1));  // read once
  channel_.answers.push_back(AuthenticatedAnswer(OutValues(u"SvcInfo", SvcInfoOfRows({kInterop}))));
  ASSERT_TRUE(sheet_.SelectPage(2));
  channel_.answers.push_back(AuthenticatedAnswer(OutValues(u"MIMETypes", MimeOfRows({}))));
  ASSERT_TRUE(sheet_.SelectPage(3));
  channel_.answers.push_back(AuthenticatedAnswer());
  ASSERT_TRUE(sheet_.SelectPage(4));
  ASSERT_EQ(channel_.calls.size(), 4u);
  EXPECT_FALSE(sheet_.ApplyEnabled());

  EXPECT_TRUE(sheet_.Ok());  // nothing changed: nothing sent
  EXPECT_EQ(channel_.calls.size(), 4u);

  sheet_.Page(2)->SetModified();
  sheet_.Page(4)->SetModified();
  EXPECT_TRUE(sheet_.ApplyEnabled());
  channel_.answers.push_back(AuthenticatedAnswer());
  channel_.answers.push_back(AuthenticatedAnswer());
  EXPECT_TRUE(sheet_.Ok());
  ASSERT_EQ(channel_.calls.size(), 6u);
  EXPECT_EQ(channel_.calls[4].method, u"SetServiceInfo");
  EXPECT_EQ(channel_.calls[5].method, u"SetLogSettings");
  EXPECT_FALSE(sheet_.ApplyEnabled());
  EXPECT_TRUE(ui_.Messages().empty());
}

}  // namespace
}  // namespace controlpanel
