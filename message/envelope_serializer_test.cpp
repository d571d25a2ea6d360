// The written envelopes, byte for byte where the form matters, and the
// operations around them: mustUnderstand, header consumption, unfilled
// outputs, values that cannot be written.
#include "message/envelope_serializer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "message/quenlin_impl.h"
#include "message/rpc_decoder.h"
#include "message/testing/message_testing.h"
#include "platform/com/module.h"

namespace message {
namespace {

using testing::Envelope12;
using testing::Harness;
using testing::Key;
using testing::Narrow;

const std::u16string kXsd(xml::kXmlSchemaNamespace);
const std::u16string kEnc11(xml::kSoap11EncodingNamespace);

std::string Written(const SoapMessage& m) {
  return std::string(m.EnvelopeBytes() ? m.EnvelopeBytes() : "", m.EnvelopeLength());
}

Variant Str(std::u16string_view s) {
  Variant v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(s);
  return v;
}

// A string array with the given lower bound.
Variant Strings(LONG lower, ULONG count) {
  Variant v;
  SAFEARRAYBOUND bound{count, lower};
  v.vt = VT_ARRAY | VT_VARIANT;
  v.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
  for (ULONG i = 0; i < count; ++i) {
    const LONG index = lower + LONG(i);
    Variant item = Str(u"s" + std::u16string(1, char16_t(u'0' + i)));
    SafeArrayPutElement(v.parray, &index, &item);
  }
  return v;
}

// A response of method Echo in urn:N, rpc/encoded, whose output parts the
// test declares.
struct Response : Harness {
  explicit Response(int version, std::u16string_view method_ns = u"urn:N") : Harness(version) {
    message->SetSoapVersion(version);
    message->SetMethodName(u"Echo");
    message->SetMethodNamespace(method_ns);
    message->SetRequestPhase(false);
    reader->wsdl.output_uses[u"Echo"] = u"encoded";
    reader->wsdl.complex_base[Key({u"ArrayOfString", u"urn:t"})] = {u"Array", kEnc11};
    reader->wsdl.array_types[Key({u"ArrayOfString", u"urn:t"})] = {u"string", kXsd};
    reader->wsdl.array_dims[Key({u"ArrayOfString", u"urn:t"})] = 1;
    reader->wsdl.complex_base[Key({u"Point", u"urn:t"})] = {u"Struct", kEnc11};
  }
  void Part(std::u16string_view name, std::u16string_view type, std::u16string_view ns) {
    reader->wsdl.output_parts[Key({u"Echo", name})] = {std::u16string(type), std::u16string(ns)};
  }
  // Serializes with one output parameter.
  bool WriteParam(std::u16string_view name, const VARIANT& value) {
    message->AddMethodParam(u"", name, value, false, true);
    return message->Serialize();
  }
  bool Has(const std::string& text) const {
    return Written(*message).find(text) != std::string::npos;
  }
};

TEST(EnvelopeSerializerTest, ResponseWrapperAndResult) {
  for (int version : {11, 12}) {
    SCOPED_TRACE(version);
    Response r(version);
    r.Part(u"return", u"string", kXsd);
    r.message->SetReturnValueName(u"return");
    ASSERT_TRUE(SUCCEEDED(r.message->SetReturnValue(Str(u"hi"))));
    ASSERT_TRUE(r.message->Serialize());
    const std::string env = version == 11 ? Narrow(xml::kSoap11EnvelopeNamespace)
                                          : Narrow(xml::kSoap12EnvelopeNamespace);
    EXPECT_TRUE(r.Has("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" + env + "\"><SOAP-ENV:Body>"))
        << Written(*r.message);
    EXPECT_TRUE(r.Has("xmlns:m=\"urn:N\"")) << Written(*r.message);
    if (version == 11) {
      EXPECT_TRUE(r.Has("<return>hi</return></m:EchoResponse>")) << Written(*r.message);
    } else {
      EXPECT_TRUE(
          r.Has("<SOAP-RPC:result xmlns:SOAP-RPC=\"http://www.w3.org/2003/05/soap-rpc\">"
                "return</SOAP-RPC:result><return>hi</return>"))
          << Written(*r.message);
    }
  }
}

// rpc peers read outputs by position: parameterOrder first, then the output
// message's part order, name order only for what the description leaves out.
TEST(EnvelopeSerializerTest, OutputsFollowTheDescriptionsOrder) {
  Response r(11);
  for (const char16_t* name : {u"a", u"b", u"c", u"d", u"e", u"return"}) r.Part(name, u"string", kXsd);
  r.reader->wsdl.parameter_order[Key({u"Echo", u"c"})] = 0;
  r.reader->wsdl.parameter_order[Key({u"Echo", u"a"})] = 1;
  r.reader->wsdl.output_part_order[Key({u"Echo", u"e"})] = 0;
  r.reader->wsdl.output_part_order[Key({u"Echo", u"b"})] = 1;
  r.message->SetReturnValueName(u"return");
  ASSERT_TRUE(SUCCEEDED(r.message->SetReturnValue(Str(u"r"))));
  // Added in name order, as the invoker adds them.
  for (const char16_t* name : {u"a", u"b", u"c", u"d", u"e"}) {
    r.message->AddMethodParam(u"", name, Str(name), false, true);
  }
  ASSERT_TRUE(r.message->Serialize()) << Written(*r.message);
  EXPECT_TRUE(r.Has("<return>r</return><c>c</c><a>a</a><e>e</e><b>b</b><d>d</d></m:EchoResponse>"))
      << Written(*r.message);
}

// A method without namespace is written unprefixed: xmlns:m="" is not XML.
TEST(EnvelopeSerializerTest, EmptyMethodNamespaceWritesNoDeclaration) {
  Response r(11, u"");
  r.Part(u"x", u"string", kXsd);
  ASSERT_TRUE(r.WriteParam(u"x", Str(u"v")));
  EXPECT_TRUE(r.Has("<EchoResponse SOAP-ENV:encodingStyle=")) << Written(*r.message);
  EXPECT_FALSE(r.Has("xmlns:m")) << Written(*r.message);
}

TEST(EnvelopeSerializerTest, ArrayShapes) {
  struct Case {
    int version;
    LONG lower;
    ULONG count;
    const char* expected[2];
  } cases[] = {
      {11, 0, 5, {"SOAP-ENC:arrayType=\"nsa:string[5]\"", "SOAP-ENC:offset=\"[0]\""}},
      {12, 0, 5, {"SOAP-ENC:arraySize=\"5\"", "SOAP-ENC:itemType=\"nsa:string\""}},
      // SOAP 1.1 keeps the full extent with the offset.
      {11, 2, 3, {"SOAP-ENC:arrayType=\"nsa:string[5]\"", "SOAP-ENC:offset=\"[2]\""}},
      // SOAP 1.2 has no offset: the size is the count.
      {12, 2, 3, {"SOAP-ENC:arraySize=\"3\"", "xmlns:nsa=\"http://www.w3.org/2001/XMLSchema\""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Narrow(u"v") + std::to_string(c.version) + " lower " +
                 std::to_string(c.lower));
    Response r(c.version);
    r.Part(u"list", u"ArrayOfString", u"urn:t");
    ASSERT_TRUE(r.WriteParam(u"list", Strings(c.lower, c.count)));
    for (const char* text : c.expected) EXPECT_TRUE(r.Has(text)) << Written(*r.message);
    EXPECT_TRUE(r.Has("<item>s0</item>")) << Written(*r.message);
    if (c.version != 12) continue;
    // The peer's decoder takes the array back.
    Harness peer(12);
    peer.message->SetMethodName(u"Echo");
    peer.reader->wsdl = r.reader->wsdl;
    ASSERT_TRUE(peer.Run(Written(*r.message), false)) << Narrow(peer.FaultText());
    ASSERT_TRUE(peer.message->ProcessRPC()) << Narrow(peer.FaultText());
    ASSERT_EQ(peer.message->MethodParams().size(), 1u);
    const VARIANT& list = peer.message->MethodParams()[0]->content;
    ASSERT_EQ(list.vt, VT_ARRAY | VT_VARIANT);
    EXPECT_EQ(list.parray->rgsabound[0].cElements, c.count);
  }
}

// A struct value with no members, and its struct interface.
ComPtr<ISoapStruct> NewStruct() {
  ComPtr<ISoapStruct> s;
  EXPECT_EQ(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_SERVER, ISoapStruct::kIid,
                             s.ReceiveVoid()),
            S_OK);
  return s;
}

// A struct value with one int member "x".
Variant Point(int32_t x) {
  ComPtr<ISoapStruct> s = NewStruct();
  Variant value;
  if (!s) return value;
  Variant member;
  member.vt = VT_I4;
  member.lVal = x;
  VARIANT_BOOL ok = VARIANT_FALSE;
  s->AddMember(Bstr(u"x").Get(), nullptr, member, &ok);
  value.vt = VT_DISPATCH;
  s->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&value.pdispVal));
  return value;
}

Variant Points(std::initializer_list<int32_t> xs) {
  Variant v;
  v.vt = VT_ARRAY | VT_VARIANT;
  v.parray = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(xs.size()));
  LONG i = 0;
  for (int32_t x : xs) {
    Variant item = Point(x);
    SafeArrayPutElement(v.parray, &i, &item);
    ++i;
  }
  return v;
}

Variant AsValue(ISoapStruct* s) {
  Variant value;
  value.vt = VT_DISPATCH;
  s->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&value.pdispVal));
  return value;
}

void Link(ISoapStruct* from, ISoapStruct* to) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  from->AddMember(Bstr(u"next").Get(), nullptr, AsValue(to), &ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
}

// Member types are asked of the description once per message and kept: two
// struct types that share a member name keep their own types, and a member
// one type lacks stops only that type's members.
TEST(EnvelopeSerializerTest, StructTypesSharingAMemberNameKeepTheirOwnTypes) {
  Response r(11);
  r.reader->wsdl.complex_base[Key({u"Pair", u"urn:t"})] = {u"Struct", kEnc11};
  r.reader->wsdl.complex_base[Key({u"Flag", u"urn:t"})] = {u"Struct", kEnc11};
  r.reader->wsdl.struct_members[Key({u"Pair", u"urn:t", u"a", u""})] = {u"Point", u"urn:t"};
  r.reader->wsdl.struct_members[Key({u"Pair", u"urn:t", u"b", u""})] = {u"Flag", u"urn:t"};
  r.reader->wsdl.struct_members[Key({u"Pair", u"urn:t", u"c", u""})] = {u"Point", u"urn:t"};
  r.reader->wsdl.struct_members[Key({u"Point", u"urn:t", u"x", u""})] = {u"int", kXsd};
  r.reader->wsdl.struct_members[Key({u"Flag", u"urn:t", u"x", u""})] = {u"boolean", kXsd};
  ComPtr<ISoapStruct> pair = NewStruct();
  ComPtr<ISoapStruct> flag;
  for (const char16_t* name : {u"a", u"b", u"c"}) {
    Variant member = Point(7);
    VARIANT_BOOL ok = VARIANT_FALSE;
    pair->AddMember(Bstr(name).Get(), nullptr, member, &ok);
    ASSERT_EQ(ok, VARIANT_TRUE);
    if (name[0] == u'b') {
      flag = com::QueryInterfacePtr<ISoapStruct>(member.pdispVal);
      ASSERT_TRUE(flag);
      Variant extra;
      extra.vt = VT_I4;
      extra.lVal = 3;
      flag->AddMember(Bstr(u"undescribed").Get(), nullptr, extra, &ok);
      ASSERT_EQ(ok, VARIANT_TRUE);
    }
  }
  r.Part(u"v", u"Pair", u"urn:t");
  ASSERT_TRUE(r.WriteParam(u"v", AsValue(pair.Get()))) << Written(*r.message);
  EXPECT_TRUE(r.Has("<a><x>7</x></a><b><x>1</x></b><c><x>7</x></c>")) << Written(*r.message);
}

// A struct that holds itself (or a chain too deep for any reader) is this
// server's fault, answered as one; writing it must not exhaust the stack.
TEST(EnvelopeSerializerTest, SelfContainingAndTooDeepStructsAreServerFaults) {
  struct Case {
    const char* name;
    size_t chain;  // distinct structs linked one after the other
    bool cycle;    // the last links back to the first
    const char* text;
  } cases[] = {
      {"contains itself", 1, true, "Struct value contains itself; it cannot be serialized."},
      {"through two others", 3, true, "Struct value contains itself; it cannot be serialized."},
      {"a chain deeper than the writer goes", size_t(kMaxSerializeDepth) + 1, false,
       "Value nests too deeply to be serialized."},
      {"the deepest chain written", size_t(kMaxSerializeDepth), false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ComPtr<ISoapStruct>> chain;
    for (size_t i = 0; i < c.chain; ++i) chain.push_back(NewStruct());
    for (size_t i = 0; i + 1 < c.chain; ++i) Link(chain[i].Get(), chain[i + 1].Get());
    if (c.cycle) Link(chain.back().Get(), chain.front().Get());
    {
      Response r(11);
      r.reader->wsdl.complex_base[Key({u"Node", u"urn:t"})] = {u"Struct", kEnc11};
      r.reader->wsdl.struct_members[Key({u"Node", u"urn:t", u"next", u""})] = {u"Node", u"urn:t"};
      r.Part(u"v", u"Node", u"urn:t");
      const bool written = r.WriteParam(u"v", AsValue(chain.front().Get()));
      if (c.text == nullptr) {
        EXPECT_TRUE(written) << Written(*r.message);
      } else {
        EXPECT_FALSE(written);
        EXPECT_TRUE(r.message->IsFault());
        EXPECT_TRUE(r.Has(std::string("<faultstring>") + c.text)) << Written(*r.message);
        EXPECT_TRUE(
            r.Has("<faultcode xmlns:ns=\"http://schemas.xmlsoap.org/soap/envelope/\">ns:Server"))
            << Written(*r.message);
      }
    }
    // The cycle holds its own references: break it so nothing leaks.
    VARIANT_BOOL removed = VARIANT_FALSE;
    for (auto& s : chain) s->RemoveMember(Bstr(u"next").Get(), &removed);
  }
}

// A member's type is its own struct type's: two types with a member of one
// name write it each by its own description, however many items ask.
TEST(EnvelopeSerializerTest, StructMembersFollowTheirOwnTypesDescription) {
  Response r(11);
  r.reader->wsdl.struct_members[Key({u"Point", u"urn:t", u"x", u""})] = {u"int", kXsd};
  r.reader->wsdl.complex_base[Key({u"Flag", u"urn:t"})] = {u"Struct", kEnc11};
  r.reader->wsdl.struct_members[Key({u"Flag", u"urn:t", u"x", u""})] = {u"boolean", kXsd};
  r.reader->wsdl.complex_base[Key({u"Bare", u"urn:t"})] = {u"Struct", kEnc11};
  r.Part(u"p", u"Point", u"urn:t");
  r.Part(u"f", u"Flag", u"urn:t");
  r.Part(u"b", u"Bare", u"urn:t");
  r.reader->wsdl.output_part_order[Key({u"Echo", u"p"})] = 0;
  r.reader->wsdl.output_part_order[Key({u"Echo", u"f"})] = 1;
  r.reader->wsdl.output_part_order[Key({u"Echo", u"b"})] = 2;
  r.message->AddMethodParam(u"", u"p", Point(5), false, true);
  r.message->AddMethodParam(u"", u"f", Point(5), false, true);
  r.message->AddMethodParam(u"", u"b", Point(5), false, true);
  ASSERT_TRUE(r.message->Serialize()) << Written(*r.message);
  const std::string written = Written(*r.message);
  EXPECT_NE(written.find("<p><x>5</x></p>"), std::string::npos) << written;
  EXPECT_NE(written.find("<f><x>1</x></f>"), std::string::npos) << written;
  EXPECT_NE(written.find("<b />"), std::string::npos) << written;
}

// Literal arrays: one element per item, named by the description's item
// element, and none of the SOAP encoding's array attributes. In an rpc/literal
// response they are parameters; in a document-style response, whose body is
// the handler's own XML, they reach the wire as a literal fault detail.
TEST(EnvelopeSerializerTest, LiteralArrays) {
  Variant unfilled;
  unfilled.vt = VT_ARRAY | VT_VARIANT;
  struct Case {
    const char* name;
    int version;
    bool document;
    bool explicit_typing;
    const char16_t* item_element_ns;
    const char16_t* array;  // the array's type in urn:t
    Variant value;
    std::string expected;
  } cases[] = {
      {"rpc 1.1", 11, false, false, u"urn:t", u"Names", Strings(0, 3),
       "<m:EchoResponse xmlns:m=\"urn:N\"><names><nsb:name xmlns:nsb=\"urn:t\">s0</nsb:name>"
       "<nsb:name xmlns:nsb=\"urn:t\">s1</nsb:name><nsb:name xmlns:nsb=\"urn:t\">s2</nsb:name>"
       "</names></m:EchoResponse>"},
      {"rpc 1.2, unqualified items", 12, false, false, u"", u"Names", Strings(1, 2),
       "<m:EchoResponse xmlns:m=\"urn:N\"><names><name>s0</name><name>s1</name></names>"
       "</m:EchoResponse>"},
      {"rpc 1.1, typed", 11, false, true, u"", u"Names", Strings(0, 1),
       "<names xsi:type=\"nss:Names\" xmlns:nss=\"urn:t\" "
       "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><name xsi:type=\"ns:string\" "
       "xmlns:ns=\"http://www.w3.org/2001/"
       "XMLSchema\">s0</name></names>"},
      {"rpc 1.1, unfilled", 11, false, false, u"", u"Names", std::move(unfilled),
       "<names xsi:nil=\"true\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" />"},
      {"rpc 1.2, structs", 12, false, false, u"urn:t", u"Pts", Points({4, 5}),
       "<pts><nsb:pt xmlns:nsb=\"urn:t\"><x>4</x></nsb:pt><nsb:pt xmlns:nsb=\"urn:t\"><x>5</x>"
       "</nsb:pt></pts>"},
      {"document 1.1", 11, true, false, u"urn:t", u"Names", Strings(0, 2),
       "<detail><nsb:names xmlns:nsb=\"urn:t\"><nsb:name>s0</nsb:name><nsb:name>s1</nsb:name>"
       "</nsb:names></detail>"},
      {"document 1.2", 12, true, false, u"", u"Pts", Points({6}),
       "<SOAP-ENV:Detail><nsb:pts xmlns:nsb=\"urn:t\"><pt><x>6</x></pt></nsb:pts>"
       "</SOAP-ENV:Detail>"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Response r(c.version);
    auto& w = r.reader->wsdl;
    w.output_uses[u"Echo"] = u"literal";
    w.literal_arrays[Key({u"Names", u"urn:t"})] = {{u"string", kXsd}, {u"name", c.item_element_ns}};
    w.literal_arrays[Key({u"Pts", u"urn:t"})] = {{u"Point", u"urn:t"}, {u"pt", c.item_element_ns}};
    w.struct_members[Key({u"Point", u"urn:t", u"x", u""})] = {u"int", kXsd};
    if (c.explicit_typing) {
      ASSERT_TRUE(r.message->Initialize(u"Svc", u"Port", u"urn:node", u"", u"", true, false,
                                        r.reader.Get()));
      r.message->SetRequestPhase(false);
    }
    const std::u16string param = c.array == std::u16string_view(u"Names") ? u"names" : u"pts";
    bool written = false;
    if (c.document) {
      w.binding_style = u"document";
      w.fault_detail_types[Key({u"Echo", param, u"urn:t"})] = {c.array, u"urn:t"};
      w.fault_detail_uses[Key({u"Echo", param, u"urn:t"})] = u"literal";
      if (c.version == 11) {
        r.message->SetFault(u"Server", xml::kSoap11EnvelopeNamespace, u"no", u"", true);
      } else {
        r.message->SetFault12(u"Receiver", xml::kSoap12EnvelopeNamespace, u"", u"",
                              {{u"en", u"no"}}, u"", true);
      }
      ASSERT_TRUE(r.message->AddFaultDetail(u"urn:t", param, c.value));
      written = r.message->Serialize();
    } else {
      r.Part(param, c.array, u"urn:t");
      written = r.WriteParam(param, c.value);
    }
    ASSERT_TRUE(written) << Narrow(r.FaultText()) << Written(*r.message);
    EXPECT_TRUE(r.Has(c.expected)) << Written(*r.message);
    EXPECT_FALSE(r.Has("SOAP-ENC")) << Written(*r.message);
    if (c.document || c.version != 12 || !c.value.parray) continue;
    // The peer's literal decoder takes the items back (SOAP 1.2: the fake
    // reader cannot tell a 1.1 return value from a parameter).
    Harness peer(c.version);
    peer.message->SetMethodName(u"Echo");
    peer.reader->wsdl = w;
    ASSERT_TRUE(peer.Run(Written(*r.message), false)) << Narrow(peer.FaultText());
    ASSERT_TRUE(peer.message->ProcessRPC()) << Narrow(peer.FaultText());
    ASSERT_EQ(peer.message->MethodParams().size(), 1u);
    const VARIANT& list = peer.message->MethodParams()[0]->content;
    ASSERT_EQ(list.vt, VT_ARRAY | VT_VARIANT);
    EXPECT_EQ(list.parray->rgsabound[0].cElements, c.value.parray->rgsabound[0].cElements);
  }
}

TEST(EnvelopeSerializerTest, NullAndUnfilledValuesAreNil) {
  struct Case {
    const char16_t* type;
    const char16_t* type_ns;
    VARTYPE vt;
    const char* expected;
  } cases[] = {
      {u"string", u"http://www.w3.org/1999/XMLSchema", VT_NULL,
       "<v xsi:null=\"1\" xmlns:xsi=\"http://www.w3.org/1999/XMLSchema-instance\""},
      {u"string", u"http://www.w3.org/2001/XMLSchema", VT_NULL,
       "<v xsi:nil=\"true\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""},
      // Outputs a service left unfilled: a null struct and a null array.
      {u"Point", u"urn:t", VT_DISPATCH, "<v xsi:nil=\"true\""},
      {u"ArrayOfString", u"urn:t", VT_ARRAY | VT_VARIANT, "<v xsi:nil=\"true\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.type));
    Response r(11);
    r.Part(u"v", c.type, c.type_ns);
    Variant value;
    value.vt = c.vt;  // null pointer members
    ASSERT_TRUE(r.WriteParam(u"v", value)) << Narrow(r.FaultText());
    EXPECT_TRUE(r.Has(c.expected)) << Written(*r.message);
  }
}

TEST(EnvelopeSerializerTest, ValueTextFollowsTheValue) {
  Variant i4;
  i4.vt = VT_I4;
  i4.lVal = 42;
  Variant flag;
  flag.vt = VT_BOOL;
  flag.boolVal = VARIANT_TRUE;
  Variant no_bytes;
  no_bytes.vt = VT_ARRAY | VT_UI1;  // null array
  Variant date;
  date.vt = VT_DATE;
  date.date = 36526.5;  // 2000-01-01 12:00
  struct Case {
    const char16_t* type;
    const VARIANT* value;
    const char* expected;  // null: the message cannot be written
  } cases[] = {
      // anyType: the written type, and its text, follow the VARIANT.
      {u"anyType", &i4, "<v xsi:type=\"ns:int\""},
      {u"anyType", &date, ">2000-01-01T12:00:00Z</v>"},
      {u"boolean", &flag, "<v>1</v>"},
      {u"int", &flag, "<v>-1</v>"},
      {u"base64Binary", &no_bytes, "<v />"},
      {u"date", &i4, ">1900-02-10</v>"},
      // Not a date, not bytes, not a type of the table.
      {u"date", nullptr, nullptr},
      {u"hexBinary", &i4, nullptr},
      {u"gYearMonth", &i4, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.type));
    Response r(11);
    r.Part(u"v", c.type, kXsd);
    Variant text = Str(u"not a date");
    const bool ok = r.WriteParam(u"v", c.value ? *c.value : static_cast<const VARIANT&>(text));
    if (!c.expected) {
      EXPECT_FALSE(ok) << Written(*r.message);
      EXPECT_TRUE(r.Has("<faultstring>Error while serializing message.</faultstring>"))
          << Written(*r.message);
      continue;
    }
    ASSERT_TRUE(ok);
    EXPECT_TRUE(r.Has(c.expected)) << Written(*r.message);
  }
}

// A fault raised while writing is recorded and its envelope written: the
// client gets the fault text, not an empty 500.
TEST(EnvelopeSerializerTest, WriterFaultsBecomeTheFaultEnvelope) {
  Variant nan;
  nan.vt = VT_R8;
  nan.dblVal = std::numeric_limits<double>::quiet_NaN();
  Variant not_array;
  not_array.vt = VT_I4;
  struct Case {
    const char16_t* type;
    const char16_t* type_ns;
    const VARIANT* value;
    const char* text;
  } cases[] = {
      {u"double", kXsd.c_str(), &nan, "<faultstring>Unable to convert parameter value to text."},
      {u"ArrayOfString", u"urn:t", &not_array,
       "<faultstring>Error while serializing array parameter.</faultstring>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.type));
    Response r(11);
    r.Part(u"v", c.type, c.type_ns);
    EXPECT_FALSE(r.WriteParam(u"v", *c.value));
    EXPECT_TRUE(r.message->IsFault());
    EXPECT_TRUE(r.Has(c.text)) << Written(*r.message);
    EXPECT_TRUE(
        r.Has("<faultcode xmlns:ns=\"http://schemas.xmlsoap.org/soap/envelope/\">ns:Server"))
        << Written(*r.message);
    EXPECT_FALSE(r.Has("NaN")) << Written(*r.message);
  }
}

TEST(EnvelopeSerializerTest, FaultForms) {
  {
    Harness h(12);
    h.message->SetSoapVersion(12);
    h.message->SetFault12(u"Receiver", xml::kSoap12EnvelopeNamespace, u"", u"", {}, u"", false);
    ASSERT_TRUE(h.message->Serialize());
    const std::string text = Written(*h.message);
    EXPECT_NE(text.find("<SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">No Reason specified."
                        "</SOAP-ENV:Text></SOAP-ENV:Reason>"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<SOAP-ENV:Value xmlns:ns=\"http://www.w3.org/2003/05/soap-envelope\">"
                        "ns:Receiver</SOAP-ENV:Value>"),
              std::string::npos)
        << text;
  }
  {
    // A plug-in's code without namespace: the bare name, no xmlns:ns="".
    Harness h(11);
    h.message->SetFault(u"Client.Custom", u"", u"bad", u"", true);
    h.message->AddFaultDetail(u"urn:d", u"why", Str(u"because"));
    ASSERT_TRUE(h.message->Serialize());
    const std::string text = Written(*h.message);
    EXPECT_NE(text.find("<SOAP-ENV:Fault><faultcode>Client.Custom</faultcode>"
                        "<faultstring>bad</faultstring><detail>"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("xmlns:ns=\"\""), std::string::npos) << text;
    EXPECT_NE(text.find(">because<"), std::string::npos) << text;
  }
}

// A struct with a member of each form the writer treats apart: text that
// needs escapes and characters past ASCII (a pair, and a lone surrogate kept
// as three bytes), an empty text, a nil, a date, a flag, bytes, a qualified
// member, a nested struct and an array of structs.
Variant Record() {
  ComPtr<ISoapStruct> s = NewStruct();
  auto add = [&](const char16_t* name, const char16_t* ns, const VARIANT& v) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    s->AddMember(Bstr(name).Get(), ns ? Bstr(ns).Get() : nullptr, v, &ok);
    EXPECT_EQ(ok, VARIANT_TRUE) << Narrow(name);
  };
  add(u"text", nullptr, Str(u"a&b<c>\"d'\r\n\te \u00e9\u20ac\U0001D11E \xD800!"));
  add(u"empty", nullptr, Str(u""));
  Variant none;
  none.vt = VT_NULL;
  add(u"none", nullptr, none);
  Variant when;
  when.vt = VT_DATE;
  when.date = 36526.75;
  add(u"when", nullptr, when);
  Variant flag;
  flag.vt = VT_BOOL;
  flag.boolVal = VARIANT_FALSE;
  add(u"flag", nullptr, flag);
  Variant blob;
  blob.vt = VT_ARRAY | VT_UI1;
  blob.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
  const uint8_t bytes[] = {0, 1, 2, 250};
  for (LONG i = 0; i < 4; ++i) SafeArrayPutElement(blob.parray, &i, const_cast<uint8_t*>(&bytes[i]));
  add(u"blob", nullptr, blob);
  Variant q;
  q.vt = VT_R8;
  q.dblVal = -2.5;
  add(u"q", u"urn:q", q);
  add(u"inner", nullptr, Point(3));
  add(u"list", nullptr, Points({1, 2}));
  return AsValue(s.Get());
}

// Whole envelopes, byte for byte, in both SOAP versions, plain and with
// explicit typing and node types, with a header block whose attributes need
// escapes.
TEST(EnvelopeSerializerTest, WholeEnvelopesByteForByte) {
  struct Case {
    const char* name;
    int version;
    bool typed;
    bool node_types;
    const char* expected;
  } cases[] = {
      {"1.1", 11, false, false,
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://sc"
       "hemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header><h:trace SOAP-ENV:actor=\"a&quot;b&"
       "amp;c&apos;\" SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" SOAP"
       "-ENV:mustUnderstand=\"1\" xmlns:h=\"urn:h\">t&lt;1&gt;</h:trace></SOAP-ENV:Header><SOAP"
       "-ENV:Body><m:EchoResponse SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/enco"
       "ding/\" xmlns:m=\"urn:N\"><return><text>a&amp;b&lt;c&gt;\"d'&#13;\n\te \xC3\xA9\xE2\x82"
       "\xAC\xF0\x9D\x84\x9E \xED\xA0\x80!</text><empty /><none xsi:nil=\"true\" xmlns:xsi=\"ht"
       "tp://www.w3.org/2001/XMLSchema-instance\" /><when>2000-01-01T18:00:00Z</when><flag>0</f"
       "lag><blob>AAEC+g==</blob><nsm:q xmlns:nsm=\"urn:q\">-2.5</nsm:q><inner><x>3</x></inner>"
       "<list SOAP-ENC:arrayType=\"nsa:Point[2]\" SOAP-ENC:offset=\"[0]\" xmlns:SOAP-ENC=\"http"
       "://schemas.xmlsoap.org/soap/encoding/\" xmlns:nsa=\"urn:t\"><item><x>1</x></item><item>"
       "<x>2</x></item></list></return></m:EchoResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>"},
      {"1.1 typed", 11, true, false,
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://sc"
       "hemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header><h:trace SOAP-ENV:actor=\"a&quot;b&"
       "amp;c&apos;\" SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" SOAP"
       "-ENV:mustUnderstand=\"1\" xsi:type=\"ns:string\" xmlns:h=\"urn:h\" xmlns:ns=\"http://ww"
       "w.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">t&lt;"
       "1&gt;</h:trace></SOAP-ENV:Header><SOAP-ENV:Body><m:EchoResponse SOAP-ENV:encodingStyle="
       "\"http://schemas.xmlsoap.org/soap/encoding/\" xmlns:m=\"urn:N\"><return xsi:type=\"nss:"
       "Rec\" xmlns:nss=\"urn:t\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><text"
       " xsi:type=\"ns:string\" xmlns:ns=\"http://www.w3.org/2001/XMLSchema\">a&amp;b&lt;c&gt;"
       "\"d'&#13;\n\te \xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E \xED\xA0\x80!</text><empty xsi:type"
       "=\"ns:string\" xmlns:ns=\"http://www.w3.org/2001/XMLSchema\" /><none xsi:nil=\"true\" /"
       "><when xsi:type=\"ns:dateTime\" xmlns:ns=\"http://www.w3.org/2001/XMLSchema\">2000-01-0"
       "1T18:00:00Z</when><flag xsi:type=\"ns:boolean\" xmlns:ns=\"http://www.w3.org/2001/XMLSc"
       "hema\">0</flag><blob xsi:type=\"ns:base64Binary\" xmlns:ns=\"http://www.w3.org/2001/XML"
       "Schema\">AAEC+g==</blob><nsm:q xsi:type=\"ns:double\" xmlns:ns=\"http://www.w3.org/2001"
       "/XMLSchema\" xmlns:nsm=\"urn:q\">-2.5</nsm:q><inner xsi:type=\"nss:Point\"><x xsi:type="
       "\"ns:int\" xmlns:ns=\"http://www.w3.org/2001/XMLSchema\">3</x></inner><list SOAP-ENC:ar"
       "rayType=\"nsa:Point[2]\" SOAP-ENC:offset=\"[0]\" xsi:type=\"SOAP-ENC:Array\" xmlns:SOAP"
       "-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" xmlns:nsa=\"urn:t\"><item xsi:type="
       "\"nss:Point\" xmlns:nss=\"urn:t\"><x xsi:type=\"ns:int\" xmlns:ns=\"http://www.w3.org/2"
       "001/XMLSchema\">1</x></item><item xsi:type=\"nss:Point\" xmlns:nss=\"urn:t\"><x xsi:typ"
       "e=\"ns:int\" xmlns:ns=\"http://www.w3.org/2001/XMLSchema\">2</x></item></list></return>"
       "</m:EchoResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>"},
      {"1.2", 12, false, false,
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://ww"
       "w.w3.org/2003/05/soap-envelope\"><SOAP-ENV:Header><h:trace SOAP-ENV:encodingStyle=\"htt"
       "p://www.w3.org/2003/05/soap-encoding\" SOAP-ENV:mustUnderstand=\"true\" SOAP-ENV:relay="
       "\"true\" SOAP-ENV:role=\"a&quot;b&amp;c&apos;\" xmlns:h=\"urn:h\">t&lt;1&gt;</h:trace><"
       "/SOAP-ENV:Header><SOAP-ENV:Body><m:EchoResponse SOAP-ENV:encodingStyle=\"http://www.w3."
       "org/2003/05/soap-encoding\" xmlns:m=\"urn:N\"><SOAP-RPC:result xmlns:SOAP-RPC=\"http://"
       "www.w3.org/2003/05/soap-rpc\">return</SOAP-RPC:result><return><text>a&amp;b&lt;c&gt;\"d"
       "'&#13;\n\te \xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E \xED\xA0\x80!</text><empty /><none xsi"
       ":nil=\"true\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" /><when>2000-01-0"
       "1T18:00:00Z</when><flag>0</flag><blob>AAEC+g==</blob><nsm:q xmlns:nsm=\"urn:q\">-2.5</n"
       "sm:q><inner><x>3</x></inner><list SOAP-ENC:arraySize=\"2\" SOAP-ENC:itemType=\"nsa:Poin"
       "t\" xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" xmlns:nsa=\"urn:t\"><ite"
       "m><x>1</x></item><item><x>2</x></item></list></return></m:EchoResponse></SOAP-ENV:Body>"
       "</SOAP-ENV:Envelope>"},
      {"1.2 typed with node types", 12, true, true,
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://ww"
       "w.w3.org/2003/05/soap-envelope\"><SOAP-ENV:Header><h:trace xsi:type=\"ns:string\" SOAP-"
       "ENC:nodeType=\"simple\" SOAP-ENV:encodingStyle=\"http://www.w3.org/2003/05/soap-encodin"
       "g\" SOAP-ENV:mustUnderstand=\"true\" SOAP-ENV:relay=\"true\" SOAP-ENV:role=\"a&quot;b&a"
       "mp;c&apos;\" xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" xmlns:h=\"urn:h"
       "\" xmlns:ns=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XML"
       "Schema-instance\">t&lt;1&gt;</h:trace></SOAP-ENV:Header><SOAP-ENV:Body><m:EchoResponse "
       "SOAP-ENV:encodingStyle=\"http://www.w3.org/2003/05/soap-encoding\" xmlns:m=\"urn:N\"><S"
       "OAP-RPC:result xmlns:SOAP-RPC=\"http://www.w3.org/2003/05/soap-rpc\">return</SOAP-RPC:r"
       "esult><return xsi:type=\"nss:Rec\" xmlns:nss=\"urn:t\" xmlns:xsi=\"http://www.w3.org/20"
       "01/XMLSchema-instance\"><text xsi:type=\"ns:string\" SOAP-ENC:nodeType=\"simple\" xmlns"
       ":SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" xmlns:ns=\"http://www.w3.org/2001"
       "/XMLSchema\">a&amp;b&lt;c&gt;\"d'&#13;\n\te \xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E \xED"
       "\xA0\x80!</text><empty xsi:type=\"ns:string\" SOAP-ENC:nodeType=\"simple\" xmlns:SOAP-E"
       "NC=\"http://www.w3.org/2003/05/soap-encoding\" xmlns:ns=\"http://www.w3.org/2001/XMLSch"
       "ema\" /><none xsi:nil=\"true\" /><when xsi:type=\"ns:dateTime\" SOAP-ENC:nodeType=\"sim"
       "ple\" xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" xmlns:ns=\"http://www."
       "w3.org/2001/XMLSchema\">2000-01-01T18:00:00Z</when><flag xsi:type=\"ns:boolean\" SOAP-E"
       "NC:nodeType=\"simple\" xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" xmlns"
       ":ns=\"http://www.w3.org/2001/XMLSchema\">0</flag><blob xsi:type=\"ns:base64Binary\" SOA"
       "P-ENC:nodeType=\"simple\" xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" xm"
       "lns:ns=\"http://www.w3.org/2001/XMLSchema\">AAEC+g==</blob><nsm:q xsi:type=\"ns:double"
       "\" SOAP-ENC:nodeType=\"simple\" xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encodin"
       "g\" xmlns:ns=\"http://www.w3.org/2001/XMLSchema\" xmlns:nsm=\"urn:q\">-2.5</nsm:q><inne"
       "r xsi:type=\"nss:Point\"><x xsi:type=\"ns:int\" SOAP-ENC:nodeType=\"simple\" xmlns:SOAP"
       "-ENC=\"http://www.w3.org/2003/05/soap-encoding\" xmlns:ns=\"http://www.w3.org/2001/XMLS"
       "chema\">3</x></inner><list xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arraySize=\"2\" SOAP-EN"
       "C:itemType=\"nsa:Point\" SOAP-ENC:nodeType=\"array\" xmlns:SOAP-ENC=\"http://www.w3.org"
       "/2003/05/soap-encoding\" xmlns:nsa=\"urn:t\"><item xsi:type=\"nss:Point\" xmlns:nss=\"u"
       "rn:t\"><x xsi:type=\"ns:int\" SOAP-ENC:nodeType=\"simple\" xmlns:SOAP-ENC=\"http://www."
       "w3.org/2003/05/soap-encoding\" xmlns:ns=\"http://www.w3.org/2001/XMLSchema\">1</x></ite"
       "m><item xsi:type=\"nss:Point\" xmlns:nss=\"urn:t\"><x xsi:type=\"ns:int\" SOAP-ENC:node"
       "Type=\"simple\" xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" xmlns:ns=\"h"
       "ttp://www.w3.org/2001/XMLSchema\">2</x></item></list></return></m:EchoResponse></SOAP-E"
       "NV:Body></SOAP-ENV:Envelope>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Response r(c.version);
    ASSERT_TRUE(r.message->Initialize(u"Svc", u"Port", u"urn:node", u"", u"", c.typed,
                                      c.node_types, r.reader.Get()));
    r.message->SetSoapVersion(c.version);
    r.message->SetRequestPhase(false);
    auto& w = r.reader->wsdl;
    const std::u16string enc = c.version == 11 ? kEnc11 : std::u16string(xml::kSoap12EncodingNamespace);
    w.complex_base[Key({u"Rec", u"urn:t"})] = {u"Struct", enc};
    w.complex_base[Key({u"Point", u"urn:t"})] = {u"Struct", enc};
    w.complex_base[Key({u"ArrayOfPoint", u"urn:t"})] = {u"Array", enc};
    w.array_types[Key({u"ArrayOfPoint", u"urn:t"})] = {u"Point", u"urn:t"};
    w.array_dims[Key({u"ArrayOfPoint", u"urn:t"})] = 1;
    w.struct_members[Key({u"Point", u"urn:t", u"x", u""})] = {u"int", kXsd};
    for (auto [member, type] : {std::pair{u"text", u"string"}, {u"empty", u"string"},
                                {u"none", u"string"}, {u"when", u"dateTime"},
                                {u"flag", u"boolean"}, {u"blob", u"base64Binary"}}) {
      w.struct_members[Key({u"Rec", u"urn:t", member, u""})] = {type, kXsd};
    }
    w.struct_members[Key({u"Rec", u"urn:t", u"q", u"urn:q"})] = {u"double", kXsd};
    w.struct_members[Key({u"Rec", u"urn:t", u"inner", u""})] = {u"Point", u"urn:t"};
    w.struct_members[Key({u"Rec", u"urn:t", u"list", u""})] = {u"ArrayOfPoint", u"urn:t"};
    w.header_elem_types[Key({u"trace", u"urn:h"})] = {u"string", kXsd};
    r.Part(u"return", u"Rec", u"urn:t");
    ASSERT_TRUE(r.message->AddHeaderBlock(u"urn:h", u"trace", Str(u"t<1>"), true, u"a\"b&c'",
                                          true, false));
    r.message->SetReturnValueName(u"return");
    ASSERT_TRUE(SUCCEEDED(r.message->SetReturnValue(Record())));
    ASSERT_TRUE(r.message->Serialize()) << Narrow(r.FaultText());
    EXPECT_EQ(Written(*r.message), c.expected);
  }
}

// The empty actor the parsers keep as two quotes is written back empty.
TEST(EnvelopeSerializerTest, HeaderBlockAttributes) {
  Harness h(11);
  h.reader->wsdl.header_elem_types[Key({u"a", u"urn:h"})] = {u"string", kXsd};
  Variant v = Str(u"x");
  h.message->AddHeaderBlock(u"urn:h", u"a", v, true, u"\"\"", false, false);
  ASSERT_TRUE(h.message->Serialize());
  const std::string text = Written(*h.message);
  EXPECT_NE(text.find("<SOAP-ENV:Header><h:a SOAP-ENV:actor=\"\" SOAP-ENV:encodingStyle=\""
                      "http://schemas.xmlsoap.org/soap/encoding/\" SOAP-ENV:mustUnderstand=\"1\" "
                      "xmlns:h=\"urn:h\">x</h:a></SOAP-ENV:Header>"),
            std::string::npos)
      << text;
  // A block the description does not type cannot be written encoded.
  h.message->AddHeaderBlock(u"urn:h", u"untyped", v, false, u"", false, false);
  EXPECT_FALSE(h.message->Serialize());
}

// The digest blocks are written from their own types whatever the endpoint's
// description says of them (here: nothing, or a wrong type); a member the
// digest schema does not name is left out.
TEST(EnvelopeSerializerTest, DigestBlocksAreWrittenFromTheirOwnTypes) {
  for (const int version : {11, 12}) {
    for (const bool described : {false, true}) {
      SCOPED_TRACE(::testing::Message() << version << (described ? " described" : ""));
      Harness h(version);
      h.message->SetSoapVersion(version);
      if (described) {
        h.reader->wsdl.header_elem_types[Key({u"NextChallenge", std::u16string(
                                                                     xml::kDigestAuthNamespace)})] =
            {u"int", kXsd};
      }
      ComPtr<ISoapStruct> s = NewStruct();
      ASSERT_TRUE(s);
      VARIANT_BOOL ok = VARIANT_FALSE;
      Variant bytes;
      bytes.vt = VT_ARRAY | VT_UI1;
      bytes.parray = SafeArrayCreateVector(VT_UI1, 0, 3);
      for (LONG i = 0; i < 3; ++i) {
        uint8_t b = uint8_t(0xF0 + i);
        SafeArrayPutElement(bytes.parray, &i, &b);
      }
      s->AddMember(Bstr(u"Status").Get(), nullptr, Str(u"Authenticated"), &ok);
      s->AddMember(Bstr(u"Nonce").Get(), nullptr, Str(u"ABC"), &ok);
      s->AddMember(Bstr(u"ServerAuth").Get(), nullptr, bytes, &ok);
      s->AddMember(Bstr(u"Extra").Get(), nullptr, Str(u"x"), &ok);
      Variant content;
      content.vt = VT_DISPATCH;
      s->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&content.pdispVal));
      ASSERT_TRUE(h.message->AddHeaderBlock(xml::kDigestAuthNamespace, u"NextChallenge", content,
                                            true, u"\"\"", false, false));
      ASSERT_TRUE(h.message->Serialize()) << Narrow(h.FaultText());
      const std::string text = Written(*h.message);
      const std::string encoding =
          version == 11 ? "http://schemas.xmlsoap.org/soap/encoding/"
                        : "http://www.w3.org/2003/05/soap-encoding";
      EXPECT_NE(text.find("<h:NextChallenge "), std::string::npos) << text;
      EXPECT_NE(text.find("SOAP-ENV:encodingStyle=\"" + encoding + "\""), std::string::npos)
          << text;
      EXPECT_NE(text.find(">Authenticated</Status>"), std::string::npos) << text;
      EXPECT_NE(text.find(">ABC</Nonce>"), std::string::npos) << text;
      EXPECT_NE(text.find(">8PHy</ServerAuth>"), std::string::npos) << text;
      EXPECT_EQ(text.find("Extra"), std::string::npos) << text;
    }
  }
}

// A forwarded message keeps its envelope's declarations and its body as read;
// a Header left without blocks is not written.
TEST(EnvelopeSerializerTest, ForwardedMessageKeepsItsEnvelope) {
  Harness h(11, u"http://next.example/hop");
  ASSERT_TRUE(h.Run(testing::Envelope11("<t:o>1</t:o>", "<t:op><t:x>5</t:x></t:op>")));
  ASSERT_TRUE(h.message->Serialize());
  std::string text = Written(*h.message);
  EXPECT_NE(text.find("xmlns:t=\"urn:t\""), std::string::npos) << text;
  EXPECT_NE(text.find("<SOAP-ENV:Header><t:o "), std::string::npos) << text;
  EXPECT_NE(text.find("<t:op><t:x>5</t:x></t:op>"), std::string::npos) << text;
  h.message->ClearHeaderBlocks();
  ASSERT_TRUE(h.message->Serialize());
  text = Written(*h.message);
  EXPECT_EQ(text.find("Header"), std::string::npos) << text;
  // What was written reads back.
  Harness peer(11);
  EXPECT_TRUE(peer.Run(text)) << Narrow(peer.FaultText());
}

// Header processors consume their blocks; what is left targeted and
// mustUnderstand is a fault naming the first.
TEST(MessageOperationsTest, CheckMustUnderstandAfterTakes) {
  for (bool take : {false, true}) {
    SCOPED_TRACE(take);
    Harness h(12);
    h.reader->wsdl.header_elem_types[Key({u"a", u"urn:t"})] = {u"string", kXsd};
    const std::string header =
        "<t:a env:mustUnderstand=\"true\" env:encodingStyle=\"" +
        Narrow(xml::kSoap12EncodingNamespace) +
        "\">1</t:a><t:b env:mustUnderstand=\"true\">x</t:b>"
        "<t:c env:mustUnderstand=\"true\">y</t:c><t:d env:relay=\"true\">z</t:d><t:e>w</t:e>"
        "<t:f env:role=\"urn:elsewhere\" env:mustUnderstand=\"true\">v</t:f>";
    ASSERT_TRUE(h.Run(Envelope12(header, ""))) << Narrow(h.FaultText());
    ASSERT_EQ(h.message->HeaderBlocks().size(), 1u);
    if (take) {
      Variant content;
      ASSERT_TRUE(h.message->TakeHeaderBlock(u"urn:t", u"a", &content));
      EXPECT_EQ(BstrView(content.bstrVal), u"1");
      EXPECT_FALSE(h.message->TakeHeaderBlock(u"urn:t", u"a", &content));
    }
    // A block a plug-in adds is never examined.
    h.message->AddHeaderBlock(u"urn:t", u"added", Str(u"p"), true, u"", false, false);
    EXPECT_FALSE(h.message->CheckMustUnderstand());
    EXPECT_EQ(h.message->GetFaultCode(), u"MustUnderstand");
    EXPECT_EQ(h.FaultText(), u"Unhandled 'mustUnderstand' header block.");
    ASSERT_EQ(h.message->LiteralFaultHeaderBlocks().size(), 1u);
    const std::u16string& named = h.message->LiteralFaultHeaderBlocks()[0]->LiteralXml();
    EXPECT_NE(named.find(take ? u"qname=\"ns:b\"" : u"qname=\"ns:a\""), std::u16string::npos)
        << Narrow(named);
    EXPECT_NE(named.find(u"xmlns:ns=\"urn:t\""), std::u16string::npos) << Narrow(named);
    // The optional block without relay is gone; the relayed one, the
    // mustUnderstand ones and the one for another role stay.
    std::u16string left;
    for (const auto& block : h.message->LiteralHeaderBlocks()) left += block->local_name;
    EXPECT_EQ(left, take ? u"bcdef" : u"bcdef");
    ASSERT_TRUE(h.message->Serialize());
    EXPECT_NE(Written(*h.message).find("NotUnderstood"), std::string::npos);
  }
}

TEST(MessageOperationsTest, EveryBlockUnderstoodPasses) {
  Harness h(11);
  ASSERT_TRUE(h.Run(testing::Envelope11("<t:o>1</t:o>", "")));
  ASSERT_EQ(h.message->LiteralHeaderBlocks().size(), 1u);
  EXPECT_TRUE(h.message->CheckMustUnderstand());
  EXPECT_FALSE(h.message->IsFault());
  EXPECT_TRUE(h.message->LiteralHeaderBlocks().empty());
}

// Unfilled outputs are values every VARIANT operation accepts.
TEST(RpcDecoderTest, EmptyValuesOfEachKind) {
  Harness h(11);
  h.reader->wsdl.complex_base[Key({u"List", u"urn:t"})] = {u"Array", kEnc11};
  h.reader->wsdl.complex_base[Key({u"Point", u"urn:t"})] = {u"Struct", kEnc11};
  struct Case {
    const char16_t* type;
    const char16_t* ns;
    VARTYPE vt;
  } cases[] = {
      {u"anyType", kXsd.c_str(), VT_NULL},
      {u"date", kXsd.c_str(), VT_DATE},
      {u"time", kXsd.c_str(), VT_DATE},
      {u"dateTime", kXsd.c_str(), VT_DATE},
      {u"base64Binary", kXsd.c_str(), VT_ARRAY | VT_UI1},
      {u"hexBinary", kXsd.c_str(), VT_ARRAY | VT_UI1},
      {u"boolean", kXsd.c_str(), VT_BOOL},
      {u"anyURI", kXsd.c_str(), VT_BSTR},
      {u"string", kXsd.c_str(), VT_BSTR},
      {u"int", kXsd.c_str(), VT_I4},
      {u"double", kXsd.c_str(), VT_R8},
      {u"List", u"urn:t", VT_ARRAY | VT_VARIANT},
      {u"Point", u"urn:t", VT_DISPATCH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.type));
    Variant value;
    EmptyValueOfKind(h.reader.Get(), c.type, c.ns, false, &value);
    EXPECT_EQ(value.vt, c.vt);
    Variant copy;
    EXPECT_EQ(VariantCopy(&copy, &value), S_OK);
  }
}

class QuenlinMethodsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(com::CreateInstance<QuenlinImpl>(nullptr, Iquenlin2::kIid, object_.ReceiveVoid()),
              S_OK);
  }
  ComPtr<Iquenlin2> object_;
};

Variant RoleList(std::initializer_list<const VARIANT*> items) {
  Variant list;
  list.vt = VT_ARRAY | VT_VARIANT;
  list.parray = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(items.size()));
  LONG i = 0;
  for (const VARIANT* item : items) {
    SafeArrayPutElement(list.parray, &i, const_cast<VARIANT*>(item));
    ++i;
  }
  return list;
}

TEST_F(QuenlinMethodsTest, SetRolesChecksEveryElementFirst) {
  Variant a = Str(u"urn:a"), b = Str(u"urn:b");
  Variant number;
  number.vt = VT_I4;
  VARIANT_BOOL ok = VARIANT_FALSE;
  object_->SetRoles(RoleList({&b, &a, &b}), &ok);
  EXPECT_EQ(ok, VARIANT_TRUE);
  Variant c = Str(u"urn:c");
  object_->SetRoles(RoleList({&c, &number}), &ok);
  EXPECT_EQ(ok, VARIANT_FALSE);
  Variant null_array;
  null_array.vt = VT_ARRAY | VT_VARIANT;
  object_->SetRoles(null_array, &ok);
  EXPECT_EQ(ok, VARIANT_FALSE);
  Variant roles;
  object_->GetRoles(&roles);
  ASSERT_EQ(roles.vt, VT_ARRAY | VT_VARIANT);
  ASSERT_EQ(roles.parray->rgsabound[0].cElements, 2u);  // c was not added
  const VARIANT* items = static_cast<const VARIANT*>(roles.parray->pvData);
  EXPECT_EQ(BstrView(items[0].bstrVal), u"urn:a");
  EXPECT_EQ(BstrView(items[1].bstrVal), u"urn:b");
}

TEST_F(QuenlinMethodsTest, ReasonTexts) {
  VARIANT_BOOL ok = VARIANT_TRUE;
  BSTR text = reinterpret_cast<BSTR>(0x1);  // garbage the caller passed
  object_->GetSOAP12ReasonText(Bstr(u"en").Get(), &text, &ok);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(text, nullptr);
  object_->SetSOAP12Fault(Bstr(u"Sender").Get(), Bstr(xml::kSoap12EnvelopeNamespace).Get(), nullptr,
                          nullptr, Bstr(u"bad").Get(), Bstr(u"en").Get(), &ok);
  object_->AddSOAP12ReasonText(Bstr(u"schlecht").Get(), Bstr(u"de").Get());
  Bstr found;
  object_->GetSOAP12ReasonText(Bstr(u"de").Get(), found.Receive(), &ok);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(found.View(), u"schlecht");
  std::u16string walked;
  Bstr lang;
  LONG position = 7;
  object_->GetFirstSOAP12ReasonText(found.Receive(), lang.Receive(), &position, &ok);
  while (ok == VARIANT_TRUE) {
    walked += std::u16string(lang.View()) + u"=" + std::u16string(found.View()) + u";";
    object_->GetNextSOAP12ReasonText(found.Receive(), lang.Receive(), &position, &ok);
  }
  EXPECT_EQ(walked, u"de=schlecht;en=bad;");
  EXPECT_EQ(position, 1);
}

TEST_F(QuenlinMethodsTest, OutVariantsMayBeUninitialised) {
  object_->SetReturnValue(Str(u"r"));
  VARIANT out;
  memset(&out, 0xCD, sizeof out);  // what the caller's stack happened to hold
  EXPECT_EQ(object_->GetReturnValue(&out), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_EQ(BstrView(out.bstrVal), u"r");
  VariantClear(&out);
}

// A block read with GetHeaderElem is consumed: it no longer fails the
// mustUnderstand check, and a second read finds nothing.
TEST_F(QuenlinMethodsTest, GetHeaderElemConsumesTheBlock) {
  ComPtr<testing::FakeDorvish> reader = com::MakeComObject<testing::FakeDorvish>();
  reader->wsdl.binding_version = xml::kWsdlSoap12Namespace;
  reader->wsdl.header_elem_types[Key({u"a", u"urn:t"})] = {u"int", kXsd};
  VARIANT_BOOL ok = VARIANT_FALSE;
  Bstr none;
  object_->Initialize(none.Get(), none.Get(), none.Get(), none.Get(), none.Get(), VARIANT_FALSE,
                      VARIANT_FALSE, reader.Get(), &ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
  const std::string text = Envelope12("<t:a env:mustUnderstand=\"true\" env:encodingStyle=\"" +
                                          Narrow(xml::kSoap12EncodingNamespace) + "\">5</t:a>",
                                      "");
  Variant buffer;
  buffer.vt = VT_ARRAY | VT_UI1;
  buffer.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(text.size()));
  memcpy(buffer.parray->pvData, text.data(), text.size());
  object_->SetBuffer(buffer, &ok);
  object_->Deserialize(&ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
  Variant mu;
  object_->GetMUHeaderBlocks(&mu);
  ASSERT_EQ(mu.vt, VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(mu.parray->cDims, 2u);
  Variant content;
  object_->GetHeaderElem(Bstr(u"urn:t").Get(), Bstr(u"a").Get(), &content, &ok);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(content.vt, VT_I4);
  EXPECT_EQ(content.lVal, 5);
  object_->GetHeaderElem(Bstr(u"urn:t").Get(), Bstr(u"a").Get(), &content, &ok);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(content.vt, VT_EMPTY);
  object_->CheckMustUnderstand(&ok);
  EXPECT_EQ(ok, VARIANT_TRUE);
}

// Whatever literal text a plug-in adds, the answer is an envelope: one that
// cannot be written becomes the message's fault, written in its place.
TEST_F(QuenlinMethodsTest, UnwritableLiteralsAnswerWithTheFault) {
  const std::u16string kHeaderFault = u"Error while serializing literal header block.";
  const std::u16string kBodyFault = u"Error while serializing literal body.";
  struct Case {
    const char* name;
    LONG version;
    const char16_t* header;        // literal header block, or null
    const char16_t* body;          // literal body, or null
    const char16_t* fault_header;  // literal fault header block of a plug-in's fault, or null
    const char16_t* fault;         // the fault written, or null for success
    const char* written;           // a piece of the envelope written
  } cases[] = {
      {"empty header block", 11, u"", nullptr, nullptr, kHeaderFault.c_str(),
       "<faultstring>Error while serializing literal header block.</faultstring>"},
      {"empty header block 1.2", 12, u"", nullptr, nullptr, kHeaderFault.c_str(),
       "<SOAP-ENV:Text xml:lang=\"en\">Error while serializing literal header block."},
      {"header text not XML", 11, u"<a>", nullptr, nullptr, kHeaderFault.c_str(),
       "ns:Server</faultcode>"},
      {"header block element", 11, u"<accept xmlns=\"urn:test:trace\"/>", nullptr, nullptr, nullptr,
       "<SOAP-ENV:Header><accept xmlns=\"urn:test:trace\" /></SOAP-ENV:Header>"},
      {"empty body", 11, nullptr, u"", nullptr, kBodyFault.c_str(),
       "<faultstring>Error while serializing literal body.</faultstring>"},
      {"fault header block not XML", 11, nullptr, nullptr, u"", kHeaderFault.c_str(),
       "<faultstring>Error while serializing literal header block.</faultstring>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ComPtr<testing::FakeDorvish> reader = com::MakeComObject<testing::FakeDorvish>();
    reader->wsdl.binding_style = u"document";
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr none;
    object_->Initialize(none.Get(), none.Get(), none.Get(), none.Get(), none.Get(), VARIANT_FALSE,
                        VARIANT_FALSE, reader.Get(), &ok);
    ASSERT_EQ(ok, VARIANT_TRUE);
    object_->SetSOAPVersion(c.version);
    object_->SetRequestPhase(VARIANT_FALSE);
    if (c.header) {
      object_->AddHeaderElemLiteral(Bstr(u"urn:test:trace").Get(), Bstr(u"accept").Get(),
                                    Bstr(c.header).Get(), VARIANT_FALSE, none.Get(), none.Get(),
                                    &ok);
      EXPECT_EQ(ok, VARIANT_TRUE);  // taken as given; the writer judges it
    }
    if (c.body) object_->SetBodyElemLiteral(Bstr(c.body).Get(), none.Get(), &ok);
    if (c.fault_header) {
      object_->SetSOAPFault(Bstr(u"Client").Get(), Bstr(xml::kSoap11EnvelopeNamespace).Get(),
                            Bstr(u"plug-in").Get(), VARIANT_FALSE, &ok);
      object_->AddFaultHeaderElemLiteral(Bstr(u"urn:f").Get(), Bstr(u"f").Get(),
                                         Bstr(c.fault_header).Get(), VARIANT_FALSE, none.Get(),
                                         none.Get(), &ok);
    }
    object_->Serialize(&ok);
    EXPECT_EQ(ok, c.fault ? VARIANT_FALSE : VARIANT_TRUE);
    VARIANT_BOOL is_fault = VARIANT_FALSE;
    object_->IsSOAPFault(&is_fault);
    EXPECT_EQ(is_fault, c.fault ? VARIANT_TRUE : VARIANT_FALSE);
    Variant buffer;
    object_->GetBuffer(&buffer, &ok);
    ASSERT_EQ(ok, VARIANT_TRUE);
    ASSERT_EQ(buffer.vt, VT_ARRAY | VT_UI1);
    const std::string text(static_cast<const char*>(buffer.parray->pvData),
                           buffer.parray->rgsabound[0].cElements);
    EXPECT_NE(text.find(c.written), std::string::npos) << text;
    // What goes out reads back, with the fault it carries.
    Harness peer(c.version);
    peer.reader->wsdl.binding_style = u"document";
    EXPECT_TRUE(peer.Run(text, false)) << text;
    EXPECT_EQ(peer.message->IsFault(), c.fault != nullptr) << text;
    if (c.fault) {
      EXPECT_EQ(peer.FaultText(), c.fault);
    }
  }
}

}  // namespace
}  // namespace message
