#include "wsdl/compact_name.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/text/text.h"

namespace wsdl {
namespace {

// Texts on both sides of the inline limit, one with a NUL inside, and values
// held without a copy of their own.
const std::vector<std::u16string> kTexts = {
    u"", u"a", u"1234567", u"12345678", u"http://schemas.xmlsoap.org/soap/encoding/",
    u"http://schemas.xmlsoap.org/soap/encoding", u"document", u"documents",
    std::u16string(u"a\0b", 3)};

TEST(CompactNameTest, KeepsItsTextThroughCopiesMovesAndReassignment) {
  for (const std::u16string& text : kTexts) {
    auto name = std::make_unique<CompactName>(text);
    EXPECT_EQ(name->view(), text);
    EXPECT_EQ(name->size(), text.size());
    EXPECT_EQ(name->empty(), text.empty());

    const CompactName copy = *name;
    name.reset();  // the copy holds its own text
    EXPECT_EQ(copy, text);

    CompactName moved_from = copy;
    CompactName moved = std::move(moved_from);
    EXPECT_EQ(moved, text);
    EXPECT_TRUE(moved_from.empty());  // a moved-from name is empty

    CompactName target(u"something longer than seven");
    target = std::move(moved);
    EXPECT_EQ(target, text);
    // Assigning a name its own text (or a part of it) reads it before it lets go.
    target = target.view().substr(text.empty() ? 0 : 1);
    EXPECT_EQ(target.view(), std::u16string_view(text).substr(text.empty() ? 0 : 1));
  }
}

TEST(CompactNameTest, OrdersAndComparesAsItsText) {
  for (const std::u16string& a : kTexts) {
    for (const std::u16string& b : kTexts) {
      const CompactName na(a), nb(b);
      EXPECT_EQ(na == nb, a == b) << text::Narrow(a) << " / " << text::Narrow(b);
      EXPECT_EQ(na < nb, a < b) << text::Narrow(a) << " / " << text::Narrow(b);
      EXPECT_EQ(na == std::u16string_view(b), a == b);
    }
  }
}

}  // namespace
}  // namespace wsdl
