#include "xml/sax_dispatcher.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/text/text.h"
#include "xml/xml_parser.h"

namespace xml {
namespace {

// Handles elements whose local name starts with 'h' (children of those get
// handlers too) and declines the rest. `sticky` elements answer false at their
// end. Handlers live in the fixture, as real owners keep theirs.
class DispatcherTest : public ::testing::Test {
 protected:
  class Recorder : public NodeHandler {
   public:
    Recorder(DispatcherTest* test, std::string name) : test_(test), name_(std::move(name)) {}
    NodeHandler* CreateChild(std::u16string_view, std::u16string_view local, std::u16string_view,
                             const AttributeMap&, const NamespaceScope& scope,
                             XmlElement& element) override {
      EXPECT_EQ(&scope, element.GetScope());
      test_->log_.push_back(name_ + " child " + text::Narrow(local));
      if (local.empty() || local[0] != u'h') return nullptr;
      test_->handlers_.push_back(std::make_unique<Recorder>(test_, text::Narrow(local)));
      return test_->handlers_.back().get();
    }
    bool EndElement(std::u16string_view, std::u16string_view local, std::u16string_view,
                    XmlElement&) override {
      test_->log_.push_back(name_ + " end " + text::Narrow(local));
      return !name_.starts_with("hsticky");
    }
    void Characters(std::u16string_view t) override {
      test_->log_.push_back(name_ + " text " + text::Narrow(t));
    }

   private:
    DispatcherTest* test_;
    std::string name_;
  };

  // Returns the thrown line, or 0.
  int Parse(std::string_view doc) {
    log_.clear();
    try {
      parser_.ParseXmlBuffer(doc.data(), doc.size(), &dispatcher_);
      return 0;
    } catch (int line) {
      return line;
    }
  }

  std::vector<std::string> log_;
  std::vector<std::unique_ptr<NodeHandler>> handlers_;
  Recorder root_{this, "root"};
  SaxDispatcher dispatcher_;
  XmlParser parser_;
};

TEST_F(DispatcherTest, WithoutRootHandlerEverythingIsSkipped) {
  ASSERT_EQ(Parse("<a><b><c>x</c></b><d/></a>"), 0);
  EXPECT_TRUE(log_.empty());
  EXPECT_EQ(dispatcher_.GetStackDepthForTest(), 1u);  // only the document's own
}

TEST_F(DispatcherTest, DeclinedChildSubtreeIsSkipped) {
  dispatcher_.SetRootHandler(&root_);
  ASSERT_EQ(Parse("<hdoc>a<skip><hidden>t</hidden></skip>b<hkid>k</hkid></hdoc>"), 0);
  const std::vector<std::string> expected = {
      "root child hdoc",  "hdoc child skip", "hdoc child hkid", "hkid text k",
      "hkid end hkid",    "hdoc text ab",    "hdoc end hdoc",
  };
  EXPECT_EQ(log_, expected);
}

TEST_F(DispatcherTest, HandlerAnsweringFalseAdoptsTheNextSiblingsChildren) {
  dispatcher_.SetRootHandler(&root_);
  ASSERT_EQ(Parse("<hdoc><hsticky/><hnext><hgrand/></hnext></hdoc>"), 0);
  const std::vector<std::string> expected = {
      "root child hdoc",         "hdoc child hsticky",     "hsticky end hsticky",
      "hsticky child hnext",     "hnext child hgrand",     "hgrand end hgrand",
      "hnext end hnext",         "hsticky end hdoc",
  };
  EXPECT_EQ(log_, expected);
}

TEST_F(DispatcherTest, AbandonedParsesLeakNothingAndReuseStartsClean) {
  dispatcher_.SetRootHandler(&root_);
  // A parse error deep inside ignored elements leaves IgnoreHandlers on the stack.
  EXPECT_EQ(Parse("<hdoc><x><y><z>\n</hdoc>"), 2);
  EXPECT_EQ(dispatcher_.GetStackDepthForTest(), 5u);

  // A handler that refuses content by throwing, as a bad envelope is refused.
  class Refusing : public NodeHandler {
    NodeHandler* CreateChild(std::u16string_view, std::u16string_view, std::u16string_view,
                             const AttributeMap&, const NamespaceScope&, XmlElement&) override {
      throw std::runtime_error("refused");
    }
  } refusing;
  dispatcher_.SetRootHandler(&refusing);
  const std::string doc = "<a><b/></a>";
  EXPECT_THROW(parser_.ParseXmlBuffer(doc.data(), doc.size(), &dispatcher_), std::runtime_error);

  // The next parse sees its own root handler on a fresh stack.
  dispatcher_.SetRootHandler(&root_);
  ASSERT_EQ(Parse("<hdoc/>"), 0);
  EXPECT_EQ(log_, (std::vector<std::string>{"root child hdoc", "hdoc end hdoc"}));
  EXPECT_EQ(dispatcher_.GetStackDepthForTest(), 1u);
  EXPECT_EQ(Parse("<hdoc><q><r>"), 1);  // left for the destructor to clean up
}

TEST_F(DispatcherTest, IgnoreHandlerReturnedByAHandlerIsFreedWhenAParseIsAbandoned) {
  // A handler may skip a child by returning an IgnoreHandler of its own making:
  // it deletes itself at the child's end, so nobody else can own it.
  class Skipper : public NodeHandler {
    NodeHandler* CreateChild(std::u16string_view, std::u16string_view, std::u16string_view,
                             const AttributeMap&, const NamespaceScope&, XmlElement&) override {
      return new IgnoreHandler;
    }
  } skipper;
  dispatcher_.SetRootHandler(&skipper);
  ASSERT_EQ(Parse("<a><b/></a>"), 0);
  EXPECT_EQ(Parse("<a><b>\n</a>"), 2);
  EXPECT_EQ(dispatcher_.GetStackDepthForTest(), 3u);
  dispatcher_.SetRootHandler(nullptr);
  ASSERT_EQ(Parse("<a/>"), 0);  // the new document clears the stack
}

TEST_F(DispatcherTest, PrefixMapFollowsOpenElements) {
  class Probe : public NodeHandler {
   public:
    explicit Probe(SaxDispatcher* d) : d_(d) {}
    NodeHandler* CreateChild(std::u16string_view, std::u16string_view local, std::u16string_view,
                             const AttributeMap&, const NamespaceScope&, XmlElement&) override {
      if (local == u"inner") seen = d_->GetPrefixMap();
      return this;
    }
    bool EndElement(std::u16string_view, std::u16string_view, std::u16string_view,
                    XmlElement&) override {
      return true;
    }
    SaxDispatcher* d_;
    NamespaceMap seen;
  };
  auto probe = std::make_unique<Probe>(&dispatcher_);
  // The probe returns itself for every element, so it is pushed once per element.
  dispatcher_.SetRootHandler(probe.get());
  ASSERT_EQ(Parse("<a xmlns:p='urn:p'><b xmlns:q='urn:q'><inner/></b></a>"), 0);
  EXPECT_EQ(probe->seen.at(u"p"), u"urn:p");
  EXPECT_EQ(probe->seen.at(u"q"), u"urn:q");
  EXPECT_TRUE(dispatcher_.GetPrefixMap().empty());

  // An owner that reads no map has none kept: the parse sends no prefixes.
  dispatcher_.SetKeepPrefixMap(false);
  probe->seen = {{u"stale", u"urn:stale"}};
  ASSERT_EQ(Parse("<a xmlns:p='urn:p'><b xmlns:q='urn:q'><inner/></b></a>"), 0);
  EXPECT_TRUE(probe->seen.empty());
}

}  // namespace
}  // namespace xml
