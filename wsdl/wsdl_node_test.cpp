#include "wsdl/wsdl_node.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/text/text.h"

namespace wsdl {
namespace {

struct Record {
  CompactName name;
  int id = 0;
};

// "name:id" for each record in table order.
template <typename E>
std::vector<std::string> Contents(const NamedTable<E>& table) {
  std::vector<std::string> out;
  for (const E& e : table) {
    const Record& r = RecordOf(e);
    out.push_back(text::Narrow(r.name) + ":" + std::to_string(r.id));
  }
  return out;
}

// Whether records are held by value or each on its own, a name keeps the
// record that came first: sealed earlier, then added earlier, then the
// table's own over one merged in.
template <typename E>
void CheckFirstDefinitionWins(E (*make)(const char16_t*, int)) {
  NamedTable<E> table;
  table.Add(make(u"b", 1));
  table.Add(make(u"a", 2));
  table.Add(make(u"b", 3));
  table.Seal();
  EXPECT_EQ(Contents(table), (std::vector<std::string>{"a:2", "b:1"}));
  // A second element of the same table (another schema of one namespace).
  table.Add(make(u"c", 4));
  table.Add(make(u"a", 5));
  table.Seal();
  EXPECT_EQ(Contents(table), (std::vector<std::string>{"a:2", "b:1", "c:4"}));

  NamedTable<E> imported;
  imported.Add(make(u"d", 6));
  imported.Add(make(u"c", 7));
  imported.Add(make(u"a long name past the inline limit", 8));
  imported.Seal();
  table.MergeMissing(imported);
  EXPECT_TRUE(imported.empty());
  EXPECT_EQ(Contents(table), (std::vector<std::string>{"a:2", "a long name past the inline limit:8",
                                                       "b:1", "c:4", "d:6"}));

  ASSERT_NE(table.Find(u"c"), nullptr);
  EXPECT_EQ(table.Find(u"c")->id, 4);
  EXPECT_EQ(table.Find(u"bb"), nullptr);
  EXPECT_EQ(table.Find(u""), nullptr);
  EXPECT_FALSE(table.contains(u"e"));
  EXPECT_THROW(table.at(u"e"), std::out_of_range);
}

TEST(NamedTableTest, FirstDefinitionOfANameWins) {
  CheckFirstDefinitionWins<Record>([](const char16_t* name, int id) { return Record{name, id}; });
  CheckFirstDefinitionWins<std::unique_ptr<Record>>([](const char16_t* name, int id) {
    return std::make_unique<Record>(Record{name, id});
  });
}

}  // namespace
}  // namespace wsdl
