// Loading: files and their imports, the event-log reports, and fetches over
// HTTP from a scripted loopback peer (request bytes, imports, redirects,
// import cycles and depth, size limits).
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's own count; its malloc is not glibc's.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
#endif

#include "platform/net/testing/loopback_peer.h"
#include "wsdl/testing/reader_calls.h"
#include "wsdl/wsdl_client.h"

namespace wsdl {
namespace {

using namespace wsdl::testing;
using net::testing::LoopbackPeer;
using net::testing::PeerConnection;

const std::string kData = QV_WSDL_TESTDATA;

std::string EventLog() {
  const char* path = getenv("QUORVEL_EVENTLOG_FILE");
  if (!path) return {};
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// The entries logged since `before` (the log's length then).
std::vector<std::string> EntriesSince(size_t before) {
  const std::string log = EventLog();
  std::vector<std::string> lines;
  std::stringstream rest(log.substr(std::min(before, log.size())));
  for (std::string line; std::getline(rest, line);) lines.push_back(line);
  return lines;
}

const std::string kSource = "Quorvel WSDL Parser: ";

class TempDir {
 public:
  TempDir() {
    path_ = (std::filesystem::temp_directory_path() / "qvwsdl.XXXXXX").string();
    if (!mkdtemp(path_.data())) path_.clear();
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  std::string Write(const std::string& name, const std::string& content) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }

 private:
  std::string path_;
};

// A small document of namespace urn:chain. With `service`, it binds port
// type PT (operation "op", input message `input`) to port S/P.
std::string ChainDoc(const std::string& import_location, const std::string& message, bool service,
                     const std::string& input = "") {
  std::string doc =
      "<?xml version=\"1.0\"?>\n"
      "<definitions targetNamespace=\"urn:chain\" xmlns=\"http://schemas.xmlsoap.org/wsdl/\"\n"
      "  xmlns:tns=\"urn:chain\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"\n"
      "  xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\">\n";
  if (!import_location.empty()) {
    doc += "<import namespace=\"urn:chain\" location=\"" + import_location + "\"/>\n";
  }
  doc += "<message name=\"" + message + "\"><part name=\"p\" type=\"xsd:int\"/></message>\n";
  if (service) {
    doc += "<portType name=\"PT\"><operation name=\"op\"><input message=\"tns:" + input +
           "\"/><output message=\"tns:" + input +
           "\"/></operation></portType>\n"
           "<binding name=\"B\" type=\"tns:PT\"><soap:binding style=\"rpc\"/>\n"
           "<operation name=\"op\"><soap:operation soapAction=\"urn:op\"/></operation></binding>\n"
           "<service name=\"S\"><port name=\"P\" binding=\"tns:B\">"
           "<soap:address location=\"http://svc.example:81/x\"/></port></service>\n";
  }
  return doc + "</definitions>\n";
}

std::string Ok(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Answers each GET by its request target from a table (404 otherwise) and
// keeps the request heads it read.
class DocServer {
 public:
  explicit DocServer(std::map<std::string, std::string> answers) : answers_(std::move(answers)) {}

  void Serve(int connections) {
    peer_.Serve(
        [this](PeerConnection& c) {
          const std::string head = c.ReadHead();
          std::string target;
          if (head.starts_with("GET ")) {
            target = head.substr(4, head.find(' ', 4) - 4);
          }
          {
            std::lock_guard<std::mutex> lock(mu_);
            heads_.push_back(head);
          }
          auto it = answers_.find(target);
          c.Write(it != answers_.end() ? it->second : "HTTP/1.0 404 Not Found\r\n\r\n");
        },
        connections);
  }
  std::vector<std::string> Heads() {
    peer_.Join();
    std::lock_guard<std::mutex> lock(mu_);
    return heads_;
  }
  std::string Url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(peer_.port()) + target;
  }
  std::string HostLine() const { return "Host: 127.0.0.1:" + std::to_string(peer_.port()); }

 private:
  std::map<std::string, std::string> answers_;
  LoopbackPeer peer_;
  std::mutex mu_;
  std::vector<std::string> heads_;
};

// ---- Files --------------------------------------------------------------------

TEST(FileLoadTest, BackslashesReadAsSlashesAndImportsResolveAgainstTheDirectory) {
  std::string path = kData + "/import_main.wsdl";
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  ComPtr<I> r = NewReader();
  ASSERT_TRUE(Load(r.Get(), u"MainService", u"MainPort", "file://" + path));
  EXPECT_EQ(Member(r.Get(), u"ImpStruct", u"urn:main:types", u"n", u""),
            u"int|http://www.w3.org/2001/XMLSchema");
}

TEST(FileLoadTest, ErrorsGoToTheEventLogWithTheDocumentName) {
  TempDir dir;
  const struct {
    const char* what;
    std::string content;
    std::string text;  // after "Doc: <path> "
  } cases[] = {
      {"malformed XML", "<definitions>\n\n<oops></definitions>", "Parse error on line 3"},
      {"model error",
       "<definitions xmlns=\"http://schemas.xmlsoap.org/wsdl/\"><message/></definitions>",
       "Required attribute 'name' missing on element: 'message'."},
      {"import that cannot be fetched",
       "<definitions xmlns=\"http://schemas.xmlsoap.org/wsdl/\">"
       "<import namespace=\"urn:x\" location=\"missing.wsdl\"/></definitions>",
       "Unable to process document referenced in 'import' element."},
  };
  for (const auto& c : cases) {
    const std::string file = dir.Write("doc.wsdl", c.content);
    const size_t before = EventLog().size();
    ComPtr<I> r = NewReader();
    EXPECT_FALSE(Load(r.Get(), u"S", u"P", FileUrl(file))) << c.what;
    const std::vector<std::string> entries = EntriesSince(before);
    ASSERT_EQ(entries.size(), 1u) << c.what;
    EXPECT_EQ(entries[0], kSource + "Doc: <" + file + "> " + c.text) << c.what;
  }
  // A missing file, a missing service: false, nothing logged.
  const size_t before = EventLog().size();
  ComPtr<I> r = NewReader();
  EXPECT_FALSE(Load(r.Get(), u"S", u"P", FileUrl(dir.path() + "/none.wsdl")));
  EXPECT_FALSE(Load(r.Get(), u"S", u"P", FileUrl(kData + "/rpc_encoded.wsdl")));
  EXPECT_TRUE(EntriesSince(before).empty());
}

// The text is cut to 127 bytes on a character boundary, however long the
// document name.
TEST(FileLoadTest, EventTextIsCutOnACharacterBoundary) {
  TempDir dir;
  if (6 + dir.path().size() + 1 >= 120) GTEST_SKIP() << "temporary directory name too long";
  std::string name;
  // Make a cut at exactly 127 bytes fall inside a two-byte character.
  if ((127 - (6 + dir.path().size() + 1)) % 2 == 0) name = "a";
  for (int i = 0; i < 100; ++i) name += "\xc3\xa9";
  const std::string file = dir.Write(name + ".wsdl", "<broken");
  const size_t before = EventLog().size();
  ComPtr<I> r = NewReader();
  EXPECT_FALSE(Load(r.Get(), u"S", u"P", FileUrl(file)));
  const std::vector<std::string> entries = EntriesSince(before);
  ASSERT_EQ(entries.size(), 1u);
  ASSERT_TRUE(entries[0].starts_with(kSource));
  const std::string logged = entries[0].substr(kSource.size());
  EXPECT_EQ(logged.size(), 126u);
  EXPECT_TRUE(("Doc: <" + file).starts_with(logged));
  EXPECT_EQ(text::Widen(logged).find(u'\ufffd'), std::u16string::npos);
}

// Bytes the allocator has handed out and not got back.
size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

// `doc` with `count` further struct types and messages of two parts each.
std::string WithDefinitions(std::string doc, const std::string& prefix, int count) {
  std::string types = "<types><xsd:schema targetNamespace=\"urn:chain:types\">\n";
  std::string messages;
  for (int i = 0; i < count; ++i) {
    const std::string name = prefix + std::to_string(i);
    types += "<xsd:complexType name=\"" + name +
             "\"><xsd:sequence><xsd:element name=\"a\" type=\"xsd:int\"/>"
             "<xsd:element name=\"b\" type=\"xsd:string\"/></xsd:sequence></xsd:complexType>\n";
    messages += "<message name=\"" + name +
                "\"><part name=\"p\" type=\"xsd:int\"/><part name=\"q\" "
                "type=\"xsd:string\"/></message>\n";
  }
  return doc.insert(doc.rfind("</definitions>"), types + "</xsd:schema></types>\n" + messages);
}

// The highest HeapInUse() since StartPeak(). A heap's peak follows an
// allocation, so the sanitizer's malloc hook sees every one; without a
// sanitizer nothing is counted and PeakSince() reports 0.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
std::atomic<bool> g_tracking_peak{false};
std::atomic<size_t> g_peak{0};

void NotePeak(const volatile void*, size_t) {
  if (!g_tracking_peak.load(std::memory_order_relaxed)) return;
  const size_t now = __sanitizer_get_current_allocated_bytes();
  size_t peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}
void IgnoreFree(const volatile void*) {}

bool PeakIsCounted() { return true; }
void StartPeak() {
  static const int installed = __sanitizer_install_malloc_and_free_hooks(NotePeak, IgnoreFree);
  (void)installed;
  g_peak = HeapInUse();
  g_tracking_peak = true;
}
size_t PeakSince(size_t before) {
  g_tracking_peak = false;
  return g_peak.load() - before;
}
#else
bool PeakIsCounted() { return false; }
void StartPeak() {}
size_t PeakSince(size_t) { return 0; }
#endif

// A loaded reader keeps its model, not the documents' text or element trees;
// while it loads, it holds beside that model no more than one decoded text
// (two bytes a character), not also the bytes it was decoded from. The model
// of short-named definitions, the costliest per byte, stays under four times
// their text, and the whole load under six.
TEST(FileLoadTest, LoadedReaderHeapIsBoundedByTheDocumentsSize) {
  const struct {
    const char* what;
    std::string main;
    std::string imported;  // none when empty
  } cases[] = {
      {"a document and its import",
       WithDefinitions(ChainDoc("imported.wsdl", "M", true, "B7"), "A", 2000),
       WithDefinitions(ChainDoc("", "N", false), "B", 2000)},
      {"one large document", WithDefinitions(ChainDoc("", "M", true, "B7"), "B", 13000), ""},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string file = dir.Write("main.wsdl", c.main);
    if (!c.imported.empty()) dir.Write("imported.wsdl", c.imported);
    const size_t bytes = c.main.size() + c.imported.size();
    const size_t before = HeapInUse();
    StartPeak();
    size_t held = 0;
    {
      WsdlClient client;
      ASSERT_TRUE(client.LoadServiceDescription(u"S", u"P", FileUrl(file))) << c.what;
      held = HeapInUse() - before;
      EXPECT_LE(held, 4 * bytes) << c.what;
      EXPECT_TRUE(client.IsMsgPart(Direction::Input, u"op", u"q")) << c.what;  // B7 was read
    }
    const size_t peak = PeakSince(before);
    if (PeakIsCounted()) {
      EXPECT_LE(peak, held + bytes * 5 / 2)
          << c.what << ": held " << double(held) / double(bytes) << " x, peak "
          << double(peak) / double(bytes) << " x the document bytes";
      EXPECT_LE(peak, 6 * bytes) << c.what << ": peak " << double(peak) / double(bytes)
                                 << " x the document bytes";
    }
  }
}

TEST(FileLoadTest, DocumentLargerThanTheLimitIsRefused) {
  TempDir dir;
  std::string big = ChainDoc("", "M", true, "M");
  big += std::string(600, ' ');
  const std::string file = dir.Write("big.wsdl", big);
  WsdlClient client;
  client.SetMaxDocumentLengthForTest(big.size() - 1);
  EXPECT_FALSE(client.LoadServiceDescription(u"S", u"P", FileUrl(file)));
  EXPECT_FALSE(client.HasDocument());
  client.SetMaxDocumentLengthForTest(big.size());
  EXPECT_TRUE(client.LoadServiceDescription(u"S", u"P", FileUrl(file)));
}

TEST(FileLoadTest, NamedPipeIsRefusedWithoutBlocking) {
  TempDir dir;
  const std::string fifo = dir.path() + "/pipe.wsdl";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WsdlClient client;
  EXPECT_FALSE(client.LoadServiceDescription(u"S", u"P", FileUrl(fifo)));
}

// ---- HTTP ---------------------------------------------------------------------

TEST(HttpLoadTest, RequestBytesAndAnImportFetchedWithTheDefaults) {
  DocServer server({
      {"/dir/main.wsdl?v=1", Ok(ChainDoc("types.wsdl", "M0", true, "M1"))},
      {"/dir/types.wsdl", Ok(ChainDoc("", "M1", false))},
  });
  server.Serve(2);
  ComPtr<I> r = NewReader();
  VARIANT_BOOL ok = VARIANT_FALSE;
  // A CR LF in the User-Agent would start a header line of its own.
  r->SetUserAgent(Bstr(u"Agent/1\r\nX-Evil: 1").Get(), &ok);
  r->SetHTTPHeaders(Bstr(u"X-Extra: 1\r\n").Get(), &ok);
  EXPECT_TRUE(Load(r.Get(), u"S", u"P", server.Url("/dir/main.wsdl?v=1")));
  EXPECT_EQ(Bool(r.Get(), &I::IsInputMsgPart, u"op", u"p"), u"true");  // M1 was imported
  EXPECT_EQ(S0(r.Get(), &I::GetUserAgent), u"Agent/1\r\nX-Evil: 1");   // as set
  const std::vector<std::string> heads = server.Heads();
  ASSERT_EQ(heads.size(), 2u);
  EXPECT_EQ(heads[0], "GET /dir/main.wsdl?v=1 HTTP/1.0\r\n" + server.HostLine() +
                          "\r\nUser-Agent: Agent/1X-Evil: 1\r\nX-Extra: 1\r\n\r\n");
  EXPECT_EQ(heads[1], "GET /dir/types.wsdl HTTP/1.0\r\n" + server.HostLine() +
                          "\r\nUser-Agent: Quorvel WSDL Client/2.1 (C++ WSDL client library)"
                          "\r\n\r\n");
}

// An absolute URL in the path is sent as the request target, as to a proxy,
// with the Host line naming its authority.
TEST(HttpLoadTest, AbsoluteUrlInThePathGoesThroughAProxy) {
  DocServer proxy({{"http://origin.example/x.wsdl", Ok(ChainDoc("", "M", true, "M"))}});
  proxy.Serve(1);
  ComPtr<I> r = NewReader();
  EXPECT_TRUE(Load(r.Get(), u"S", u"P", proxy.Url("/http://origin.example/x.wsdl")));
  const std::vector<std::string> heads = proxy.Heads();
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(heads[0],
            "GET http://origin.example/x.wsdl HTTP/1.0\r\nHost: origin.example\r\n"
            "User-Agent: Quorvel WSDL Client/2.1 (C++ WSDL client library)\r\n\r\n");
}

TEST(HttpLoadTest, RedirectsFollowedOnceWithoutControlBytes) {
  const std::string doc = Ok(ChainDoc("", "M", true, "M"));
  const struct {
    const char* what;
    std::string answer;
    int connections;
    bool loads;
  } cases[] = {
      {"redirect to a path", "HTTP/1.0 302 Found\r\nLocation: /real.wsdl\r\n\r\n", 2, true},
      {"moved permanently", "HTTP/1.0 301 Moved\r\nLocation:   /real.wsdl\r\n\r\n", 2, true},
      {"a second redirect", "HTTP/1.0 302 Found\r\nLocation: /again\r\n\r\n", 2, false},
      {"a carriage return inside the location",
       "HTTP/1.0 302 Found\r\nLocation: /real.wsdl\rX-Evil: 1\r\n\r\n", 1, false},
      {"a relative location that is no path", "HTTP/1.0 302 Found\r\nLocation: real.wsdl\r\n\r\n",
       1, false},
      {"not found", "HTTP/1.0 404 Not Found\r\n\r\n", 1, false},
  };
  for (const auto& c : cases) {
    DocServer server({
        {"/start.wsdl", c.answer},
        {"/real.wsdl", doc},
        {"/again", "HTTP/1.0 302 Found\r\nLocation: /real.wsdl\r\n\r\n"},
    });
    server.Serve(c.connections);
    ComPtr<I> r = NewReader();
    EXPECT_EQ(Load(r.Get(), u"S", u"P", server.Url("/start.wsdl")), c.loads) << c.what;
    EXPECT_EQ(server.Heads().size(), size_t(c.connections)) << c.what;
  }
}

// A redirect to an absolute URL names its own host and port.
TEST(HttpLoadTest, RedirectToAnotherServer) {
  DocServer target({{"/there.wsdl", Ok(ChainDoc("", "M", true, "M"))}});
  target.Serve(1);
  DocServer first({{"/here.wsdl",
                    "HTTP/1.0 302 Found\r\nLocation: " + target.Url("/there.wsdl") + "\r\n\r\n"}});
  first.Serve(1);
  ComPtr<I> r = NewReader();
  EXPECT_TRUE(Load(r.Get(), u"S", u"P", first.Url("/here.wsdl")));
  ASSERT_EQ(target.Heads().size(), 1u);
  EXPECT_NE(target.Heads()[0].find(target.HostLine() + "\r\n"), std::string::npos);
}

TEST(HttpLoadTest, ImportCyclesLoadAndEnd) {
  {
    // A imports B imports A: B's definitions arrive, A is not fetched twice.
    DocServer server({
        {"/a.wsdl", Ok(ChainDoc("b.wsdl", "Ma", true, "Mb"))},
        {"/b.wsdl", Ok(ChainDoc("a.wsdl", "Mb", false))},
    });
    server.Serve(2);
    ComPtr<I> r = NewReader();
    EXPECT_TRUE(Load(r.Get(), u"S", u"P", server.Url("/a.wsdl")));
    EXPECT_EQ(Bool(r.Get(), &I::IsInputMsgPart, u"op", u"p"), u"true");
    EXPECT_EQ(server.Heads().size(), 2u);
  }
  {
    DocServer server({{"/self.wsdl", Ok(ChainDoc("self.wsdl", "M", true, "M"))}});
    server.Serve(1);
    ComPtr<I> r = NewReader();
    EXPECT_TRUE(Load(r.Get(), u"S", u"P", server.Url("/self.wsdl")));
    EXPECT_EQ(server.Heads().size(), 1u);
  }
}

// The reader's timeout bounds the whole load, imports included: an import
// that answers only after the root's time is up fails the load, though no
// single wait ran out (an import on its own would wait the default).
TEST(HttpLoadTest, TimeoutBoundsTheWholeLoadWithItsImports) {
  LoopbackPeer peer;
  peer.Serve(
      [](PeerConnection& c) {
        const std::string head = c.ReadHead();
        if (head.starts_with("GET /slow.wsdl")) {
          c.Pause(900);
          c.Write(Ok(ChainDoc("", "M1", false)));
        } else {
          c.Write(Ok(ChainDoc("slow.wsdl", "M0", true, "M1")));
        }
      },
      2);
  ComPtr<I> r = NewReader();
  VARIANT_BOOL ok = VARIANT_FALSE;
  r->SetHTTPTimeout(300, &ok);
  const std::string url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/root.wsdl";
  EXPECT_FALSE(Load(r.Get(), u"S", u"P", url));
  peer.Join();
  EXPECT_EQ(peer.accepted(), 2);
}

// A host that answers at once and then drips its document, a byte at a
// time well inside each wait: the transfer itself must end by the load's
// deadline rather than run for as long as the host keeps dripping.
TEST(HttpLoadTest, DrippingHostIsCutOffAtTheLoadsDeadline) {
  LoopbackPeer peer;
  peer.Serve([](PeerConnection& c) {
    c.ReadHead();
    const std::string doc = ChainDoc("", "M0", true, "M0");
    if (!c.Write("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(doc.size()) +
                 "\r\n\r\n")) {
      return;
    }
    // About 10 s of drip unless the reader goes away.
    c.WriteSlowly(doc.substr(0, 100), 100);
  });
  ComPtr<I> r = NewReader();
  VARIANT_BOOL ok = VARIANT_FALSE;
  r->SetHTTPTimeout(500, &ok);
  const std::string url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/drip.wsdl";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Load(r.Get(), u"S", u"P", url));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(3));
  peer.Join();
}

// Documents d0 .. dN, each importing the next; the root's operation uses the
// message of the last, so the load shows that every level was merged.
std::map<std::string, std::string> Chain(int levels, bool last_imports) {
  std::map<std::string, std::string> docs;
  for (int i = 0; i <= levels; ++i) {
    const std::string next =
        i < levels || last_imports ? "d" + std::to_string(i + 1) + ".wsdl" : "";
    docs["/d" + std::to_string(i) + ".wsdl"] =
        Ok(ChainDoc(next, "M" + std::to_string(i), i == 0, "M" + std::to_string(levels)));
  }
  return docs;
}

TEST(HttpLoadTest, ImportDepthIsBounded) {
  const int levels = int(kMaxImportDepth);
  {
    DocServer server(Chain(levels, /*last_imports=*/false));
    server.Serve(levels + 1);
    ComPtr<I> r = NewReader();
    EXPECT_TRUE(Load(r.Get(), u"S", u"P", server.Url("/d0.wsdl")));
    EXPECT_EQ(Bool(r.Get(), &I::IsInputMsgPart, u"op", u"p"), u"true");
    EXPECT_EQ(server.Heads().size(), size_t(levels + 1));
  }
  {
    // One level more: refused before it is fetched, and the whole load fails.
    DocServer server(Chain(levels, /*last_imports=*/true));
    server.Serve(levels + 1);
    const size_t before = EventLog().size();
    ComPtr<I> r = NewReader();
    EXPECT_FALSE(Load(r.Get(), u"S", u"P", server.Url("/d0.wsdl")));
    EXPECT_EQ(server.Heads().size(), size_t(levels + 1));
    const std::vector<std::string> entries = EntriesSince(before);
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back(), kSource + "Doc: </d0.wsdl> " +
                                  "Unable to process document referenced in 'import' element.");
  }
}

// `doc` with further imports of urn:chain after its head.
std::string WithImports(std::string doc, const std::vector<std::string>& locations) {
  const std::string head_end = "soap/\">\n";
  std::string imports;
  for (const std::string& l : locations) {
    imports += "<import namespace=\"urn:chain\" location=\"" + l + "\"/>\n";
  }
  return doc.insert(doc.find(head_end) + head_end.size(), imports);
}

// A document reached on two paths is fetched once; one load fetches a
// bounded number of documents however wide its imports fan out.
TEST(HttpLoadTest, EachDocumentFetchedOnceAndTheirNumberBounded) {
  {
    DocServer server({
        {"/root.wsdl", Ok(WithImports(ChainDoc("", "R", true, "Md"), {"b.wsdl", "c.wsdl"}))},
        {"/b.wsdl", Ok(ChainDoc("d.wsdl", "Mb", false))},
        {"/c.wsdl", Ok(ChainDoc("d.wsdl", "Mc", false))},
        {"/d.wsdl", Ok(ChainDoc("", "Md", false))},
    });
    server.Serve(4);
    ComPtr<I> r = NewReader();
    EXPECT_TRUE(Load(r.Get(), u"S", u"P", server.Url("/root.wsdl")));
    EXPECT_EQ(Bool(r.Get(), &I::IsInputMsgPart, u"op", u"p"), u"true");
    EXPECT_EQ(server.Heads().size(), 4u);
  }
  for (const size_t imports : {kMaxLoadDocuments - 1, kMaxLoadDocuments}) {
    std::map<std::string, std::string> docs;
    std::vector<std::string> locations;
    for (size_t i = 0; i < imports; ++i) {
      locations.push_back("i" + std::to_string(i) + ".wsdl");
      docs["/" + locations.back()] = Ok(ChainDoc("", "M" + std::to_string(i), false));
    }
    docs["/root.wsdl"] = Ok(WithImports(ChainDoc("", "R", true, "M0"), locations));
    DocServer server(docs);
    server.Serve(int(kMaxLoadDocuments));
    ComPtr<I> r = NewReader();
    EXPECT_EQ(Load(r.Get(), u"S", u"P", server.Url("/root.wsdl")), imports < kMaxLoadDocuments)
        << imports;
    EXPECT_EQ(server.Heads().size(), kMaxLoadDocuments) << imports;
  }
}

TEST(HttpLoadTest, RemoteDocumentCannotImportALocalFile) {
  DocServer server(
      {{"/r.wsdl", Ok(ChainDoc("file://" + kData + "/import_types.wsdl", "M", true, "M"))}});
  server.Serve(1);
  ComPtr<I> r = NewReader();
  EXPECT_FALSE(Load(r.Get(), u"S", u"P", server.Url("/r.wsdl")));
  EXPECT_EQ(S0(r.Get(), &I::GetDefinitionsTNS), u"");
  server.Heads();
}

TEST(HttpLoadTest, OversizedDocumentsAreRefused) {
  {
    // Announced larger than the limit: refused before the body comes.
    DocServer server(
        {{"/big.wsdl", "HTTP/1.0 200 OK\r\nContent-Length: " +
                           std::to_string(kMaxWsdlDocumentLength + 1) + "\r\n\r\n<definitions"}});
    server.Serve(1);
    WsdlClient client;
    EXPECT_FALSE(client.LoadServiceDescription(u"S", u"P", server.Url("/big.wsdl")));
    server.Heads();
  }
  {
    // No length announced: the body is cut off at the limit.
    const std::string doc = ChainDoc("", "M", true, "M") + std::string(600, ' ');
    DocServer server({{"/big.wsdl", "HTTP/1.0 200 OK\r\n\r\n" + doc}});
    server.Serve(2);
    WsdlClient client;
    client.SetMaxDocumentLengthForTest(doc.size() - 1);
    EXPECT_FALSE(client.LoadServiceDescription(u"S", u"P", server.Url("/big.wsdl")));
    client.SetMaxDocumentLengthForTest(doc.size());
    EXPECT_TRUE(client.LoadServiceDescription(u"S", u"P", server.Url("/big.wsdl")));
    server.Heads();
  }
}

// URLs that are never fetched: a bad port, a scheme that only appears later
// in the text.
TEST(HttpLoadTest, UrlsThatAreNotFetched) {
  LoopbackPeer peer;
  const std::string port = std::to_string(peer.port());
  for (const std::string& url : std::vector<std::string>{
           "http://127.0.0.1:70000/x.wsdl",
           "http://127.0.0.1:0/x.wsdl",
           "/x?u=http://127.0.0.1:" + port + "/x.wsdl",
           "file:///nonexistent/http://127.0.0.1:" + port + "/x.wsdl",
       }) {
    WsdlClient client;
    EXPECT_FALSE(client.LoadServiceDescription(u"S", u"P", url)) << url;
  }
  EXPECT_EQ(peer.accepted(), 0);
}

TEST(HttpLoadTest, ParseErrorNamesThePathWithItsQuery) {
  DocServer server({{"/bad.wsdl?x=1", Ok("<definitions>\n<a></b>")}});
  server.Serve(1);
  const size_t before = EventLog().size();
  ComPtr<I> r = NewReader();
  EXPECT_FALSE(Load(r.Get(), u"S", u"P", server.Url("/bad.wsdl?x=1")));
  const std::vector<std::string> entries = EntriesSince(before);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], kSource + "Doc: </bad.wsdl?x=1> Parse error on line 2");
  server.Heads();
}

// Anonymous types of an imported schema merged into the importer's schema
// stay usable after the imported document is gone.
TEST(HttpLoadTest, MergedAnonymousTypesOutliveTheImportedDocument) {
  std::string main = ChainDoc("imp.wsdl", "M", true, "M");
  std::string imp = ChainDoc("", "N", false);
  const std::string head_end = "soap/\">\n";
  main.insert(main.find(head_end) + head_end.size(),
              "<types><xsd:schema targetNamespace=\"urn:t\"><xsd:element name=\"Mine\" "
              "type=\"xsd:int\"/></xsd:schema></types>\n");
  imp.insert(imp.find(head_end) + head_end.size(),
             "<types><xsd:schema targetNamespace=\"urn:t\" elementFormDefault=\"qualified\">"
             "<xsd:element name=\"Theirs\"><xsd:complexType><xsd:sequence>"
             "<xsd:element name=\"inner\"><xsd:complexType><xsd:sequence>"
             "<xsd:element name=\"leaf\" type=\"xsd:string\"/>"
             "</xsd:sequence></xsd:complexType></xsd:element>"
             "</xsd:sequence></xsd:complexType></xsd:element>"
             "</xsd:schema></types>\n");
  DocServer server({{"/main.wsdl", Ok(main)}, {"/imp.wsdl", Ok(imp)}});
  server.Serve(2);
  ComPtr<I> r = NewReader();
  ASSERT_TRUE(Load(r.Get(), u"S", u"P", server.Url("/main.wsdl")));
  server.Heads();
  const std::u16string theirs = T2(r.Get(), &I::GetHeaderElemType, u"Theirs", u"urn:t");
  ASSERT_NE(theirs, kFalse);
  const std::u16string outer = theirs.substr(0, theirs.find(u'|'));
  const std::u16string inner = Member(r.Get(), outer, u"urn:t", u"inner", u"urn:t");
  ASSERT_NE(inner, kFalse);
  EXPECT_EQ(Member(r.Get(), inner.substr(0, inner.find(u'|')), u"urn:t", u"leaf", u"urn:t"),
            u"string|http://www.w3.org/2001/XMLSchema");
  EXPECT_EQ(T2(r.Get(), &I::GetHeaderElemType, u"Mine", u"urn:t"),
            u"int|http://www.w3.org/2001/XMLSchema");
}

}  // namespace
}  // namespace wsdl
