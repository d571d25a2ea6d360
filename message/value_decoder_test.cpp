#include "message/value_decoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/soapstruct.h"
#include "message/message_parser.h"
#include "message/soap_message.h"
#include "message/testing/message_testing.h"
#include "platform/com/oledate.h"
#include "platform/storage/storage.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"

namespace message {
namespace {

using testing::Envelope11;
using testing::Envelope12;
using testing::FaultCase;
using testing::Harness;
using testing::Key;
using testing::Narrow;
using testing::RunFaultCases;
using testing::TypeRef;

const std::u16string kXsd(xml::kXmlSchemaNamespace);
const std::u16string kEnc11(xml::kSoap11EncodingNamespace);
constexpr char16_t kParamReference[] = u"Parameter: 'p' has invalid reference.";
constexpr char16_t kItemReferenceText[] =
    u"Encountered array item accessor with invalid reference.";

const TypeRef kInt{u"int", kXsd};
const TypeRef kPoint{u"Point", u"urn:t"};
const TypeRef kNode{u"Node", u"urn:t"};
const TypeRef kIntArray{u"IntArray", u"urn:t"};
const TypeRef kMatrix{u"Matrix", u"urn:t"};
const TypeRef kPointArray{u"PointArray", u"urn:t"};
const TypeRef kNestedArray{u"ArrayOfIntArray", u"urn:t"};
const TypeRef kAnyArray{u"AnyArray", u"urn:t"};
const TypeRef kLitPoint{u"LitPoint", u"urn:t"};
const TypeRef kLitList{u"LitList", u"urn:t"};

// The schema the tests decode against.
void DescribeTypes(testing::FakeWsdl& w) {
  const TypeRef structure{u"Struct", kEnc11};
  const TypeRef array{u"Array", kEnc11};
  w.complex_base[Key({u"Point", u"urn:t"})] = structure;
  w.struct_members[Key({u"Point", u"urn:t", u"x", u""})] = kInt;
  w.struct_members[Key({u"Point", u"urn:t", u"y", u""})] = kInt;
  w.complex_base[Key({u"Label", u"urn:t"})] = structure;
  w.struct_members[Key({u"Label", u"urn:t", u"x", u""})] = {u"string", kXsd};
  w.complex_base[Key({u"Pair", u"urn:t"})] = structure;
  w.struct_members[Key({u"Pair", u"urn:t", u"p", u""})] = kPoint;
  w.struct_members[Key({u"Pair", u"urn:t", u"q", u""})] = {u"Label", u"urn:t"};
  w.complex_base[Key({u"Node", u"urn:t"})] = structure;
  w.struct_members[Key({u"Node", u"urn:t", u"value", u""})] = kInt;
  w.struct_members[Key({u"Node", u"urn:t", u"next", u""})] = kNode;
  auto add_array = [&](const TypeRef& type, const TypeRef& item, long rank) {
    w.complex_base[Key({type.name, type.ns})] = array;
    w.array_types[Key({type.name, type.ns})] = item;
    w.array_dims[Key({type.name, type.ns})] = rank;
  };
  add_array(kIntArray, kInt, 1);
  add_array(kMatrix, kInt, 2);
  add_array(kPointArray, kPoint, 1);
  add_array(kNestedArray, kIntArray, 1);
  add_array(kAnyArray, {u"anyType", kXsd}, 1);
  // Arrays the WSDL describes badly.
  w.complex_base[Key({u"Untyped", u"urn:t"})] = array;
  w.complex_base[Key({u"OddItems", u"urn:t"})] = array;
  w.array_types[Key({u"OddItems", u"urn:t"})] = {u"Mystery", u"urn:t"};
  w.array_dims[Key({u"OddItems", u"urn:t"})] = 1;
  w.complex_base[Key({u"Rankless", u"urn:t"})] = array;
  w.array_types[Key({u"Rankless", u"urn:t"})] = kInt;
  w.literal_arrays[Key({u"LitOdd", u"urn:t"})] = {{u"Mystery", u"urn:t"}, {u"item", u""}};
  w.complex_base[Key({u"LitPoint", u"urn:t"})] = {u"LitPoint", u"urn:t"};
  w.struct_members[Key({u"LitPoint", u"urn:t", u"x", u""})] = kInt;
  w.struct_members[Key({u"LitPoint", u"urn:t", u"y", u""})] = kInt;
  w.literal_arrays[Key({u"LitList", u"urn:t"})] = {kInt, {u"item", u""}};
}

// Live heap during a decode, where the address sanitizer reports each
// allocation; elsewhere only the decoder's own accounting is checked.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                              void (*)(const volatile void*)) __attribute__((weak));
size_t __sanitizer_get_allocated_size(const volatile void*) __attribute__((weak));
}

class HeapPeak {
 public:
  static bool Available() {
    static const bool installed = __sanitizer_install_malloc_and_free_hooks &&
                                  __sanitizer_get_allocated_size &&
                                  __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
    return installed;
  }
  HeapPeak() {
    live_ = 0;
    peak_ = 0;
    on_ = Available();
  }
  ~HeapPeak() { on_ = false; }
  int64_t Peak() const { return peak_; }

 private:
  static void OnMalloc(const volatile void*, size_t size) {
    if (!on_) return;
    const int64_t now = live_ += static_cast<int64_t>(size);
    if (now > peak_) peak_ = now;
  }
  static void OnFree(const volatile void* p) {
    if (on_ && p) live_ -= static_cast<int64_t>(__sanitizer_get_allocated_size(p));
  }
  static inline std::atomic<bool> on_{false};
  static inline std::atomic<int64_t> live_{0}, peak_{0};
};

struct Decoded {
  Variant value;
  std::unique_ptr<xml::QVSOAPFault> fault;
  std::u16string code;     // the fault's code name for the message's version
  int64_t heap_peak = -1;  // live heap the decode added at most; -1 when not measured

  std::u16string Subcode() const {
    std::u16string subcode, ns;
    fault->GetSubcode(&subcode, &ns);
    return subcode;
  }
  std::u16string Text() const { return fault ? fault->GetFaultString() : u""; }
};

struct Options {
  int version = 11;
  bool literal = false;
  bool request = true;
  std::string after_wrapper;  // multi-reference elements
  int max_depth = kMaxDecodeDepth;
  size_t max_values = kMaxDecodedValues;
};

// Parses a request whose wrapper holds `param` and decodes that parameter as
// `type`. The message stays in `h` so that tests can look at attachments.
Decoded Decode(Harness& h, std::string_view param, const TypeRef& type,
               const Options& options = {}) {
  DescribeTypes(h.reader->wsdl);
  const std::string body =
      "<m:Op xmlns:m=\"urn:m\">" + std::string(param) + "</m:Op>" + options.after_wrapper;
  Decoded out;
  const std::string text = options.version == 11 ? Envelope11("", body) : Envelope12("", body);
  if (!h.Run(text, options.request)) {
    ADD_FAILURE() << "parse failed: " << Narrow(h.FaultText());
    return out;
  }
  MessageParser& parser = options.request
                              ? static_cast<MessageParser&>(h.message->GetRequestParser())
                              : h.message->GetResponseParser();
  const Accessor* wrapper = parser.GetWrapper();
  if (!wrapper || wrapper->children.empty()) {
    ADD_FAILURE() << "no parameter";
    return out;
  }
  ValueDecoder decoder(parser, *h.message, h.reader.Get());
  decoder.SetLimitsForTest(options.max_depth, options.max_values);
  std::optional<HeapPeak> heap;
  if (HeapPeak::Available()) heap.emplace();
  try {
    if (options.literal) {
      decoder.DecodeLiteral(*wrapper->children[0], type.name, type.ns, &out.value);
    } else {
      decoder.DecodeEncoded(
          *wrapper->children[0], type.name, type.ns,
          options.version == 11 ? xml::kSoap11EncodingNamespace : xml::kSoap12EncodingNamespace,
          kParamReference, &out.value);
    }
  } catch (xml::QVSOAPFault* fault) {
    out.fault.reset(fault);
    std::u16string uri;
    fault->FaultCodeName(options.version, &out.code, &uri);
    EXPECT_TRUE(fault->NeedsDetail());
  }
  if (heap) out.heap_peak = heap->Peak();
  return out;
}

Decoded Decode(std::string_view param, const TypeRef& type, const Options& options = {}) {
  Harness h(options.version);
  return Decode(h, param, type, options);
}

std::u16string AsText(const VARIANT& v) {
  Variant copy;
  if (FAILED(VariantChangeType(&copy, &v, 0, VT_BSTR))) return u"<no text>";
  return std::u16string(BstrView(copy.bstrVal));
}

// ---- built-in types ------------------------------------------------------------------

struct ScalarCase {
  const char* type;
  const char* param;  // the whole parameter element
  VARTYPE vt;         // VT_EMPTY: the decode fails
  const char16_t* text;
};

TEST(ValueDecoderScalars, EveryTypeOfTheMapAndItsRefusals) {
  const ScalarCase cases[] = {
      {"unsignedByte", "<p>255</p>", VT_UI1, u"255"},
      {"unsignedByte", "<p>256</p>", VT_EMPTY, nullptr},
      {"byte", "<p>-128</p>", VT_I1, u"-128"},
      {"short", "<p>-32768</p>", VT_I2, u"-32768"},
      {"unsignedShort", "<p>65535</p>", VT_UI2, u"65535"},
      {"integer", "<p>7</p>", VT_I4, u"7"},
      {"int", "<p> 12 </p>", VT_I4, u"12"},
      {"unsignedInt", "<p>4294967295</p>", VT_UI4, u"4294967295"},
      {"long", "<p>2147483647</p>", VT_I4, u"2147483647"},
      {"long", "<p>2147483648</p>", VT_EMPTY, nullptr},
      {"unsignedLong", "<p>4294967295</p>", VT_UI4, u"4294967295"},
      {"unsignedLong", "<p>4294967296</p>", VT_EMPTY, nullptr},
      {"float", "<p>1.5</p>", VT_R4, u"1.5"},
      {"double", "<p>-2.5E+20</p>", VT_R8, u"-2.5E+20"},
      {"decimal", "<p>12.50</p>", VT_DECIMAL, u"12.5"},
      {"string", "<p>a &amp; b</p>", VT_BSTR, u"a & b"},
      {"anyURI", "<p>urn:x</p>", VT_BSTR, u"urn:x"},
      {"boolean", "<p>true</p>", VT_BOOL, u"-1"},
      {"boolean", "<p>0</p>", VT_BOOL, u"0"},
      {"boolean", "<p>yes</p>", VT_EMPTY, nullptr},
      {"anyType", "<p xsi:type=\"xsd:int\">5</p>", VT_I4, u"5"},
      {"anyType", "<p>free text</p>", VT_BSTR, u"free text"},
      // Windows number extras and non-finite values are no numbers here.
      {"int", "<p>1,000</p>", VT_EMPTY, nullptr},
      {"int", "<p>&amp;H10</p>", VT_EMPTY, nullptr},
      {"int", "<p>(5)</p>", VT_EMPTY, nullptr},
      {"int", "<p>5-</p>", VT_EMPTY, nullptr},
      {"double", "<p>INF</p>", VT_EMPTY, nullptr},
      {"double", "<p>NaN</p>", VT_EMPTY, nullptr},
      {"gYear", "<p>2002</p>", VT_EMPTY, nullptr},
      // nil wins whatever the type
      {"int", "<p xsi:nil=\"true\"/>", VT_NULL, nullptr},
      {"dateTime", "<p xsi:nil=\"1\"/>", VT_NULL, nullptr},
      {"int", "<p xmlns:x99=\"http://www.w3.org/1999/XMLSchema-instance\" x99:null=\"1\"/>",
       VT_NULL, nullptr},
      {"int", "<p xsi:nil=\"false\">3</p>", VT_I4, u"3"},
  };
  for (const ScalarCase& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.param);
    Decoded d = Decode(c.param, {text::Widen(c.type), kXsd});
    if (c.vt == VT_EMPTY) {
      ASSERT_NE(d.fault, nullptr);
      EXPECT_EQ(d.code, u"Client");
      EXPECT_EQ(d.Text(), u"Encountered improperly serialized built-in type accessor: 'p'.");
      EXPECT_EQ(d.value.vt, VT_EMPTY);
      continue;
    }
    ASSERT_EQ(d.fault, nullptr) << Narrow(d.Text());
    EXPECT_EQ(d.value.vt, c.vt);
    if (c.text) {
      EXPECT_EQ(AsText(d.value), c.text);
    }
  }
}

TEST(ValueDecoderScalars, AccessorChecksBeforeTheValue) {
  struct Case {
    const char* name;
    int version;
    const char* param;
    const char16_t* code;
    const char16_t* text;
  };
  const Case cases[] = {
      {"children in a built-in value", 11, "<p><q>1</q></p>", u"Client",
       u"Encountered improperly serialized built-in type accessor."},
      {"struct nodeType on a built-in value", 12, "<p enc:nodeType=\"struct\">1</p>", u"Sender",
       u"Incorrect nodeType on built-in type accessor."},
      {"foreign encoding, SOAP 1.2", 12, "<p env:encodingStyle=\"urn:other\">1</p>",
       u"DataEncodingUnknown", u"Unsupported encodingStyle on built-in type accessor."},
      {"foreign encoding, SOAP 1.1", 11, "<p SOAP-ENV:encodingStyle=\"urn:other\">1</p>", u"Client",
       u"Unsupported encodingStyle on built-in type accessor."},
      {"anyType with an unknown xsi:type", 11, "<p xsi:type=\"t:Mystery\">1</p>", u"Client",
       u"Encountered accessor with unrecognized data type."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Options options;
    options.version = c.version;
    Decoded d = Decode(
        c.param,
        {std::u16string(c.text).find(u"data type") != std::u16string::npos ? u"anyType" : u"int",
         kXsd},
        options);
    ASSERT_NE(d.fault, nullptr);
    EXPECT_EQ(d.code, c.code);
    EXPECT_EQ(d.Text(), c.text);
  }
  Options v12;
  v12.version = 12;
  Decoded simple =
      Decode("<p xsi:type=\"t:Mystery\" enc:nodeType=\"simple\">1</p>", {u"anyType", kXsd}, v12);
  ASSERT_EQ(simple.fault, nullptr) << Narrow(simple.Text());
  EXPECT_EQ(AsText(simple.value), u"1");  // a simple node of unknown type stays text
}

std::vector<uint8_t> Bytes(const VARIANT& v) {
  std::vector<uint8_t> out;
  if (v.vt != (VT_ARRAY | VT_UI1) || SafeArrayGetDim(v.parray) != 1) return out;
  LONG lb = 0, ub = -1;
  SafeArrayGetLBound(v.parray, 1, &lb);
  SafeArrayGetUBound(v.parray, 1, &ub);
  EXPECT_EQ(lb, 0);
  for (LONG i = lb; i <= ub; ++i) {
    uint8_t b = 0;
    SafeArrayGetElement(v.parray, &i, &b);
    out.push_back(b);
  }
  return out;
}

TEST(ValueDecoderScalars, Base64AndHexBytes) {
  struct Case {
    const char* type;
    const char* text;
    bool ok;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"base64Binary", "SGVs\r\n bG8=", true, {'H', 'e', 'l', 'l', 'o'}},
      {"base64", "", true, {}},
      // A padded group in the middle yields its byte and decoding goes on,
      // within the length the first pass measured.
      {"base64Binary", "AA==AAAA", true, {0, 0, 0, 0}},
      {"base64Binary", "SGVsbG8", false, {}},
      // A no-break space is not white space to drop, and must not be read as
      // a negative character class index.
      {"base64Binary",
       "SGVs\xC2\xA0"
       "bG8=",
       false,
       {}},
      {"hexBinary", "0a1B\nff", true, {0x0A, 0x1B, 0xFF}},
      {"hexBinary", "abc", false, {}},
      {"hexBinary", "zz", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Decoded d = Decode(std::string("<p>") + c.text + "</p>", {text::Widen(c.type), kXsd});
    if (!c.ok) {
      ASSERT_NE(d.fault, nullptr);
      EXPECT_EQ(d.Text(), u"Encountered improperly serialized built-in type accessor: 'p'.");
      continue;
    }
    ASSERT_EQ(d.fault, nullptr) << Narrow(d.Text());
    EXPECT_EQ(d.value.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(Bytes(d.value), c.bytes);
  }
}

TEST(ValueDecoderScalars, DatesAreUtcInstants) {
  struct Case {
    const char* type;
    const char* text;
    bool ok;
    int year, month, day, hour, minute, second;
  };
  const Case cases[] = {
      {"dateTime", "2002-03-04T13:14:15Z", true, 2002, 3, 4, 13, 14, 15},
      {"dateTime", "2002-03-04T13:14:15", true, 2002, 3, 4, 13, 14, 15},
      {"dateTime", "2002-03-04T13:14:15.75Z", true, 2002, 3, 4, 13, 14, 15},
      {"dateTime", "2002-03-04T13:14:15+01:00", true, 2002, 3, 4, 12, 14, 15},
      {"dateTime", "2002-03-04T00:30:00+01:00", true, 2002, 3, 3, 23, 30, 0},
      {"dateTime", "2002-12-31T23:30:00-01:00", true, 2003, 1, 1, 0, 30, 0},
      {"timeInstant", "2002-03-04T13:14:15Z", true, 2002, 3, 4, 13, 14, 15},
      // Before day 0 the fraction counts forward from midnight.
      {"dateTime", "1899-12-29T06:00:00Z", true, 1899, 12, 29, 6, 0, 0},
      {"dateTime", "1899-12-30T01:00:00+02:00", true, 1899, 12, 29, 23, 0, 0},
      {"dateTime", "1899-12-29T23:00:00-02:00", true, 1899, 12, 30, 1, 0, 0},
      {"time", "23:30:00-01:00", true, 1899, 12, 30, 0, 30, 0},
      {"time", "00:30:00+01:00", true, 1899, 12, 30, 23, 30, 0},
      {"time", "13:14:15Z", true, 1899, 12, 30, 13, 14, 15},
      {"date", "2002-03-04+05:00", true, 2002, 3, 4, 0, 0, 0},
      {"dateTime", "2002-03-04", false, 0, 0, 0, 0, 0, 0},
      {"dateTime", "2002-03-04T25:00:00Z", false, 0, 0, 0, 0, 0, 0},
      {"dateTime", "2002-03-04T10:00:00+1", false, 0, 0, 0, 0, 0, 0},
      {"date", "2002-02-30", false, 0, 0, 0, 0, 0, 0},
      {"time", "12:00", false, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.text);
    Decoded d = Decode(std::string("<p>") + c.text + "</p>", {text::Widen(c.type), kXsd});
    if (!c.ok) {
      ASSERT_NE(d.fault, nullptr);
      EXPECT_EQ(d.Text(), u"Encountered improperly serialized built-in type accessor: 'p'.");
      continue;
    }
    ASSERT_EQ(d.fault, nullptr) << Narrow(d.Text());
    ASSERT_EQ(d.value.vt, VT_DATE);
    com::OleDateParts parts;
    ASSERT_TRUE(com::OleDateToParts(d.value.date, &parts));
    EXPECT_EQ(parts.year, c.year);
    EXPECT_EQ(parts.month, c.month);
    EXPECT_EQ(parts.day, c.day);
    EXPECT_EQ(parts.hour, c.hour);
    EXPECT_EQ(parts.minute, c.minute);
    EXPECT_EQ(parts.second, c.second);
  }
  Decoded early = Decode("<p>1899-12-29T06:00:00Z</p>", {u"dateTime", kXsd});
  EXPECT_DOUBLE_EQ(early.value.date, -1.25);
}

// ---- structs and references --------------------------------------------------------

struct Member {
  std::u16string name;
  std::u16string ns;
  std::u16string text;
};

std::vector<Member> Members(const VARIANT& v) {
  std::vector<Member> out;
  if (v.vt != VT_DISPATCH) return out;
  ComPtr<ISoapStruct> s = com::QueryInterfacePtr<ISoapStruct>(v.pdispVal);
  if (!s) return out;
  Bstr name, ns;
  Variant value;
  LONG position = 0;
  VARIANT_BOOL ok = VARIANT_FALSE;
  s->GetFirstMember(name.Receive(), ns.Receive(), value.Receive(), &position, &ok);
  while (ok == VARIANT_TRUE) {
    out.push_back({std::u16string(name.View()), std::u16string(ns.View()),
                   value.vt == VT_DISPATCH ? u"<struct>" : AsText(value)});
    s->GetNextMember(name.Receive(), ns.Receive(), value.Receive(), &position, &ok);
  }
  return out;
}

std::u16string Summary(const VARIANT& v) {
  std::u16string out;
  for (const Member& m : Members(v)) out += m.name + u"=" + m.text + u";";
  return out;
}

TEST(ValueDecoderStructs, MembersInDocumentOrderThroughTheRealStruct) {
  Decoded d = Decode("<p><y>2</y><x>1</x></p>", kPoint);
  ASSERT_EQ(d.fault, nullptr) << Narrow(d.Text());
  ASSERT_EQ(d.value.vt, VT_DISPATCH);
  EXPECT_EQ(Summary(d.value), u"y=2;x=1;");

  struct Case {
    const char* name;
    int version;
    const char* param;
    TypeRef type;
    const char16_t* code;
    const char16_t* text;
  };
  const Case cases[] = {
      {"member unknown to the WSDL", 11, "<p><x>1</x><z>3</z></p>", kPoint, u"Client",
       u"Encountered struct member accessor with unrecognized type."},
      {"member value refused", 11, "<p><x>one</x></p>", kPoint, u"Client",
       u"Encountered improperly serialized built-in type accessor: 'x'."},
      {"type unknown to the WSDL",
       11,
       "<p/>",
       {u"Nothing", u"urn:t"},
       u"Client",
       u"Encountered accessor with unrecognized type."},
      {"array nodeType on a struct", 12, "<p enc:nodeType=\"array\"/>", kPoint, u"Sender",
       u"Incorrect nodeType on struct accessor."},
      {"foreign encoding on a struct", 12, "<p env:encodingStyle=\"urn:x\"/>", kPoint,
       u"DataEncodingUnknown", u"Unsupported encodingStyle on struct accessor."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Options options;
    options.version = c.version;
    Decoded f = Decode(c.param, c.type, options);
    ASSERT_NE(f.fault, nullptr);
    EXPECT_EQ(f.code, c.code);
    EXPECT_EQ(f.Text(), c.text);
    EXPECT_EQ(f.value.vt, VT_EMPTY);
  }
}

// Members of the same name in different struct types keep their own types.
TEST(ValueDecoderStructs, MemberTypesAreTheirStructTypes) {
  Decoded d = Decode("<p><p><x>1</x></p><q><x>one</x></q><p><x>2</x></p><q><x>two</x></q></p>",
                     {u"Pair", u"urn:t"});
  ASSERT_EQ(d.fault, nullptr) << Narrow(d.Text());
  ComPtr<ISoapStruct> pair = com::QueryInterfacePtr<ISoapStruct>(d.value.pdispVal);
  ASSERT_TRUE(pair);
  Bstr name, ns;
  Variant value;
  LONG position = 0;
  VARIANT_BOOL ok = VARIANT_FALSE;
  std::u16string summary;
  pair->GetFirstMember(name.Receive(), ns.Receive(), value.Receive(), &position, &ok);
  while (ok == VARIANT_TRUE) {
    summary += std::u16string(name.View()) + u"{" + Summary(value) + u"}";
    pair->GetNextMember(name.Receive(), ns.Receive(), value.Receive(), &position, &ok);
  }
  EXPECT_EQ(summary, u"p{x=1;}q{x=one;}p{x=2;}q{x=two;}");
}

struct RefCase {
  const char* name;
  int version;
  bool request;
  const char* param;
  const char* multi_refs;
  TypeRef type;
  const char16_t* summary;  // null: the decode fails
  const char16_t* text;
};

TEST(ValueDecoderReferences, GraphsResolveAndCyclesAreRefused) {
  const RefCase cases[] = {
      {"SOAP 1.1 href to a multi-reference struct", 11, true, "<p href=\"#s\"/>",
       "<t:Point id=\"s\"><x>1</x><y>2</y></t:Point>", kPoint, u"x=1;y=2;", nullptr},
      {"SOAP 1.2 ref without '#'", 12, true,
       "<p enc:ref=\"s\"/><t:Point enc:id=\"s\"><x>1</x></t:Point>", "", kPoint, u"x=1;", nullptr},
      {"response side drops the first character", 11, false, "<p href=\"#s\"/>",
       "<t:Point id=\"s\"><x>4</x></t:Point>", kPoint, u"x=4;", nullptr},
      {"SOAP 1.2 response ref keeps every character", 12, false,
       "<p enc:ref=\"s\"/><t:Point enc:id=\"s\"><x>3</x></t:Point>", "", kPoint, u"x=3;", nullptr},
      {"member shared by reference", 11, true, "<p><value>1</value><next href=\"#n\"/></p>",
       "<t:Node id=\"n\"><value>2</value></t:Node>", kNode, u"value=1;next=<struct>;", nullptr},
      {"struct referring to itself", 11, true, "<p href=\"#n\"/>",
       "<t:Node id=\"n\"><value>1</value><next href=\"#n\"/></t:Node>", kNode, nullptr,
       u"Encountered struct member accessor with invalid reference."},
      {"parameter referring to itself", 11, true,
       "<p id=\"p\"><value>1</value><next href=\"#p\"/></p>", "", kNode, nullptr,
       u"Encountered struct member accessor with invalid reference."},
      {"two structs referring to each other", 11, true, "<p href=\"#a\"/>",
       "<t:Node id=\"a\"><next href=\"#b\"/></t:Node><t:Node id=\"b\"><next href=\"#a\"/></t:Node>",
       kNode, nullptr, u"Encountered struct member accessor with invalid reference."},
      {"reference chain that loops", 11, true, "<p href=\"#a\"/>",
       "<t:Node id=\"a\" href=\"#b\"/><t:Node id=\"b\" href=\"#a\"/>", kNode, nullptr,
       kParamReference},
      {"reference to nothing", 11, true, "<p href=\"#none\"/>", "", kPoint, nullptr,
       kParamReference},
      {"empty reference on the response side", 11, false, "<p href=\"\"/>", "", kPoint, nullptr,
       kParamReference},
  };
  for (const RefCase& c : cases) {
    SCOPED_TRACE(c.name);
    Options options;
    options.version = c.version;
    options.request = c.request;
    options.after_wrapper = c.multi_refs;
    Decoded d = Decode(c.param, c.type, options);
    if (c.summary) {
      ASSERT_EQ(d.fault, nullptr) << Narrow(d.Text());
      EXPECT_EQ(Summary(d.value), c.summary);
      continue;
    }
    ASSERT_NE(d.fault, nullptr);
    EXPECT_EQ(d.Text(), c.text);
    EXPECT_EQ(d.code, c.version == 11 ? u"Client" : u"Sender");
  }
}

TEST(ValueDecoderReferences, SoapTwelveCycleIsAMissingIdFault) {
  Options options;
  options.version = 12;
  Decoded d = Decode(
      "<p enc:ref=\"n\"/><t:Node enc:id=\"n\"><value>1</value><next enc:ref=\"n\"/></t:Node>",
      kNode, options);
  ASSERT_NE(d.fault, nullptr);
  EXPECT_EQ(d.code, u"Sender");
  EXPECT_EQ(d.Subcode(), u"MissingID");
  EXPECT_EQ(d.Text(), u"Encountered struct member accessor with invalid reference.");
}

ComPtr<IStorage> NewStorage() {
  ComPtr<IStorage> storage;
  EXPECT_EQ(StgCreateDocfile(nullptr, STGM_DELETEONRELEASE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE,
                             0, storage.Receive()),
            S_OK);
  return storage;
}

TEST(ValueDecoderReferences, AttachmentReferencesBecomeUnknowns) {
  Harness h(11);
  ComPtr<IStorage> storage = NewStorage();
  ASSERT_TRUE(h.message->AddAttachment(true, u"uuid:1", u"application/octet-stream", 1,
                                       storage.Get(), nullptr, 0));
  Decoded d = Decode(h, "<p href=\"uuid:1\"/>", {u"base64Binary", kXsd});
  ASSERT_EQ(d.fault, nullptr) << Narrow(d.Text());
  ASSERT_EQ(d.value.vt, VT_UNKNOWN);
  EXPECT_EQ(d.value.punkVal, static_cast<IUnknown*>(storage.Get()));

  Harness items(11);
  ASSERT_TRUE(items.message->AddAttachment(true, u"uuid:1", u"t", 1, storage.Get(), nullptr, 0));
  Decoded array = Decode(
      items, "<p SOAP-ENC:arrayType=\"xsd:int[2]\"><i>5</i><i href=\"uuid:1\"/></p>", kIntArray);
  ASSERT_EQ(array.fault, nullptr) << Narrow(array.Text());
  LONG index = 1;
  Variant item;
  ASSERT_EQ(SafeArrayGetElement(array.value.parray, &index, item.Receive()), S_OK);
  EXPECT_EQ(item.vt, VT_UNKNOWN);

  // "cid:" names the record by its bare id, as other stacks write it.
  Harness cid(11);
  ASSERT_TRUE(cid.message->AddAttachment(true, u"id3", u"t", 1, storage.Get(), nullptr, 0));
  Decoded by_cid = Decode(cid, "<p href=\"cid:id3\"/>", {u"base64Binary", kXsd});
  ASSERT_EQ(by_cid.fault, nullptr) << Narrow(by_cid.Text());
  ASSERT_EQ(by_cid.value.vt, VT_UNKNOWN);
  EXPECT_EQ(by_cid.value.punkVal, static_cast<IUnknown*>(storage.Get()));

  // An attachment of the other phase is no target.
  Harness response(11);
  ASSERT_TRUE(
      response.message->AddAttachment(false, u"uuid:1", u"t", 1, storage.Get(), nullptr, 0));
  Decoded missing = Decode(response, "<p href=\"uuid:1\"/>", {u"base64Binary", kXsd});
  ASSERT_NE(missing.fault, nullptr);
  EXPECT_EQ(missing.Text(), kParamReference);
}

TEST(ValueDecoderLimits, DepthAndValueBudgetsEndInFaults) {
  // A shared struct expanded many times counts each time.
  std::string items;
  for (int i = 0; i < 50; ++i) items += "<i href=\"#s\"/>";
  Options budget;
  budget.after_wrapper = "<t:Point id=\"s\"><x>1</x><y>2</y></t:Point>";
  Decoded shared =
      Decode("<p SOAP-ENC:arrayType=\"t:Point[50]\">" + items + "</p>", kPointArray, budget);
  ASSERT_EQ(shared.fault, nullptr) << Narrow(shared.Text());
  budget.max_values = 100;
  Decoded over =
      Decode("<p SOAP-ENC:arrayType=\"t:Point[50]\">" + items + "</p>", kPointArray, budget);
  ASSERT_NE(over.fault, nullptr);
  EXPECT_EQ(over.code, u"Client");
  EXPECT_EQ(over.Text(), u"Message holds more than 100 values.");

  // Nesting as deep as the XML parser allows decodes under the default
  // limit; a lower limit ends it in a fault, not a crash.
  std::string open, close;
  for (int i = 0; i < xml::kMaxNestingDepth - 10; ++i) {
    open += "<next><value>1</value>";
    close += "</next>";
  }
  const std::string deep = "<p><value>0</value>" + open + close + "</p>";
  Decoded nested = Decode(deep, kNode);
  ASSERT_EQ(nested.fault, nullptr) << Narrow(nested.Text());
  Options shallow;
  shallow.max_depth = 100;
  Decoded limited = Decode(deep, kNode, shallow);
  ASSERT_NE(limited.fault, nullptr);
  EXPECT_EQ(limited.Text(), u"Value nesting exceeds the limit of 100 levels.");
}

std::vector<Variant> Items(const VARIANT& v) {
  std::vector<Variant> out;
  if (v.vt != (VT_ARRAY | VT_VARIANT)) return out;
  LONG low = 0, high = -1;
  SafeArrayGetLBound(v.parray, 1, &low);
  SafeArrayGetUBound(v.parray, 1, &high);
  for (LONG i = low; i <= high; ++i) {
    Variant item;
    if (FAILED(SafeArrayGetElement(v.parray, &i, item.Receive()))) break;
    out.push_back(std::move(item));
  }
  return out;
}

std::string Repeat(int n, const std::function<std::string(int)>& piece) {
  std::string out;
  for (int i = 0; i < n; ++i) out += piece(i);
  return out;
}

// Values reached through many references are decoded once: what the decode
// holds stays within a multiple of the request, whatever the references ask.
TEST(ValueDecoderLimits, SharedValuesStayWithinTheDecodedBytes) {
  auto hrefs = [](int n, const char* id) {
    return Repeat(n, [id](int) { return "<i href=\"#" + std::string(id) + "\"/>"; });
  };
  const std::string ints = Repeat(1000, [](int i) { return "<i>" + std::to_string(i) + "</i>"; });
  const std::string chain = Repeat(1000, [](int i) {
    return i == 999
               ? std::string("<r id=\"r999\">7</r>")
               : "<r id=\"r" + std::to_string(i) + "\" href=\"#r" + std::to_string(i + 1) + "\"/>";
  });
  struct Case {
    const char* name;
    std::string param;
    std::string multi_refs;
    TypeRef type;
    size_t items;          // of the answer; 0: a fault
    const char16_t* item;  // every item's text
  };
  const Case cases[] = {
      {"1,000 references to one 1,000-item array",
       "<p SOAP-ENC:arrayType=\"t:IntArray[1000]\">" + hrefs(1000, "a") + "</p>",
       "<t:IntArray id=\"a\" SOAP-ENC:arrayType=\"xsd:int[1000]\">" + ints + "</t:IntArray>",
       kNestedArray, 0, nullptr},
      {"2,000 references to one chain of 1,000",
       "<p SOAP-ENC:arrayType=\"xsd:int[2000]\">" + hrefs(2000, "r0") + "</p>", chain, kIntArray,
       2000, u"7"},
      {"2,000 references to one long string",
       "<p SOAP-ENC:arrayType=\"xsd:anyType[2000]\">" + hrefs(2000, "s") + "</p>",
       "<s id=\"s\">" + std::string(64 * 1024, 'x') + "</s>", kAnyArray, 0, nullptr},
      {"a few references to a short string",
       "<p SOAP-ENC:arrayType=\"xsd:anyType[3]\">" + hrefs(3, "s") + "</p>", "<s id=\"s\">hi</s>",
       kAnyArray, 3, u"hi"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(11);
    Options options;
    options.after_wrapper = c.multi_refs;
    Decoded d = Decode(h, c.param, c.type, options);
    const DecodeBudget& budget = h.message->GetRequestParser().Budget();
    EXPECT_EQ(budget.limit, DecodeBudget::ForMessage(h.message->EnvelopeLength()));
    EXPECT_LE(budget.used, budget.limit);
    EXPECT_LE(d.heap_peak, static_cast<int64_t>(budget.limit));
    if (c.items == 0) {
      ASSERT_NE(d.fault, nullptr);
      EXPECT_EQ(d.code, u"Client");
      EXPECT_EQ(d.Text(), text::WFormat("Message decodes to more than %zu bytes.", budget.limit));
      continue;
    }
    ASSERT_EQ(d.fault, nullptr) << Narrow(d.Text());
    const std::vector<Variant> items = Items(d.value);
    ASSERT_EQ(items.size(), c.items);
    for (const Variant& item : items) ASSERT_EQ(AsText(item), c.item);
  }
}

TEST(ValueDecoderReferences, SharedStructIsOneObjectAndChainsAreBoundedOnce) {
  Options options;
  options.after_wrapper = "<t:Point id=\"s\"><x>1</x><y>2</y></t:Point>";
  Decoded d = Decode(
      "<p SOAP-ENC:arrayType=\"t:Point[3]\"><i href=\"#s\"/><i href=\"#s\"/>"
      "<i href=\"#s\"/></p>",
      kPointArray, options);
  ASSERT_EQ(d.fault, nullptr) << Narrow(d.Text());
  const std::vector<Variant> items = Items(d.value);
  ASSERT_EQ(items.size(), 3u);
  for (const Variant& item : items) {
    ASSERT_EQ(item.vt, VT_DISPATCH);
    EXPECT_EQ(item.pdispVal, items[0].pdispVal);
  }
  EXPECT_EQ(Summary(items[2]), u"x=1;y=2;");

  // A chain too long is refused from where it is too long, whichever hop is
  // followed first.
  const std::string chain =
      "<r id=\"r0\" href=\"#r1\"/><r id=\"r1\" href=\"#r2\"/><r id=\"r2\" href=\"#r3\"/>"
      "<r id=\"r3\">5</r>";
  struct Case {
    const char* name;
    const char* items;
    const char16_t* fault;  // null: every item is 5
  };
  const Case cases[] = {
      {"short end first", "<i href=\"#r2\"/><i href=\"#r0\"/>", kItemReferenceText},
      {"long end first", "<i href=\"#r0\"/><i href=\"#r2\"/>", kItemReferenceText},
      {"within the limit", "<i href=\"#r1\"/><i href=\"#r2\"/>", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Options limited;
    limited.after_wrapper = chain;
    limited.max_depth = 3;
    Decoded r = Decode("<p SOAP-ENC:arrayType=\"xsd:int[2]\">" + std::string(c.items) + "</p>",
                       kIntArray, limited);
    if (c.fault) {
      ASSERT_NE(r.fault, nullptr);
      EXPECT_EQ(r.Text(), c.fault);
      continue;
    }
    ASSERT_EQ(r.fault, nullptr) << Narrow(r.Text());
    for (const Variant& item : Items(r.value)) EXPECT_EQ(AsText(item), u"5");
  }
}

// ---- arrays --------------------------------------------------------------------------

struct ArrayCase {
  const char* name;
  int version;
  std::string param;
  TypeRef type;
  std::vector<SAFEARRAYBOUND> shape;  // written order; empty: the decode fails
  std::vector<int> values;            // row-major over the written order
  const char16_t* text;
};

std::string Items(int n) {
  std::string s;
  for (int i = 1; i <= n; ++i) s += "<i>" + std::to_string(i) + "</i>";
  return s;
}

std::string Array11(const char* type, int items, const char* more = "") {
  return std::string("<p SOAP-ENC:arrayType=\"") + type + "\"" + more + ">" + Items(items) + "</p>";
}
std::string Array12(const char* size, int items) {
  std::string attr = size ? std::string(" enc:arraySize=\"") + size + "\"" : "";
  return "<p enc:itemType=\"xsd:int\"" + attr + ">" + Items(items) + "</p>";
}

void CheckShape(const VARIANT& v, const ArrayCase& c) {
  ASSERT_EQ(v.vt, VT_ARRAY | VT_VARIANT);
  const UINT r = static_cast<UINT>(c.shape.size());
  ASSERT_EQ(SafeArrayGetDim(v.parray), r);
  int64_t cells = 1;
  for (UINT i = 0; i < r; ++i) {
    // SafeArrayGetLBound counts dimensions in creation order: the last
    // written dimension first.
    LONG lb = 0, ub = 0;
    ASSERT_EQ(SafeArrayGetLBound(v.parray, r - i, &lb), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(v.parray, r - i, &ub), S_OK);
    EXPECT_EQ(lb, c.shape[i].lLbound) << "dimension " << i;
    EXPECT_EQ(int64_t(ub) - lb + 1, int64_t(c.shape[i].cElements)) << "dimension " << i;
    cells *= c.shape[i].cElements;
  }
  ASSERT_EQ(size_t(cells), c.values.size());
  std::vector<LONG> written(r), indices(r);
  for (UINT i = 0; i < r; ++i) written[i] = c.shape[i].lLbound;
  for (size_t k = 0; k < c.values.size(); ++k) {
    for (UINT i = 0; i < r; ++i) indices[i] = written[r - 1 - i];
    Variant item;
    ASSERT_EQ(SafeArrayGetElement(v.parray, indices.data(), item.Receive()), S_OK);
    EXPECT_EQ(AsText(item), text::Widen(std::to_string(c.values[k]))) << "item " << k;
    for (UINT i = r; i-- > 0;) {
      if (++written[i] < c.shape[i].lLbound + LONG(c.shape[i].cElements)) break;
      written[i] = c.shape[i].lLbound;
    }
  }
}

TEST(ValueDecoderArrays, ShapesSizesAndOffsets) {
  const char16_t* conflict = u"Array size declared conflicts with actual size.";
  const char16_t* improper = u"Encountered improperly typed array accessor.";
  const char16_t* bad_size =
      u"Value of attribute 'arrayType' on element is invalid, size may be unspecified for "
      u"innermost dimension only.";
  const char16_t* bad_offset = u"Invalid value for attribute 'offset' or 'arrayType' on element.";
  const ArrayCase cases[] = {
      {"declared size", 11, Array11("xsd:int[3]", 3), kIntArray, {{3, 0}}, {1, 2, 3}, nullptr},
      {"fewer items than declared", 11, Array11("xsd:int[3]", 2), kIntArray, {}, {}, conflict},
      {"more items than declared", 11, Array11("xsd:int[1]", 2), kIntArray, {}, {}, conflict},
      {"size from the items", 11, Array11("xsd:int[]", 2), kIntArray, {{2, 0}}, {1, 2}, nullptr},
      {"non-digit first size is unspecified",
       11,
       Array11("xsd:int[-3]", 2),
       kIntArray,
       {{2, 0}},
       {1, 2},
       nullptr},
      {"empty array", 11, Array11("xsd:int[0]", 0), kIntArray, {{0, 0}}, {}, nullptr},
      {"nil array",
       11,
       Array11("xsd:int[0]", 0, " xsi:nil=\"true\""),
       kIntArray,
       {{0, 0}},
       {},
       nullptr},
      {"partial array with offset",
       11,
       Array11("xsd:int[5]", 3, " SOAP-ENC:offset=\"[2]\""),
       kIntArray,
       {{3, 2}},
       {1, 2, 3},
       nullptr},
      {"offset beyond the size",
       11,
       Array11("xsd:int[2]", 0, " SOAP-ENC:offset=\"[3]\""),
       kIntArray,
       {},
       {},
       bad_offset},
      {"nonzero second offset",
       11,
       Array11("xsd:int[2,3]", 6, " SOAP-ENC:offset=\"[0,1]\""),
       kMatrix,
       {},
       {},
       bad_offset},
      {"offset count unlike the sizes",
       11,
       Array11("xsd:int[3]", 3, " SOAP-ENC:offset=\"[0,0]\""),
       kIntArray,
       {},
       {},
       bad_offset},
      {"two dimensions",
       11,
       Array11("xsd:int[2,3]", 6),
       kMatrix,
       {{2, 0}, {3, 0}},
       {1, 2, 3, 4, 5, 6},
       nullptr},
      {"first of two dimensions from the items",
       11,
       Array11("xsd:int[,3]", 6),
       kMatrix,
       {{2, 0}, {3, 0}},
       {1, 2, 3, 4, 5, 6},
       nullptr},
      {"items not a multiple of the inner size",
       11,
       Array11("xsd:int[,3]", 7),
       kMatrix,
       {},
       {},
       conflict},
      {"inner size 0 with items", 11, Array11("xsd:int[,0]", 1), kMatrix, {}, {}, conflict},
      {"inner size 0 without items",
       11,
       Array11("xsd:int[,0]", 0),
       kMatrix,
       {{0, 0}, {0, 0}},
       {},
       nullptr},
      {"product past the limit", 11, Array11("xsd:int[65536,65537]", 0), kMatrix, {}, {}, conflict},
      {"product that would wrap 32 bits",
       11,
       Array11("xsd:int[65536,65536]", 0),
       kMatrix,
       {},
       {},
       conflict},
      {"size above 32 bits", 11, Array11("xsd:int[2147483648]", 0), kIntArray, {}, {}, conflict},
      {"huge declared size", 11, Array11("xsd:int[2147483647]", 1), kIntArray, {}, {}, conflict},
      {"negative inner size", 11, Array11("xsd:int[2,-3]", 0), kMatrix, {}, {}, bad_size},
      {"unspecified inner size", 11, Array11("xsd:int[2,]", 0), kMatrix, {}, {}, bad_size},
      {"fewer sizes than the rank", 11, Array11("xsd:int[4]", 4), kMatrix, {}, {}, improper},
      {"more sizes than the rank", 11, Array11("xsd:int[2,2]", 4), kIntArray, {}, {}, improper},
      {"item type unlike the WSDL's", 11, Array11("xsd:string[1]", 1), kIntArray, {}, {}, improper},
      {"open first size past the last index",
       11,
       Array11("xsd:int[]", 2, " SOAP-ENC:offset=\"[2147483647]\""),
       kIntArray,
       {},
       {},
       conflict},
      {"SOAP 1.2 size", 12, Array12("3", 3), kIntArray, {{3, 0}}, {1, 2, 3}, nullptr},
      {"SOAP 1.2 two dimensions",
       12,
       Array12("2 3", 6),
       kMatrix,
       {{2, 0}, {3, 0}},
       {1, 2, 3, 4, 5, 6},
       nullptr},
      {"SOAP 1.2 first size open",
       12,
       Array12("* 3", 6),
       kMatrix,
       {{2, 0}, {3, 0}},
       {1, 2, 3, 4, 5, 6},
       nullptr},
      {"SOAP 1.2 inner size open", 12, Array12("2 *", 0), kMatrix, {}, {}, bad_size},
      {"SOAP 1.2 without a size", 12, Array12(nullptr, 2), kIntArray, {{2, 0}}, {1, 2}, nullptr},
      {"SOAP 1.2 without a size, rank 2", 12, Array12(nullptr, 2), kMatrix, {}, {}, improper},
      {"SOAP 1.2 size above 32 bits", 12, Array12("99999999999", 0), kIntArray, {}, {}, conflict},
      {"SOAP 1.2 size that is no number", 12, Array12("3x", 3), kIntArray, {}, {}, bad_size},
  };
  for (const ArrayCase& c : cases) {
    SCOPED_TRACE(c.name);
    Options options;
    options.version = c.version;
    Harness h(c.version);
    DescribeTypes(h.reader->wsdl);
    // Faults raised while the attributes are read end the parse itself.
    const std::string body = "<m:Op xmlns:m=\"urn:m\">" + c.param + "</m:Op>";
    if (!h.Run(c.version == 11 ? Envelope11("", body) : Envelope12("", body))) {
      ASSERT_TRUE(c.shape.empty()) << Narrow(h.FaultText());
      EXPECT_EQ(h.FaultText(), c.text);
      EXPECT_EQ(h.message->GetFaultCode(), c.version == 11 ? u"Client" : u"Sender");
      continue;
    }
    Decoded d = Decode(h, c.param, c.type, options);
    if (c.shape.empty() && c.values.empty() && c.text) {
      ASSERT_NE(d.fault, nullptr);
      EXPECT_EQ(d.Text(), c.text);
      EXPECT_EQ(d.code, c.version == 11 ? u"Client" : u"Sender");
      continue;
    }
    ASSERT_EQ(d.fault, nullptr) << Narrow(d.Text());
    CheckShape(d.value, c);
  }
}

TEST(ValueDecoderArrays, ItemsOfEveryKind) {
  Decoded structs = Decode(
      "<p SOAP-ENC:arrayType=\"t:Point[2]\"><i><x>1</x></i><i><y>2</y></i></p>", kPointArray);
  ASSERT_EQ(structs.fault, nullptr) << Narrow(structs.Text());
  LONG index = 1;
  Variant item;
  ASSERT_EQ(SafeArrayGetElement(structs.value.parray, &index, item.Receive()), S_OK);
  EXPECT_EQ(Summary(item), u"y=2;");

  Decoded nested = Decode(
      "<p SOAP-ENC:arrayType=\"t:IntArray[2]\">"
      "<i SOAP-ENC:arrayType=\"xsd:int[1]\"><v>7</v></i>"
      "<i SOAP-ENC:arrayType=\"xsd:int[2]\"><v>8</v><v>9</v></i></p>",
      kNestedArray);
  ASSERT_EQ(nested.fault, nullptr) << Narrow(nested.Text());
  ASSERT_EQ(SafeArrayGetElement(nested.value.parray, &index, item.Receive()), S_OK);
  ASSERT_EQ(item.vt, VT_ARRAY | VT_VARIANT);
  LONG ub = 0;
  SafeArrayGetUBound(item.parray, 1, &ub);
  EXPECT_EQ(ub, 1);

  Decoded any = Decode(
      "<p SOAP-ENC:arrayType=\"xsd:anyType[2]\"><i xsi:type=\"xsd:int\">3</i>"
      "<i xsi:type=\"xsd:string\">s</i></p>",
      kAnyArray);
  ASSERT_EQ(any.fault, nullptr) << Narrow(any.Text());
  index = 0;
  ASSERT_EQ(SafeArrayGetElement(any.value.parray, &index, item.Receive()), S_OK);
  EXPECT_EQ(item.vt, VT_I4);

  Decoded bad_ref =
      Decode("<p SOAP-ENC:arrayType=\"xsd:int[1]\"><i href=\"#nowhere\"/></p>", kIntArray);
  ASSERT_NE(bad_ref.fault, nullptr);
  EXPECT_EQ(bad_ref.Text(), u"Encountered array item accessor with invalid reference.");

  Decoded bad_item = Decode("<p SOAP-ENC:arrayType=\"xsd:int[2]\"><i>1</i><i>x</i></p>", kIntArray);
  ASSERT_NE(bad_item.fault, nullptr);
  EXPECT_EQ(bad_item.Text(), u"Encountered improperly serialized built-in type accessor: 'i'.");
}

TEST(ValueDecoderArrays, AccessorFaultsWithTheirCodes) {
  struct Case {
    const char* name;
    int version;
    const char* param;
    TypeRef type;
    const char16_t* code;
    const char16_t* text;
  };
  const Case cases[] = {
      {"foreign encoding, SOAP 1.2", 12, "<p env:encodingStyle=\"urn:x\"/>", kIntArray,
       u"DataEncodingUnknown", u"Unsupported encodingStyle on array accessor."},
      {"foreign encoding, SOAP 1.1", 11, "<p SOAP-ENV:encodingStyle=\"urn:x\"/>", kIntArray,
       u"Client", u"Unsupported encodingStyle on array accessor."},
      {"struct nodeType on an array", 12, "<p enc:nodeType=\"struct\"/>", kIntArray, u"Sender",
       u"Incorrect nodeType on array accessor."},
      {"array without an item type in the WSDL",
       11,
       "<p SOAP-ENC:arrayType=\"xsd:int[0]\"/>",
       {u"Untyped", u"urn:t"},
       u"Client",
       u"Encountered unrecognized array accessor."},
      {"item type the WSDL cannot place",
       12,
       "<p/>",
       {u"OddItems", u"urn:t"},
       u"Sender",
       u"Encountered unrecognized array item accessor type."},
      {"array without a rank in the WSDL",
       12,
       "<p/>",
       {u"Rankless", u"urn:t"},
       u"Sender",
       u"Unable to determine dimensionality of array."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Options options;
    options.version = c.version;
    Decoded d = Decode(c.param, c.type, options);
    ASSERT_NE(d.fault, nullptr);
    EXPECT_EQ(d.code, c.code);
    EXPECT_EQ(d.Text(), c.text);
  }

  // Faults of the array attributes end the parse.
  const FaultCase attribute_cases[] = {
      {"arrayType with an undeclared prefix", 11,
       Envelope11("", "<m:Op xmlns:m=\"urn:m\"><p SOAP-ENC:arrayType=\"q:int[1]\"/></m:Op>"), true,
       u"Client", u"",
       u"Encountered undeclared namespace prefix for attribute 'arrayType' on element.", 11},
      {"arrayType without a default namespace", 11,
       Envelope11("", "<m:Op xmlns:m=\"urn:m\"><p SOAP-ENC:arrayType=\"int[1]\"/></m:Op>"), true,
       u"Client", u"", u"Encountered unresolvable namespace for attribute 'arrayType' on element.",
       11},
      {"itemType with an undeclared prefix", 12,
       Envelope12("", "<m:Op xmlns:m=\"urn:m\"><p enc:itemType=\"q:int\"/></m:Op>"), true,
       u"Sender", u"",
       u"Encountered undeclared namespace prefix for attribute 'itemType' on element.", 12},
      {"itemType without a default namespace", 12,
       Envelope12("", "<m:Op xmlns:m=\"urn:m\"><p enc:itemType=\"int\"/></m:Op>"), true, u"Sender",
       u"", u"Encountered unresolvable namespace for attribute 'itemType' on element.", 12},
      {"offset without brackets", 11,
       Envelope11("",
                  "<m:Op xmlns:m=\"urn:m\"><p SOAP-ENC:arrayType=\"xsd:int[1]\" "
                  "SOAP-ENC:offset=\"0\"/></m:Op>"),
       true, u"Client", u"", u"Invalid value for attribute 'offset' or 'arrayType' on element.",
       11},
  };
  RunFaultCases(attribute_cases, std::size(attribute_cases));
}

// ---- literal family ------------------------------------------------------------------

TEST(ValueDecoderLiteral, StructsArraysAndTheirRefusals) {
  Options literal;
  literal.literal = true;
  Decoded point = Decode("<p><x>1</x><y>2</y></p>", kLitPoint, literal);
  ASSERT_EQ(point.fault, nullptr) << Narrow(point.Text());
  EXPECT_EQ(Summary(point.value), u"x=1;y=2;");

  Decoded list = Decode("<p><item>4</item><item>5</item></p>", kLitList, literal);
  ASSERT_EQ(list.fault, nullptr) << Narrow(list.Text());
  ArrayCase expected{"", 11, "", kLitList, {{2, 0}}, {4, 5}, nullptr};
  CheckShape(list.value, expected);

  Decoded simple = Decode("<p>6</p>", kInt, literal);
  ASSERT_EQ(simple.fault, nullptr);
  EXPECT_EQ(simple.value.vt, VT_I4);

  struct Case {
    const char* param;
    TypeRef type;
    const char16_t* text;
  };
  const Case cases[] = {
      {"<p><item>4</item><other>5</other></p>", kLitList,
       u"Encountered unrecognized array item accessor."},
      {"<p><x>1</x><w>2</w></p>", kLitPoint,
       u"Encountered struct member accessor with unrecognized type."},
      {"<p/>", {u"Unknown", u"urn:t"}, u"Encountered accessor with unrecognized type."},
      {"<p><item>1</item></p>",
       {u"LitOdd", u"urn:t"},
       u"Encountered array item accessor with unrecognized type."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.param);
    Decoded d = Decode(c.param, c.type, literal);
    ASSERT_NE(d.fault, nullptr);
    EXPECT_EQ(d.Text(), c.text);
  }
}

}  // namespace
}  // namespace message

namespace message {
namespace {

// Mutated envelopes, parsed and decoded: every run ends in a value or in a
// fault with a text, never in a crash, a leak or a hang (run under the
// sanitizers).
TEST(ValueDecoderRobustness, MutatedEnvelopesEndInAValueOrAFault) {
  struct Seed {
    int version;
    std::string param;
    std::string multi_refs;
    TypeRef type;
  };
  const Seed seeds[] = {
      {11, "<p SOAP-ENC:arrayType=\"xsd:int[2,3]\" SOAP-ENC:offset=\"[1]\">" + Items(6) + "</p>",
       "", kMatrix},
      {11, "<p href=\"#n\"/>",
       "<t:Node id=\"n\"><value>1</value><next href=\"#m\"/></t:Node>"
       "<t:Node id=\"m\"><value>2</value></t:Node>",
       kNode},
      {11, "<p SOAP-ENC:arrayType=\"t:Point[2]\"><i href=\"#s\"/><i><x>1</x></i></p>",
       "<t:Point id=\"s\"><x>1</x><y>2</y></t:Point>", kPointArray},
      {12, "<p enc:itemType=\"xsd:int\" enc:arraySize=\"* 2\">" + Items(4) + "</p>", "", kMatrix},
      {12, "<p enc:ref=\"a\"/><t:Node enc:id=\"a\"><next enc:ref=\"a\"/></t:Node>", "", kNode},
      {11, "<p>2002-03-04T13:14:15+01:00</p>", "", {u"dateTime", kXsd}},
      {11, "<p>SGVsbG8=</p>", "", {u"base64Binary", kXsd}},
  };
  const std::string alphabet = "<>/\"=#[],*0123456789-: ax";
  uint32_t state = 12345;
  auto next = [&state]() {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  int values = 0, faults = 0;
  for (int round = 0; round < 1500; ++round) {
    const Seed& seed = seeds[round % std::size(seeds)];
    std::string param = seed.param;
    std::string refs = seed.multi_refs;
    std::string& target = (refs.empty() || next() % 2) ? param : refs;
    for (uint32_t edits = 1 + next() % 3; edits > 0 && !target.empty(); --edits) {
      const size_t at = next() % target.size();
      const char c = alphabet[next() % alphabet.size()];
      switch (next() % 3) {
        case 0:
          target[at] = c;
          break;
        case 1:
          target.erase(at, 1);
          break;
        default:
          target.insert(at, 1, c);
          break;
      }
    }
    Harness h(seed.version);
    DescribeTypes(h.reader->wsdl);
    const std::string body = "<m:Op xmlns:m=\"urn:m\">" + param + "</m:Op>" + refs;
    if (!h.Run(seed.version == 11 ? Envelope11("", body) : Envelope12("", body))) {
      EXPECT_FALSE(h.FaultText().empty());
      ++faults;
      continue;
    }
    const Accessor* wrapper = h.message->GetRequestParser().GetWrapper();
    if (!wrapper || wrapper->children.empty()) continue;
    ValueDecoder decoder(h.message->GetRequestParser(), *h.message, h.reader.Get());
    Variant value;
    try {
      decoder.DecodeEncoded(
          *wrapper->children[0], seed.type.name, seed.type.ns,
          seed.version == 11 ? xml::kSoap11EncodingNamespace : xml::kSoap12EncodingNamespace,
          kParamReference, &value);
      ++values;
    } catch (xml::QVSOAPFault* fault) {
      std::unique_ptr<xml::QVSOAPFault> owned(fault);
      EXPECT_FALSE(owned->GetFaultString().empty());
      EXPECT_EQ(value.vt, VT_EMPTY);
      ++faults;
    }
  }
  // The mutations are mild enough that both outcomes occur.
  EXPECT_GT(values, 0);
  EXPECT_GT(faults, 0);
}

}  // namespace
}  // namespace message
