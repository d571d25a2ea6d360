#include "xml/shared_string.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace xml {
namespace {

// The same object behind two handles: one string, shared.
bool Same(const SharedString& a, const SharedString& b) { return &a.str() == &b.str(); }

TEST(StringInternerTest, ShortTextsAreSharedAcrossInternersOfAThreadAndLongOnesWithinOne) {
  std::thread([] {
    const std::u16string short_text = u"urn:short";
    const std::u16string long_text(StringInterner::kMaxKeptLength + 1, u'x');
    StringInterner first, second;
    const SharedString a = first.Intern(short_text), b = second.Intern(short_text);
    EXPECT_TRUE(Same(a, b));
    EXPECT_EQ(a.str(), short_text);

    const SharedString c = first.Intern(long_text), d = first.Intern(long_text);
    EXPECT_TRUE(Same(c, d));
    EXPECT_FALSE(Same(c, second.Intern(long_text)));
    EXPECT_EQ(c.str(), long_text);

    // A reset interner still finds the kept texts; its own are gone.
    first.Reset();
    EXPECT_TRUE(Same(a, first.Intern(short_text)));
    EXPECT_FALSE(Same(c, first.Intern(long_text)));
    EXPECT_TRUE(first.Intern(u"").empty());

    // Trees built by code share the kept texts too; a long one is new each time.
    EXPECT_TRUE(Same(a, StringInterner::Share(short_text)));
    EXPECT_TRUE(Same(StringInterner::Share(u"urn:built"), second.Intern(u"urn:built")));
    EXPECT_FALSE(Same(StringInterner::Share(long_text), StringInterner::Share(long_text)));
    EXPECT_EQ(StringInterner::Share(long_text).str(), long_text);
    EXPECT_TRUE(StringInterner::Share(u"").empty());
  }).join();
}

TEST(StringInternerTest, AThreadKeepsABoundedNumberOfTexts) {
  std::thread([] {
    StringInterner interner;
    const size_t texts = StringInterner::kMaxKeptTexts + 10;
    for (size_t i = 0; i < texts; ++i) {
      interner.Intern(u"n" + std::u16string(i % 50 + 1, u'a') + char16_t(u'A' + i / 50));
    }
    EXPECT_EQ(StringInterner::KeptTextCountForTest(), StringInterner::kMaxKeptTexts);
    // Texts past the bound are still one string each within the interner.
    const std::u16string late = u"late";
    EXPECT_TRUE(Same(interner.Intern(late), interner.Intern(late)));
    EXPECT_EQ(StringInterner::KeptTextCountForTest(), StringInterner::kMaxKeptTexts);
  }).join();
}

}  // namespace
}  // namespace xml
