#include "xmldoc/xml_doc_reader.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/net/testing/loopback_peer.h"
#include "xml/testing/tree_dump.h"

namespace xmldoc {
namespace {

using net::testing::LoopbackPeer;
using net::testing::PeerConnection;

const std::string kDoc =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<cfg xmlns=\"urn:q\" xmlns:p=\"urn:p\"><realm p:id=\"r1\">caf\xC3\xA9</realm>"
    "<realm>two</realm><p:x/></cfg>";

std::string Url(uint16_t port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

class XmlDocReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (std::filesystem::temp_directory_path() / "qvreaderXXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    file_ = (dir_ / "doc.xml").string();
    FILE* f = std::fopen(file_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(kDoc.data(), 1, kDoc.size(), f);
    std::fclose(f);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Serves `answer` to one GET; the request is kept in `request_`.
  void ServeOnce(LoopbackPeer& peer, const std::string& answer) {
    peer.Serve([this, answer](PeerConnection& c) {
      request_ = c.ReadHead();
      c.Write(answer);
    });
  }

  std::filesystem::path dir_;
  std::string file_;
  std::string request_;
};

TEST_F(XmlDocReaderTest, FileFileUrlAndHttpLoadTheSameTree) {
  XmlDocReader from_file, from_file_url, from_http;
  ASSERT_TRUE(from_file.LoadDocumentFromUrl(file_));
  ASSERT_TRUE(from_file_url.LoadDocumentFromUrl("file://" + file_));
  LoopbackPeer peer;
  ServeOnce(peer, "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + kDoc);
  ASSERT_TRUE(from_http.LoadDocumentFromUrl(Url(peer.port(), "/cfg/doc.xml")));
  peer.Join();

  EXPECT_EQ(request_, "GET /cfg/doc.xml HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(peer.port()) +
                          "\r\nUser-Agent: Quorvel XMLDocReader/1.0 (C++ Class Library)\r\n\r\n");
  const std::string tree = xml::testing::DumpTree(*from_file.GetRoot());
  EXPECT_EQ(xml::testing::DumpTree(*from_file_url.GetRoot()), tree);
  EXPECT_EQ(xml::testing::DumpTree(*from_http.GetRoot()), tree);
  EXPECT_TRUE(from_http.Query(u"/q:realm", {{u"q", u"urn:q"}}));
  EXPECT_EQ(from_http.GetResultCount(), 2u);
}

TEST_F(XmlDocReaderTest, FailedReadOrFetchKeepsTheTreeAndAFailedParseDropsIt) {
  const QueryNamespaces ns = {{u"q", u"urn:q"}};
  XmlDocReader reader;
  ASSERT_TRUE(reader.LoadDocumentFromFile(file_));
  const std::string tree = xml::testing::DumpTree(*reader.GetRoot());

  LoopbackPeer not_found;
  ServeOnce(not_found, "HTTP/1.0 404 Not Found\r\n\r\n<other/>");
  LoopbackPeer cut_head;
  ServeOnce(cut_head, "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n");
  const std::string keeps[] = {
      (dir_ / "missing.xml").string(),
      dir_.string(),
      Url(not_found.port(), "/doc.xml"),
      Url(cut_head.port(), "/doc.xml"),
      "http://127.0.0.1:99999/doc.xml",
      "http://127.0.0.1:x/doc.xml",
  };
  for (const auto& url : keeps) {
    ASSERT_TRUE(reader.Query(u"/q:realm", ns));
    EXPECT_FALSE(reader.LoadDocumentFromUrl(url)) << url;
    ASSERT_NE(reader.GetRoot(), nullptr) << url;
    EXPECT_EQ(xml::testing::DumpTree(*reader.GetRoot()), tree) << url;
    EXPECT_EQ(reader.GetResultCount(), 0u) << url;
    EXPECT_EQ(reader.NextNode(), nullptr) << url;
  }
  not_found.Join();
  cut_head.Join();

  LoopbackPeer malformed;
  ServeOnce(malformed, "HTTP/1.0 200 OK\r\n\r\n<cfg><open></cfg>");
  ASSERT_TRUE(reader.Query(u"/q:realm", ns));
  EXPECT_FALSE(reader.LoadDocumentFromUrl(Url(malformed.port(), "/bad.xml")));
  EXPECT_EQ(reader.GetRoot(), nullptr);
  EXPECT_EQ(reader.GetResultCount(), 0u);
}

TEST_F(XmlDocReaderTest, RedirectLoadsTheDocumentItPointsTo) {
  LoopbackPeer target;
  ServeOnce(target, "HTTP/1.0 200 OK\r\n\r\n" + kDoc);
  LoopbackPeer first;
  first.Serve([&](PeerConnection& c) {
    c.ReadHead();
    c.Write("HTTP/1.0 301 Moved\r\nLocation: " + Url(target.port(), "/new.xml") + "\r\n\r\n");
  });
  XmlDocReader reader;
  ASSERT_TRUE(reader.LoadDocumentFromUrl("  " + Url(first.port(), "/old.xml")));
  first.Join();
  target.Join();
  EXPECT_EQ(request_.substr(0, 21), "GET /new.xml HTTP/1.0");
  EXPECT_EQ(reader.GetRoot()->GetLocalName(), u"cfg");
}

TEST_F(XmlDocReaderTest, IdentityAndTimeOut) {
  XmlDocReader reader;
  EXPECT_EQ(reader.GetName(), "Quorvel XML DocReader/1.1");
  EXPECT_EQ(reader.GetTimeout(), 30000u);
  EXPECT_EQ(reader.GetRoot(), nullptr);
}

}  // namespace
}  // namespace xmldoc
