// The braskel program serving HTTP as its users run it: registered as a
// service, started with a configuration in a temporary directory, on a
// loopback port of its own that it reports in the event log.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/service_registration.h"

extern char** environ;

namespace server {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Sun, 06 Nov 1994 08:49:37 GMT
constexpr time_t kFileTime = 784111777;
const std::string kSource = std::string(kServiceName) + ": ";

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Connection {
 public:
  explicit Connection(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Connection() { ::close(fd_); }
  bool Connected() const { return connected_; }
  void Send(std::string_view s) {
    while (!s.empty()) {
      const ssize_t n = ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      s.remove_prefix(static_cast<size_t>(n));
    }
  }
  // Until the server closes; `closed` tells whether it did within `limit`.
  std::string ReadAll(std::chrono::milliseconds limit, bool* closed) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + limit;
    char buffer[16384];
    *closed = false;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        *closed = true;
        break;
      }
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class BraskelHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qvbraskelhttp-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "www");
    exe_ = dir_ / "braskel";
    fs::copy_file(BRASKEL_PATH, exe_);
    std::ofstream(dir_ / "www" / "a.txt", std::ios::binary) << "hello text";
    std::ofstream(dir_ / "www" / "index.htm", std::ios::binary) << "<p>home</p>";
    std::ofstream(dir_ / "secret.txt", std::ios::binary) << "TOP-SECRET-CONTENT";
    for (const char* f : {"a.txt", "index.htm"}) {
      timespec times[2] = {{kFileTime, 0}, {kFileTime, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, (dir_ / "www" / f).c_str(), times, 0), 0);
    }
    const char* log = std::getenv("QUORVEL_EVENTLOG_FILE");
    ASSERT_NE(log, nullptr);
    eventLog_ = log;
    fs::remove(eventLog_);
    ASSERT_EQ(UnregisterServer(), S_OK);
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    EXPECT_EQ(UnregisterServer(), S_OK);
    fs::remove_all(dir_);
  }

  pid_t Spawn(const std::vector<std::string>& args, bool asService) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("QUORVEL_SERVICE_NAME=", 0) != 0) env.emplace_back(*e);
    }
    if (asService) env.push_back(std::string("QUORVEL_SERVICE_NAME=") + kServiceName);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{exe_.string()};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, exe_.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
    return pid;
  }
  static int Wait(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > end) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
      }
      std::this_thread::sleep_for(20ms);
    }
  }

  // Registers, writes the configuration and starts the service; returns the
  // port it reports.
  uint16_t StartService(const std::string& settings) {
    std::ofstream(dir_ / "brevla-config.xml", std::ios::binary)
        << "<configuration><listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>"
        << "<docBasePath>" << (dir_ / "www").string() << "</docBasePath>"
        << "<defaultDocument>index.htm</defaultDocument>" << settings
        << "<endpointList><endpoint><requestURI>/svc/*</requestURI><wsdlDocURL>u</wsdlDocURL>"
           "<wsdlService>s</wsdlService><wsdlPort>p</wsdlPort><bodyProcessingProgId>b"
           "</bodyProcessingProgId><enabled>true</enabled></endpoint></endpointList>"
        << "</configuration>";
    EXPECT_EQ(Wait(Spawn({"-Service"}, false), 60s), 0);
    pid_ = Spawn({}, /*asService=*/true);
    const std::string prefix = kSource + "Listening on 127.0.0.1:";
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
      std::istringstream in(ReadFile(eventLog_));
      for (std::string l; std::getline(in, l);) {
        if (l.rfind(prefix, 0) == 0)
          return static_cast<uint16_t>(std::stoi(l.substr(prefix.size())));
      }
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "no listening line in:\n" << ReadFile(eventLog_);
    return 0;
  }

  std::string Exchange(uint16_t port, const std::string& request, bool oneByteAtATime = false) {
    Connection c(port);
    EXPECT_TRUE(c.Connected());
    if (oneByteAtATime) {
      for (char ch : request) c.Send(std::string_view(&ch, 1));
    } else {
      c.Send(request);
    }
    bool closed = false;
    std::string reply = c.ReadAll(10s, &closed);
    EXPECT_TRUE(closed);
    return reply;
  }

  size_t CountEvents(const std::string& line) const {
    std::istringstream in(ReadFile(eventLog_));
    size_t n = 0;
    for (std::string l; std::getline(in, l);) n += l == kSource + line;
    return n;
  }

  // The count once it reaches `n` (the line is written just after the close
  // a client sees), or the last count after a bounded wait.
  size_t WaitForCount(const std::string& line, size_t n) const {
    size_t count = 0;
    for (int i = 0; i < 250 && (count = CountEvents(line)) < n; ++i)
      std::this_thread::sleep_for(20ms);
    return count;
  }

  // Stops with SIGTERM; a sanitizer finding (a leak) makes the exit code non-zero.
  void StopService() {
    kill(pid_, SIGTERM);
    EXPECT_EQ(Wait(pid_, 60s), 0);
    pid_ = -1;
    EXPECT_EQ(WaitForCount("Service stopped", 1), 1u);
  }

  static std::string WithoutDate(std::string reply) {
    const size_t d = reply.find("Date: ");
    if (d == std::string::npos) return reply;
    return reply.erase(d, reply.find("\r\n", d) + 2 - d);
  }

  fs::path dir_, exe_, eventLog_;
  pid_t pid_ = -1;
};

const std::string kPage400 =
    "HTTP/1.0 400 Bad Request\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>400 Badly Formed "
    "Request</TITLE></HEAD>\n<BODY><H1>400 Badly Formed Request</H1>\nThe request had bad syntax "
    "or was inherently impossible to be satisfied.<BR>\n</BODY>\r\n";

TEST_F(BraskelHttpTest, PagesFilesAndPaths) {
  const uint16_t port = StartService("");
  ASSERT_NE(port, 0);
  struct Case {
    std::string request;
    std::string reply;
  } cases[] = {
      {"GET / HTTP/1\r\n\r\n", kPage400},
      {"HEAD /svc/x HTTP/1.1\r\n\r\n", "HTTP/1.0 403 Forbidden\r\nConnection: close\r\n\r\n"},
      {"GET /nope.htm HTTP/1.0\r\n\r\n",
       "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>404 Not "
       "Found</TITLE></HEAD>\n<BODY><H1>404 Not Found</H1>\nThe requested resource /nope.htm was "
       "not found.<BR>\n</BODY>\r\n"},
      {"DELETE /a.txt HTTP/1.0\r\n\r\n",
       "HTTP/1.0 405 Method Not Allowed\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>405 "
       "Method Not Allowed</TITLE></HEAD>\n<BODY><H1>405 Method Not Allowed</H1>\nMethod DELETE "
       "not allowed.<BR>\n</BODY>\r\n"},
      {"GET /a.txt HTTP/3.0\r\n\r\n",
       "HTTP/1.0 505 HTTP Version Not Supported\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>505 "
       "HTTP Version Not Supported </TITLE></HEAD>\n<BODY><H1>505 HTTP Version  HTTP/3.0 not "
       "supported.<BR>\n</BODY>\r\n"},
      {"GET /a.txt HTTP/1.1\r\nUser-Agent: t\r\n\r\n",
       "HTTP/1.0 200 OK\r\nServer: Quorvel SOAP Server/3.2\r\nMIME-version: 1.0\r\nContent-Type: "
       "text/plain\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Length: "
       "10\r\nConnection: close\r\n\r\nhello text"},
      {"GET /a.txt HTTP/1.0\r\nIf-Modified-Since: Mon, 07 Nov 1994 00:00:00 GMT\r\n\r\n",
       "HTTP/1.0 304 Not Modified\r\nContent-Type: text/html\r\nServer: Quorvel SOAP "
       "Server/3.2\r\n\r\n\r\n"},
      {"POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 2\r\nSOAPAction: "
       "a\r\n\r\n<x",
       "HTTP/1.0 500 Internal Server Error\r\nContent-Type: text/xml\r\n\r\n<?xml "
       "version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SOAP-ENV:Envelope "
       "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n<SOAP-ENV:Body>\r\n"
       "<SOAP-ENV:Fault>\r\n<faultcode>SOAP-ENV:Server</faultcode>\r\n<faultstring>Unexpected "
       "Error 500</faultstring>\r\n</SOAP-ENV:Fault>\r\n</SOAP-ENV:Body>\r\n"
       "</SOAP-ENV:Envelope>\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(WithoutDate(Exchange(port, c.request)), c.reply);
  }
  // The default document, sent a byte at a time.
  const std::string home = Exchange(port, "GET / HTTP/1.0\r\nAccept: */*\r\n\r\n", true);
  EXPECT_EQ(home.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << home;
  EXPECT_NE(home.find("\r\nContent-Type: text/html\r\n"), std::string::npos);
  EXPECT_EQ(home.substr(home.size() - 11), "<p>home</p>");
  for (const char* path : {"/../secret.txt", "/%2E%2E/secret.txt", "/a.txt%00.htm"}) {
    SCOPED_TRACE(path);
    const std::string reply = Exchange(port, std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << reply;
    EXPECT_EQ(reply.find("TOP-SECRET"), std::string::npos);
  }
  StopService();
}

TEST_F(BraskelHttpTest, SlotsTimeoutsAndStopWithConnectionsOpen) {
  const uint16_t port = StartService(
      "<maxClients>2</maxClients><clientTimeout>1</clientTimeout>"
      "<watchdogInterval>1</watchdogInterval>");
  ASSERT_NE(port, 0);
  {
    Connection a(port), b(port);
    ASSERT_TRUE(a.Connected() && b.Connected());
    std::this_thread::sleep_for(300ms);
    // Every slot taken: the next client is closed without a byte.
    Connection extra(port);
    bool closed = false;
    EXPECT_EQ(extra.ReadAll(5s, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_GE(WaitForCount("At full capacity...refused connection!", 1), 1u);
    // The silent two are closed by the watchdog after the time-out; the
    // loop's first tick comes after the start pause.
    EXPECT_EQ(a.ReadAll(20s, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(b.ReadAll(5s, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(WaitForCount("Client connection timeout", 2), 2u);
  }
  // Slots are free again.
  EXPECT_NE(Exchange(port, "GET /a.txt HTTP/1.0\r\n\r\n").find("hello text"), std::string::npos);

  // Stopped with one request half sent and one connection silent.
  Connection half(port), silent(port);
  half.Send("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: 100\r\n\r\n<x");
  std::this_thread::sleep_for(200ms);
  StopService();
  bool closed = false;
  EXPECT_EQ(half.ReadAll(5s, &closed), "");
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace server
