#include "plugins/routing/routing_path.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text/text.h"
#include "xml/testing/allocation_probe.h"

namespace routing {
namespace {

std::string N(std::u16string_view s) { return text::Narrow(s); }

constexpr char kHead11[] =
    "<rp:path SOAP-ENV:actor=\"http://schemas.xmlsoap.org/soap/actor/next\" "
    "SOAP-ENV:mustUnderstand=\"1\" xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:rp=\"http://schemas.xmlsoap.org/rp/\">";
constexpr char kHead12[] =
    "<rp:path SOAP-ENV:mustUnderstand=\"true\" "
    "SOAP-ENV:role=\"http://www.w3.org/2003/05/soap-envelope/role/next\" "
    "xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:rp=\"http://schemas.xmlsoap.org/rp/\">";

TEST(WritePathBlockTest, WritesTheHeadAndChildrenInTheFixedOrderForBothVersions) {
  const std::u16string to = u"http://d/end", from = u"me@x", id = u"uuid:1", rel = u"uuid:0";
  const std::vector<std::u16string> fwd = {u"http://b/", u"http://c/"};
  const std::vector<std::u16string> rev = {u"", u"http://a/"};
  RoutingFaultInfo fault;
  fault.code = u"700";
  fault.reason = u"Invalid WS-Routing Header";
  PathBlock block;
  block.action = u"urn:act";
  block.to = &to;
  block.fwd = &fwd;
  block.rev = &rev;
  block.from = &from;
  block.id = &id;
  block.relatesTo = &rel;
  block.fault = &fault;
  const std::string body =
      "<rp:action>urn:act</rp:action><rp:to>http://d/end</rp:to>"
      "<rp:fwd><rp:via>http://b/</rp:via><rp:via>http://c/</rp:via></rp:fwd>"
      "<rp:rev><rp:via /><rp:via>http://a/</rp:via></rp:rev><rp:from>me@x</rp:from>"
      "<rp:id>uuid:1</rp:id><rp:relatesTo>uuid:0</rp:relatesTo>"
      "<rp:fault><rp:code>700</rp:code><rp:reason>Invalid WS-Routing Header</rp:reason>"
      "</rp:fault></rp:path>";
  EXPECT_EQ(N(WritePathBlock(block, true)), kHead11 + body);
  EXPECT_EQ(N(WritePathBlock(block, false)), kHead12 + body);
}

TEST(WritePathBlockTest, EmptyListsAreEmptyElementsAndAwkwardTextIsEscaped) {
  const std::vector<std::u16string> none;
  const std::vector<std::u16string> rev = {u"a\tb\rc&<>\"'"};
  PathBlock block;
  block.action = u"urn:a";
  block.fwd = &none;
  block.rev = &rev;
  EXPECT_EQ(N(WritePathBlock(block, true)),
            std::string(kHead11) +
                "<rp:action>urn:a</rp:action><rp:fwd /><rp:rev><rp:via>a\tb&#13;c&amp;&lt;&gt;\"'"
                "</rp:via></rp:rev></rp:path>");
}

TEST(ReadPathTextTest, ReadsEveryChildAndTheUnqualifiedFaultDetails) {
  const std::u16string text =
      u"<p:path xmlns:p='http://schemas.xmlsoap.org/rp/' xmlns:o='urn:other'>"
      u"<p:action>urn:a</p:action><p:to>http://t/</p:to>"
      u"<p:fwd><p:via>http://a/</p:via><o:via>http://ignored/</o:via><p:via/></p:fwd>"
      u"<p:rev><p:via>http://r/</p:via></p:rev><p:from>f</p:from><p:id>uuid:9</p:id>"
      u"<p:relatesTo>uuid:8</p:relatesTo>"
      u"<p:fault><p:code>820</p:code><p:reason>r</p:reason><endpoint>e</endpoint>"
      u"<found><at>x</at><at>y</at></found><maxsize>1</maxsize><maxtime>2</maxtime>"
      u"<retryAfter>3</retryAfter><p:endpoint>qualified</p:endpoint></p:fault></p:path>";
  RoutingPath path;
  ASSERT_TRUE(ReadPathText(text, path));
  EXPECT_TRUE(path.hasAction && path.hasTo && path.hasFwd && path.hasRev && path.hasFrom &&
              path.hasId && path.hasRelatesTo && path.hasFault);
  EXPECT_EQ(path.action, u"urn:a");
  EXPECT_EQ(path.fwd, (std::vector<std::u16string>{u"http://a/", u""}));
  EXPECT_EQ(path.rev, (std::vector<std::u16string>{u"http://r/"}));
  EXPECT_EQ(path.relatesTo, u"uuid:8");
  EXPECT_EQ(path.fault.code, u"820");
  EXPECT_EQ(path.fault.endpoint, u"e");
  EXPECT_EQ(path.fault.found, (std::vector<std::u16string>{u"x", u"y"}));
  EXPECT_EQ(path.fault.retryAfter, u"3");
  EXPECT_TRUE(path.fault.hasMaxsize && path.fault.hasMaxtime && path.fault.hasFound);

  // Written out again, the details come back as they were read.
  PathBlock block;
  block.action = path.action;
  block.fault = &path.fault;
  EXPECT_EQ(N(WritePathBlock(block, false)),
            std::string(kHead12) +
                "<rp:action>urn:a</rp:action><rp:fault><rp:code>820</rp:code><rp:reason>r"
                "</rp:reason><endpoint>e</endpoint><found><at>x</at><at>y</at></found>"
                "<maxsize>1</maxsize><maxtime>2</maxtime><retryAfter>3</retryAfter>"
                "</rp:fault></rp:path>");
}

TEST(ReadPathTextTest, AbsentChildrenClearTheirFlagsAndBadTextLeavesTheModel) {
  RoutingPath path;
  ASSERT_TRUE(ReadPathText(
      u"<rp:path xmlns:rp='http://schemas.xmlsoap.org/rp/'><rp:id>1</rp:id>"
      u"<rp:rev><rp:via>http://r/</rp:via></rp:rev><rp:fault><found><at>a</at></found>"
      u"</rp:fault></rp:path>",
      path));
  ASSERT_TRUE(ReadPathText(
      u"<rp:path xmlns:rp='http://schemas.xmlsoap.org/rp/'><rp:action>x</rp:action>"
      u"<rp:fault><found><at>b</at></found></rp:fault><rp:to xmlns:rp='urn:no'>t</rp:to>"
      u"</rp:path>",
      path));
  EXPECT_FALSE(path.hasId);
  EXPECT_EQ(path.id, u"1");  // kept, but not written
  EXPECT_FALSE(path.hasRev);
  EXPECT_EQ(path.rev, (std::vector<std::u16string>{u"http://r/"}));
  EXPECT_FALSE(path.hasTo);
  EXPECT_EQ(path.fault.found, (std::vector<std::u16string>{u"a", u"b"}));

  std::u16string deep = u"<rp:path xmlns:rp='http://schemas.xmlsoap.org/rp/'>";
  for (int i = 0; i < 1100; ++i) deep += u"<a>";
  for (int i = 0; i < 1100; ++i) deep += u"</a>";
  deep += u"</rp:path>";
  for (const std::u16string& bad :
       {std::u16string(u"<rp:path>"), std::u16string(u"<x:path/>"), std::u16string(u""), deep}) {
    EXPECT_FALSE(ReadPathText(bad, path)) << N(bad.substr(0, 40));
    EXPECT_EQ(path.action, u"x");
    EXPECT_TRUE(path.hasAction);
  }
}

TEST(LookupRoutingFaultTest, KnownCodesAndTheRestByTheirSide) {
  const struct {
    int code;
    const char16_t* text;
    const char16_t* reason;
    bool receiver;
  } cases[] = {
      {700, u"700", u"Invalid WS-Routing Header", false},
      {701, u"701", u"WS-Routing Header Required", false},
      {712, u"712", u"Endpoint Not Supported", false},
      {800, u"800", u"Unknown WS-Routing Fault", true},
      {820, u"820", u"Endpoint Not Reachable", true},
      {750, u"000", u"Invalid Fault Code", false},
      {799, u"000", u"Invalid Fault Code", false},
      {900, u"000", u"Invalid Fault Code", true},
  };
  for (const auto& c : cases) {
    const RoutingFaultRow row = LookupRoutingFault(c.code);
    EXPECT_EQ(row.code, c.text) << c.code;
    EXPECT_EQ(row.reason, c.reason) << c.code;
    EXPECT_EQ(row.receiver, c.receiver) << c.code;
  }
}

// The block is read on every routed request before anything else checks it:
// reading it holds what the model keeps (a string per entry, the list's
// growth) and a fixed amount, never a tree of the whole block.
TEST(ReadPathTextTest, ReadingHoldsWhatTheModelKeepsNotATreeOfTheBlock) {
  constexpr size_t kEntries = 20000;
  auto repeat = [](const std::string& s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
  };
  const std::string open = std::string(kHead11) +
                           "<rp:action>urn:a</rp:action><rp:id>uuid:1</rp:id>";
  const struct {
    const char* name;
    std::string block;
    size_t kept;  // entries the model holds afterwards
  } cases[] = {
      {"empty at in a fault's found",
       open + "<rp:fault><rp:code>800</rp:code><rp:reason>r</rp:reason><found>" +
           repeat("<at/>", kEntries) + "</found></rp:fault></rp:path>",
       kEntries},
      {"empty vias", open + "<rp:fwd>" + repeat("<rp:via/>", kEntries) + "</rp:fwd></rp:path>",
       kEntries},
      {"children nobody reads", open + repeat("<x><at/></x>", kEntries) + "</rp:path>", 0},
      {"a second found", open + "<rp:fault><found/><found>" + repeat("<at/>", kEntries) +
                             "</found></rp:fault></rp:path>", 0},
  };
  for (const auto& c : cases) {
    const std::u16string literal = text::Widen(c.block);
    RoutingPath path;
    xml::testing::LiveBytes live;
    xml::testing::g_live_bytes = &live;
    const bool read = ReadPathText(literal, path);
    xml::testing::g_live_bytes = nullptr;
    ASSERT_TRUE(read) << c.name;
    EXPECT_EQ(path.fwd.size() + path.fault.found.size(), c.kept) << c.name;
    // A list's growth holds its old and new arrays at once.
    EXPECT_LE(size_t(live.peak), 3 * c.kept * sizeof(std::u16string) + 64 * 1024)
        << c.name << ": " << live.peak << " bytes at most for a block of " << c.block.size();
  }
}

}  // namespace
}  // namespace routing
