// What a parse allocates, counted by a replaced operator new, stays within a
// fixed multiple of the input however the input is shaped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "xml/xml_parser.h"

namespace {

thread_local size_t* g_counted_bytes = nullptr;

void* CountedAlloc(size_t size) {
  if (g_counted_bytes) *g_counted_bytes += size;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

// Paired with free below so that the sanitizer sees malloc matched with free.
void* operator new(size_t size) { return CountedAlloc(size); }
void* operator new[](size_t size) { return CountedAlloc(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace xml {
namespace {

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

}  // namespace
}  // namespace xml
