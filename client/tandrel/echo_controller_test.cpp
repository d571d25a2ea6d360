// The echo demo's controller against files, scripted loopback peers and the
// real message object, WSDL reader and struct component.
#include "client/tandrel/echo_controller.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "client/tandrel/testing/fake_seams.h"
#include "client/testing/client_testing.h"
#include "client/testing/message_testing.h"
#include "platform/net/testing/loopback_peer.h"

namespace tandrel {
namespace {

using net::testing::LoopbackPeer;
using net::testing::PeerConnection;

[[maybe_unused]] auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new client::testing::ComponentEnvironment(
        {QV_SOAPSTRUCT_COMPONENT, QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT}));

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) & 0xff);
  return bytes;
}

class EchoControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = (std::filesystem::temp_directory_path() / "qvtandrel.XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return (dir_ / name).string();
  }
  std::string Wsdl(uint16_t port) {
    return client::testing::CopyWsdl(std::filesystem::path(QV_TANDREL_WSDL_DIR) / "tandrel.wsdl",
                                     dir_ / ("tandrel-" + std::to_string(port) + ".wsdl"),
                                     "http://localhost/", "http://127.0.0.1:" + std::to_string(port) + "/");
  }
  // Answers one request with `status` and `body` (text/xml).
  static void Answer(LoopbackPeer& peer, const std::string& status, const std::string& body) {
    peer.Serve([status, body](PeerConnection& c) {
      const std::string head = c.ReadHead();
      const size_t at = head.find("Content-Length: ");
      if (at != std::string::npos) c.ReadExactly(std::stoul(head.substr(at + 16)));
      c.Write("HTTP/1.1 " + status + "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    });
  }
  // An rpc/encoded answer whose return struct holds `members`.
  static std::string Envelope(const std::string& members) {
    return "<?xml version=\"1.0\"?><SOAP-ENV:Envelope "
           "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
           "<SOAP-ENV:Body><m:echoDataFileResponse xmlns:m=\"urn:tandrel:echo\">"
           "<return xmlns:t=\"urn:tandrel:echo:types\" xsi:type=\"t:EchoFile\">" +
           members + "</return></m:echoDataFileResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>";
  }
  static std::string NameMember(const std::string& name) {
    return "<fileName xsi:type=\"xsd:string\">" + name + "</fileName>";
  }
  // "hello" in base64.
  static std::string DataMember() {
    return "<fileData xsi:type=\"xsd:base64Binary\">aGVsbG8=</fileData>";
  }

  std::filesystem::path dir_;
  testing::FakePicker picker_;
  testing::FakeNotifier notifier_;
};

TEST_F(EchoControllerTest, FileFunctionsCopyWholeFilesAndRefuseWhatIsNoFile) {
  for (const size_t size : {0u, 1u, 4095u, 4096u, 4097u, 8192u, 10000u}) {
    SCOPED_TRACE(size);
    const std::string bytes = Pattern(size);
    const std::string path = Write("f" + std::to_string(size), bytes);

    SAFEARRAY* array = ReadFileToByteArray(path);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(SafeArrayGetDim(array), 1u);
    LONG low = -1;
    LONG high = -2;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    EXPECT_EQ(low, 0);
    EXPECT_EQ(high, static_cast<LONG>(size) - 1);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
    EXPECT_EQ(std::string(static_cast<const char*>(data), size), bytes);
    SafeArrayUnaccessData(array);
    SafeArrayDestroy(array);

    ComPtr<IStorage> storage = CreateDimePayloadFromFile(path);
    ASSERT_TRUE(storage);
    ComPtr<IStream> stream;
    ASSERT_EQ(storage->OpenStream(u"", STGM_READ | STGM_SHARE_EXCLUSIVE, stream.Receive()), S_OK);
    std::string back(size + 16, '\0');
    ULONG read = 0;
    ASSERT_EQ(stream->Read(back.data(), static_cast<ULONG>(back.size()), &read), S_OK);
    back.resize(read);
    EXPECT_EQ(back, bytes);
  }
  std::filesystem::create_directory(dir_ / "sub");
  for (const std::string& path : {std::string(), (dir_ / "missing").string(), (dir_ / "sub").string()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(ReadFileToByteArray(path), nullptr);
    EXPECT_FALSE(CreateDimePayloadFromFile(path));
  }
}

TEST_F(EchoControllerTest, BrowseOffersTheCurrentPathAndTakesTheChosenOneAbsolute) {
  EchoController controller(picker_, notifier_);
  picker_.answers.push_back(std::string("relative/x.bin"));
  const std::string chosen = controller.OnBrowse("/data/in/file.txt");
  ASSERT_EQ(picker_.opens.size(), 1u);
  EXPECT_EQ(picker_.opens[0].title, "Select file to send in echoDataFile request");
  EXPECT_EQ(picker_.opens[0].directory, "/data/in");
  EXPECT_EQ(picker_.opens[0].file_name, "file.txt");
  EXPECT_EQ(chosen, (std::filesystem::current_path() / "relative/x.bin").string());
  EXPECT_EQ(controller.OnBrowse("/data/in/file.txt"), "/data/in/file.txt");  // cancelled
  EXPECT_TRUE(notifier_.texts.empty());
}

// Each failure before and after the exchange, with the one text it shows.
TEST_F(EchoControllerTest, EachFailureShowsItsOneText) {
  const std::string file = Write("in.bin", "hello");
  std::filesystem::create_directory(dir_ / "sub");
  const std::string no_listener = Wsdl(1);
  struct Case {
    const char* what;
    std::string status;  // empty: no peer
    std::string body;
    std::string path;
    int mode;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"unreachable WSDL", "", "", file, kModeBase64, "Failed to initialize client!"},
      {"empty path, base64", "", "", "", kModeBase64, "Failed to create request message byte array!"},
      {"missing file, base64", "", "", (dir_ / "none").string(), kModeBase64,
       "Failed to create request message byte array!"},
      {"directory, base64", "", "", (dir_ / "sub").string(), kModeBase64,
       "Failed to create request message byte array!"},
      {"empty path, DIME", "", "", "", kModeDime, "Failed to create request message payload object!"},
      {"missing file, DIME", "", "", (dir_ / "none").string(), kModeDime,
       "Failed to create request message payload object!"},
      {"directory, DIME", "", "", (dir_ / "sub").string(), kModeDime,
       "Failed to create request message payload object!"},
      {"no listener", "", "", file, kModeBase64, "Invocation failed!"},
      {"no content", "204 No Content", "", file, kModeBase64,
       "QueryInterface() on return value failed!"},
      {"no file name", "200 OK", Envelope(DataMember()), file, kModeBase64,
       "Failed to find filename from response!"},
      {"no file data", "200 OK", Envelope(NameMember("a.bin")), file, kModeBase64,
       "Failed to find echoed file in response!"},
      {"bytes where an attachment belongs", "200 OK", Envelope(NameMember("a.bin") + DataMember()),
       file, kModeDime, "QueryInterface() call on DIME attachment pointer failed!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    notifier_.texts.clear();
    LoopbackPeer peer;
    std::string wsdl = no_listener;
    if (std::string(c.what) == "unreachable WSDL") wsdl = "file://" + (dir_ / "absent.wsdl").string();
    if (!c.status.empty()) {
      Answer(peer, c.status, c.body);
      wsdl = Wsdl(peer.port());
    }
    EchoController controller(picker_, notifier_, 5000);
    controller.OnInvoke(wsdl, c.path, c.mode);
    if (!c.status.empty()) peer.Join();
    EXPECT_EQ(notifier_.texts, std::vector<std::string>{c.text});
  }
  EXPECT_TRUE(picker_.saves.empty());
}

// A 204 answer leaves the result empty; what was posted shows the mode.
TEST_F(EchoControllerTest, ModesPostDimeOrTextAndAnEmptyResultIsNoStruct) {
  const std::string file = Write("in.bin", "hello");
  const std::pair<int, const char*> cases[] = {{kModeDime, "Content-Type: application/dime"},
                                               {kModeBase64, "Content-Type: text/xml"}};
  for (const auto& [mode, type] : cases) {
    SCOPED_TRACE(mode);
    notifier_.texts.clear();
    LoopbackPeer peer;
    std::string head;
    peer.Serve([&head](PeerConnection& c) {
      head = c.ReadHead();
      const size_t at = head.find("Content-Length: ");
      if (at != std::string::npos) c.ReadExactly(std::stoul(head.substr(at + 16)));
      c.Write("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
    });
    EchoController controller(picker_, notifier_, 5000);
    controller.OnInvoke(Wsdl(peer.port()), file, mode);
    peer.Join();
    EXPECT_NE(head.find(type), std::string::npos) << head;
    EXPECT_EQ(notifier_.texts, std::vector<std::string>{"QueryInterface() on return value failed!"});
  }
}

// One DIME record, its fields padded to 4 bytes.
std::string DimeRecord(bool first, bool last, int type_t, const std::string& id,
                       const std::string& type, const std::string& data) {
  std::string r(12, '\0');
  r[0] = static_cast<char>(0x08 | (first ? 0x04 : 0) | (last ? 0x02 : 0));
  r[1] = static_cast<char>(type_t << 4);
  r[4] = static_cast<char>(id.size() >> 8);
  r[5] = static_cast<char>(id.size());
  r[6] = static_cast<char>(type.size() >> 8);
  r[7] = static_cast<char>(type.size());
  for (int i = 0; i < 4; ++i) r[8 + i] = static_cast<char>(data.size() >> (24 - 8 * i));
  for (const std::string* field : {&id, &type, &data}) {
    r += *field;
    r.append((4 - field->size() % 4) % 4, '\0');
  }
  return r;
}

// The answer's type is checked against the mode: an attachment where base64
// was sent is no byte array.
TEST_F(EchoControllerTest, AttachmentAnswerToBase64IsNoEchoedFile) {
  const std::string file = Write("in.bin", "hello");
  const std::string envelope = Envelope(NameMember("a.bin") + "<fileData href=\"uuid:f1\"/>");
  const std::string dime =
      DimeRecord(true, false, 2, "", "http://schemas.xmlsoap.org/soap/envelope/", envelope) +
      DimeRecord(false, true, 3, "uuid:f1", "", "hello");
  LoopbackPeer peer;
  peer.Serve([&dime](PeerConnection& c) {
    const std::string head = c.ReadHead();
    const size_t at = head.find("Content-Length: ");
    if (at != std::string::npos) c.ReadExactly(std::stoul(head.substr(at + 16)));
    c.Write("HTTP/1.1 200 OK\r\nContent-Type: application/dime\r\nContent-Length: " +
            std::to_string(dime.size()) + "\r\nConnection: close\r\n\r\n" + dime);
  });
  EchoController controller(picker_, notifier_, 5000);
  controller.OnInvoke(Wsdl(peer.port()), file, kModeBase64);
  peer.Join();
  EXPECT_EQ(notifier_.texts, std::vector<std::string>{"Failed to find echoed file in response!"});
  EXPECT_TRUE(picker_.saves.empty());
}

TEST_F(EchoControllerTest, Base64AnswerIsSavedUnderTheProposedNameOrNotAtAllOnCancel) {
  const std::string file = Write("in.bin", "hello");
  for (const bool cancel : {true, false}) {
    SCOPED_TRACE(cancel);
    LoopbackPeer peer;
    Answer(peer, "200 OK", Envelope(NameMember("/srv/files/a.bin") + DataMember()));
    picker_.saves.clear();
    if (!cancel) picker_.answers.push_back((dir_ / "out.bin").string());
    EchoController controller(picker_, notifier_, 5000);
    controller.OnInvoke(Wsdl(peer.port()), file, kModeBase64);
    peer.Join();
    ASSERT_EQ(picker_.saves.size(), 1u);
    EXPECT_EQ(picker_.saves[0].title, "Save echoed file as...");
    EXPECT_EQ(picker_.saves[0].directory, "/srv/files");
    EXPECT_EQ(picker_.saves[0].file_name, "echoed_a.bin");
    EXPECT_TRUE(notifier_.texts.empty());
    EXPECT_EQ(std::filesystem::exists(dir_ / "out.bin"), !cancel);
  }
  EXPECT_EQ(Slurp(dir_ / "out.bin"), "hello");
}

TEST_F(EchoControllerTest, FailedSaveIsShownAndKeepsTheOldFile) {
  const std::string file = Write("in.bin", "hello");
  const std::string parent_is_file = Write("plain", "x");
  const std::string old = Write("old.bin", std::string(100, 'o'));
  struct Case {
    const char* what;
    std::string target;
    rlim_t limit;  // 0: none
  };
  const std::vector<Case> cases = {
      {"parent is a regular file", parent_is_file + "/out.bin", 0},
      {"file-size limit reached part-way", old, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    notifier_.texts.clear();
    LoopbackPeer peer;
    Answer(peer, "200 OK", Envelope(NameMember("a.bin") + DataMember()));
    picker_.answers.push_back(c.target);
    EchoController controller(picker_, notifier_, 5000);
    const std::string wsdl = Wsdl(peer.port());
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    void (*was)(int) = signal(SIGXFSZ, SIG_IGN);
    if (c.limit != 0) {
      rlimit lowered = saved;
      lowered.rlim_cur = c.limit;
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    }
    controller.OnInvoke(wsdl, file, kModeBase64);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, was);
    peer.Join();
    EXPECT_EQ(notifier_.texts, std::vector<std::string>{"Failed to save echoed file!"});
  }
  EXPECT_EQ(Slurp(old), std::string(100, 'o'));
  // No temporary file is left behind.
  for (const auto& e : std::filesystem::directory_iterator(dir_)) {
    EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
  }
}

}  // namespace
}  // namespace tandrel
