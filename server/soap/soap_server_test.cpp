#include "server/soap/soap_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "server/http/server_core.h"
#include "server/http/testing/test_files.h"
#include "server/soap/wsdl_cache.h"

namespace server {
namespace {

namespace fs = std::filesystem;

class SoapServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = server_testing::FreshTestDir("qvsoapserver");
    server_ = std::make_unique<SoapServer>((dir_ / "braskel").string(),
                                           [this](const std::string& l) { lines_.push_back(l); });
    server_->SetStartPauseForTest(std::chrono::milliseconds(0));
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteConfig(const std::string& body) {
    std::ofstream(dir_ / kConfigFileName, std::ios::binary)
        << "<configuration>" << body << "</configuration>";
  }

  fs::path dir_;
  std::vector<std::string> lines_;
  std::unique_ptr<SoapServer> server_;
};

TEST_F(SoapServerTest, MissingConfigurationEndsStartUp) {
  EXPECT_EQ(server_->ConfigPath(), (dir_ / "brevla-config.xml").string());
  EXPECT_FALSE(server_->InitServer());
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_EQ(lines_[0].rfind("cannot open " + server_->ConfigPath(), 0), 0u) << lines_[0];
  EXPECT_EQ(lines_[1], "Attempt to read configuration file failed!");
  EXPECT_TRUE(server_->Config()->endpoints.empty());
}

TEST_F(SoapServerTest, StartStopsAtTheListenerAfterReadingTheFile) {
  WriteConfig(
      "<listenPort>70000</listenPort><numWorkThreads>0</numWorkThreads>"
      "<enableServerLog>1</enableServerLog><serverLogPath>/x/s.log</serverLogPath>"
      "<endpointList><endpoint><requestURI>/svc/*</requestURI><wsdlDocURL>u</wsdlDocURL>"
      "<wsdlService>s</wsdlService><wsdlPort>p</wsdlPort>"
      "<bodyProcessingProgId>b</bodyProcessingProgId></endpoint></endpointList>");
  // The server starts, but with no port to bind it listens nowhere.
  EXPECT_TRUE(server_->InitServer());
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_EQ(lines_[0], "listenPort 70000 is outside 0..65535: no listening socket");
  EXPECT_EQ(lines_[1], "numWorkThreads is 0: accepted connections will not be served");
  EXPECT_EQ(lines_[2].rfind("Host: ", 0), 0u);
  EXPECT_NE(lines_[2].find("... Number of listening sockets: 0"), std::string::npos) << lines_[2];
  EXPECT_EQ(server_->Settings().listenPort, 70000);
  EXPECT_EQ(server_->Settings().maxClients, 16);
  ASSERT_EQ(server_->Protocols().size(), 1u);
  EXPECT_EQ(server_->Protocols()[0].addressFamily, AF_INET);
  EXPECT_FALSE(server_->Protocols()[0].connectionless);
  ConfigSnapshotPtr config = server_->Config();
  ASSERT_EQ(config->endpoints.count("/svc"), 1u);
  EXPECT_EQ(config->docBasePath, dir_.string() + "/docroot/");
  EXPECT_EQ(server_->Logs().Settings(), config->logs) << "the logs get the file's paths";
  EXPECT_EQ(server_->Logs().Settings().server_log_path, "/x/s.log");
}

TEST_F(SoapServerTest, EveryStepSucceedsAndTheHostLineCountsTheSockets) {
  WriteConfig("<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>");
  ASSERT_TRUE(server_->InitServer());
  char host[128] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(server_->HostName(), host);
  EXPECT_EQ(server_->NumListeningSockets(), 1);
  ASSERT_FALSE(lines_.empty());
  EXPECT_EQ(lines_.back(), std::string("Host: ") + host + "... Number of listening sockets: 1");
  for (const std::string& l : lines_) {
    EXPECT_EQ(l.find("Attempt to"), std::string::npos) << l;
  }
}

TEST_F(SoapServerTest, StartedServerDispatchesSoapAndFlushesReadersAfterEndpointChanges) {
  WriteConfig("<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>");
  ASSERT_TRUE(server_->InitServer());
  ASSERT_NE(server_->Core(), nullptr);
  EXPECT_NE(server_->Core()->Dispatch(), nullptr);
  WsdlCache* cache = server_->WsdlReaders();
  ASSERT_NE(cache, nullptr);

  (void)server_->ChangeConfig([](ConfigSnapshot& c) { c.defaultDocument = "b.htm"; });
  EXPECT_FALSE(cache->FlushPending()) << "the endpoints did not change";
  (void)server_->ChangeConfig([](ConfigSnapshot& c) { c.endpoints["/new"].requestURI = "/new"; });
  EXPECT_TRUE(cache->FlushPending());
  server_->Core()->OnWatchdog();
  EXPECT_FALSE(cache->FlushPending());
  EXPECT_EQ(lines_.back(), "WSDL cache flushed");
}

TEST_F(SoapServerTest, StartPauseHoldsWhateverTheOutcome) {
  server_->SetStartPauseForTest(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(server_->InitServer());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(SoapServerTest, ChangesPublishANewSnapshotAndRewriteTheFile) {
  WriteConfig("<defaultDocument>a.htm</defaultDocument>");
  ASSERT_TRUE(server_->LoadConfig());
  ConfigSnapshotPtr before = server_->Config();

  ASSERT_TRUE(server_->ChangeConfig([](ConfigSnapshot& c) {
    c.defaultDocument = "b.htm";
    c.mimeMap.clear();
  }));
  EXPECT_EQ(before->defaultDocument, "a.htm") << "a held snapshot never changes";
  EXPECT_EQ(before->mimeMap.size(), 18u);
  EXPECT_EQ(server_->Config()->defaultDocument, "b.htm");

  ServerConfig reread;
  ASSERT_TRUE(LoadConfig(server_->ConfigPath(), server_->ExecutableDir(), &reread, nullptr));
  EXPECT_EQ(reread.snapshot.defaultDocument, "b.htm");
  EXPECT_EQ(reread.snapshot.mimeMap, BuiltInMimeMap()) << "an empty map saves no item";

  // The file cannot be replaced: the change is in force, the result says so.
  fs::remove(server_->ConfigPath());
  fs::create_directories(server_->ConfigPath());
  lines_.clear();
  EXPECT_FALSE(server_->ChangeConfig([](ConfigSnapshot& c) { c.defaultDocument = "c.htm"; }));
  EXPECT_EQ(server_->Config()->defaultDocument, "c.htm");
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_NE(lines_[0].find("brevla-config.xml"), std::string::npos) << lines_[0];
}

TEST_F(SoapServerTest, ReadersSeeWholeSnapshotsWhileChangesArePublished) {
  WriteConfig("");
  ASSERT_TRUE(server_->LoadConfig());
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        ConfigSnapshotPtr c = server_->Config();
        // Each change writes the same count into both places.
        if (c->defaultDocument != std::to_string(c->endpoints.size()) &&
            c->defaultDocument != "default.htm") {
          ++torn;
        }
      }
    });
  }
  for (int n = 1; n <= 50; ++n) {
    (void)server_->ChangeConfig([n](ConfigSnapshot& c) {
      c.endpoints["/e" + std::to_string(n)] = EndpointInfo{};
      c.defaultDocument = std::to_string(c.endpoints.size());
    });
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(server_->Config()->endpoints.size(), 50u);
}

TEST_F(SoapServerTest, ConcurrentChangesLeaveTheFileAsTheLastPublished) {
  WriteConfig("");
  ASSERT_TRUE(server_->LoadConfig());
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([this, w] {
      for (int n = 0; n < 10; ++n) {
        (void)server_->ChangeConfig([w, n](ConfigSnapshot& c) {
          c.defaultDocument = std::to_string(w) + "-" + std::to_string(n) + ".htm";
        });
      }
    });
  }
  for (std::thread& t : writers) t.join();
  ServerConfig reread;
  ASSERT_TRUE(LoadConfig(server_->ConfigPath(), server_->ExecutableDir(), &reread, nullptr));
  EXPECT_EQ(reread.snapshot.defaultDocument, server_->Config()->defaultDocument);
}

TEST_F(SoapServerTest, TheFileIsWrittenWithoutTheConfigurationLock) {
  WriteConfig("");
  // A failed save reports through the event sink from inside the save.
  fs::remove(server_->ConfigPath());
  fs::create_directories(server_->ConfigPath());
  std::atomic<int> free{-1};
  SoapServer* probe = nullptr;
  server_ = std::make_unique<SoapServer>((dir_ / "braskel").string(), [&](const std::string&) {
    std::thread([&] {
      std::mutex& lock = probe->Store().Lock();
      const bool taken = lock.try_lock();
      if (taken) lock.unlock();
      free = taken ? 1 : 0;
    }).join();
  });
  probe = server_.get();
  EXPECT_FALSE(server_->ChangeConfig([](ConfigSnapshot& c) { c.defaultDocument = "x.htm"; }));
  EXPECT_EQ(free.load(), 1) << "a request reading its WSDL reader waits on the save";
}

}  // namespace
}  // namespace server
