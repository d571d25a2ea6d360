// What a parse allocates, counted by a replaced operator new, stays within a
// fixed multiple of the input however the input is shaped; and a parse whose
// allocations start failing part way ends in bad_alloc, nothing worse.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "xml/testing/allocation_probe.h"
#include "xml/xml_parser.h"

namespace xml {
namespace {

using xml::testing::g_allocations_left;
using xml::testing::g_counted_bytes;

// Bytes allocated while parsing `doc` (UTF-8); the tree is kept until the end.
size_t BytesToParse(const std::string& doc) {
  XmlParser parser;
  size_t bytes = 0;
  g_counted_bytes = &bytes;
  try {
    parser.ParseXmlBuffer(doc.data(), doc.size(), nullptr);
  } catch (int line) {
    ADD_FAILURE() << "parse error at line " << line;
  }
  g_counted_bytes = nullptr;
  return bytes;
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(XmlMemoryBoundTest, AllocationGrowsWithInputNotWithInheritedNames) {
  const std::string uri = "urn:" + std::string(kMaxNamespaceUriLength - 4, 'u');
  const std::string name(8000, 'n');
  std::string attributes;
  for (int i = 0; i < 5000; ++i) attributes += " a" + std::to_string(i) + "=''";
  std::string many_bindings = "<r";
  for (size_t i = 0; i + 2 < kMaxNamespaceBindings; ++i) {
    many_bindings += " xmlns:p" + std::to_string(i) + "='u'";
  }
  struct Case {
    const char* what;
    std::string doc;
  } cases[] = {
      {"plain small elements", "<r>" + Repeat("<b/>", 5000) + "</r>"},
      {"elements under a long default namespace",
       "<r xmlns='" + uri + "'>" + Repeat("<b/>", 5000) + "</r>"},
      {"declaring elements under a long default namespace",
       "<r xmlns='" + uri + "'>" + Repeat("<b xmlns:q='x'/>", 5000) + "</r>"},
      {"prefixed attributes under a long URI",
       "<r xmlns:p='" + uri + "'>" + Repeat("<b p:a='' p:b=''/>", 5000) + "</r>"},
      {"unprefixed attributes of a long-named element in a long namespace",
       "<" + name + " xmlns='" + uri + "'" + attributes + "/>"},
      {"many declaring elements under a full scope",
       many_bindings + ">" + Repeat("<b xmlns=''/>", 5000) + "</r>"},
      {"declaring elements nested under a full scope",
       many_bindings + ">" + Repeat("<b xmlns=''>", 900) + Repeat("</b>", 900) + "</r>"},
      {"declaring siblings under a deep chain of declaring elements",
       many_bindings + ">" + Repeat("<c xmlns=''>", 40) + Repeat("<b xmlns=''/>", 5000) +
           Repeat("</c>", 40) + "</r>"},
      {"declaring elements in declaring elements under a full scope",
       many_bindings + ">" + Repeat("<b xmlns=''><c xmlns:p0='v'/></b>", 3000) + "</r>"},
  };
  // An element that declares holds only its own bindings and shares the rest:
  // a copy of the scope in force would cost hundreds of bytes per input byte.
  constexpr size_t kMaxBytesPerInputByte = 64;
  for (const Case& c : cases) {
    const size_t bytes = BytesToParse(c.doc);
    EXPECT_LE(bytes, kMaxBytesPerInputByte * c.doc.size())
        << c.what << ": " << bytes / c.doc.size() << " bytes per input byte";
  }
}

TEST(XmlMemoryBoundTest, AllocationFailureAtAnyPointEndsTheParseCleanly) {
  // Nested and wide, so the failure strikes with a deep partial tree to undo.
  const std::string doc = "<r xmlns:p='urn:p'>" + Repeat("<p:a x='1'>t", 40) +
                          Repeat("<b>v</b>", 20) + Repeat("</p:a>", 40) + "</r>";
  bool completed = false;
  for (long n = 0; !completed && n < 100000; ++n) {
    XmlParser parser;
    long left = n;
    g_allocations_left = &left;
    try {
      parser.ParseXmlBuffer(doc.data(), doc.size(), nullptr);
      completed = true;
    } catch (const std::bad_alloc&) {
    } catch (int line) {
      ADD_FAILURE() << "allocation failure " << n << " reported as a parse error at line " << line;
    }
    g_allocations_left = nullptr;
  }
  EXPECT_TRUE(completed);
}

}  // namespace
}  // namespace xml
