#include "message/soap_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/testing/message_testing.h"
#include "platform/com/testing/value_fakes.h"
#include "platform/storage/storage.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"

namespace message {
namespace {

Variant Text(std::u16string_view s) { return Variant::FromText(s); }

std::u16string BlockText(const VARIANT& v) {
  return v.vt == VT_BSTR ? std::u16string(BstrView(v.bstrVal)) : u"<not text>";
}

struct TargetCase {
  const char* name;
  int version;
  bool intermediary;
  std::vector<std::u16string> roles;
  std::u16string block_role;
  bool taken;
  bool stays;  // still in the message after a successful take
};

TEST(SoapMessageHeaders, TakeFollowsTargetingAndNoneRole) {
  const std::u16string none(kSoap12NoneRole);
  const TargetCase cases[] = {
      {"plain node takes unroled block", 11, false, {}, u"", true, false},
      {"plain node skips foreign role", 11, false, {}, u"urn:other", false, false},
      {"intermediary without roles takes nothing", 11, true, {}, u"", false, false},
      {"intermediary takes its own role", 11, true, {u"urn:me"}, u"urn:me", true, false},
      {"role in set is taken", 12, false, {u"urn:me"}, u"urn:me", true, false},
      {"none role is read and stays in 1.2", 12, false, {}, none, true, true},
      {"none role is read and removed in 1.1", 11, false, {}, none, true, false},
      {"explicitly empty role is a role of its own", 11, false, {}, u"\"\"", false, false},
  };
  for (const TargetCase& c : cases) {
    SCOPED_TRACE(c.name);
    SoapMessage m;
    m.SetSoapVersion(c.version);
    if (c.intermediary) m.SetNextHopUrl(u"http://next/");
    m.AddRoles(c.roles);
    ASSERT_TRUE(m.AddHeaderBlock(u"urn:h", u"B", Text(u"v"), false, c.block_role, false, true));
    Variant got;
    EXPECT_EQ(m.TakeHeaderBlock(u"urn:h", u"B", &got), c.taken);
    if (c.taken) {
      EXPECT_EQ(BlockText(got), u"v");
      EXPECT_EQ(m.HeaderBlocks().size(), c.stays ? 1u : 0u);
    } else {
      EXPECT_EQ(got.vt, VT_EMPTY);
      EXPECT_EQ(m.HeaderBlocks().size(), 1u);
    }
  }
}

TEST(SoapMessageHeaders, TakeReturnsBlocksOfOneNameInOrder) {
  SoapMessage m;
  ASSERT_TRUE(m.AddHeaderBlock(u"urn:h", u"B", Text(u"first"), false, u"", false, true));
  ASSERT_TRUE(m.AddHeaderBlock(u"urn:h", u"Other", Text(u"x"), false, u"", false, true));
  ASSERT_TRUE(m.AddHeaderBlock(u"urn:h", u"B", Text(u"second"), false, u"", false, true));
  Variant got;
  ASSERT_TRUE(m.TakeHeaderBlock(u"urn:h", u"B", &got));
  EXPECT_EQ(BlockText(got), u"first");
  ASSERT_TRUE(m.TakeHeaderBlock(u"urn:h", u"B", &got));
  EXPECT_EQ(BlockText(got), u"second");
  EXPECT_FALSE(m.TakeHeaderBlock(u"urn:h", u"B", &got));
  ASSERT_EQ(m.HeaderBlocks().size(), 1u);
  EXPECT_EQ(m.HeaderBlocks()[0]->local_name, u"Other");
  EXPECT_FALSE(m.TakeHeaderBlock(u"urn:other", u"Other", &got));  // namespace must match too
}

TEST(SoapMessageHeaders, LiteralNoneRoleBlockNeedsTheNoneRole) {
  SoapMessage m;
  m.SetSoapVersion(12);
  ASSERT_TRUE(m.AddLiteralHeaderBlock(u"urn:h", u"B", u"<h:B xmlns:h=\"urn:h\"/>", false,
                                      kSoap12NoneRole, false, u"", true));
  std::u16string xml;
  EXPECT_FALSE(m.TakeLiteralHeaderBlock(u"urn:h", u"B", &xml));
  EXPECT_TRUE(xml.empty());
  m.AddRole(kSoap12NoneRole);
  ASSERT_TRUE(m.TakeLiteralHeaderBlock(u"urn:h", u"B", &xml));
  EXPECT_EQ(xml, u"<h:B xmlns:h=\"urn:h\"/>");
  EXPECT_EQ(m.LiteralHeaderBlocks().size(), 1u);  // left in place
}

TEST(SoapMessageHeaders, MustUnderstandCollectsTargetedBlocksEncodedFirst) {
  SoapMessage m;
  m.AddRole(u"urn:me");
  ASSERT_TRUE(m.AddLiteralHeaderBlock(u"urn:a", u"Lit", u"<x/>", true, u"", false, u"", true));
  ASSERT_TRUE(m.AddHeaderBlock(u"urn:a", u"Enc", Text(u""), true, u"urn:me", false, false));
  ASSERT_TRUE(m.AddHeaderBlock(u"urn:a", u"Optional", Text(u""), false, u"", false, true));
  ASSERT_TRUE(m.AddHeaderBlock(u"urn:a", u"Elsewhere", Text(u""), true, u"urn:x", false, true));
  std::vector<std::u16string> namespaces, names;
  m.CollectMustUnderstandBlocks(&namespaces, &names);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Enc", u"Lit"}));
  EXPECT_EQ(namespaces, (std::vector<std::u16string>{u"urn:a", u"urn:a"}));
  EXPECT_EQ(m.HeaderBlocks().size(), 3u);
}

// Many blocks of every kind, interleaved: the ones processed here go, the
// others stay in their order, and a mandatory block stops the removal where
// it stands.
TEST(SoapMessageHeaders, MustUnderstandCheckRemovesExactlyTheProcessedBlocks) {
  enum Kind { kOptional, kRelay, kForeign, kSent, kKinds };
  for (int version : {11, 12}) {
    SCOPED_TRACE(version);
    SoapMessage m;
    m.SetSoapVersion(version);
    m.AddRole(u"urn:me");
    std::vector<std::u16string> encoded_left, literal_left;
    constexpr int kBlocks = 4000;
    for (int i = 0; i < kBlocks; ++i) {
      const Kind kind = static_cast<Kind>(i % kKinds);
      const std::u16string name = u"b" + text::Widen(std::to_string(i));
      const std::u16string role = kind == kForeign ? u"urn:other" : (i % 3 ? u"urn:me" : u"");
      const bool relay = kind == kRelay, received = kind != kSent;
      const bool stays = kind == kForeign || kind == kSent || (kind == kRelay && version == 12);
      if (i % 2) {
        ASSERT_TRUE(m.AddHeaderBlock(u"urn:h", name, Text(u""), false, role, relay, received));
        if (stays) encoded_left.push_back(name);
      } else {
        ASSERT_TRUE(
            m.AddLiteralHeaderBlock(u"urn:h", name, u"<x/>", false, role, relay, u"", received));
        if (stays) literal_left.push_back(name);
      }
    }
    EXPECT_TRUE(m.CheckMustUnderstand());
    auto names = [](const auto& list) {
      std::vector<std::u16string> out;
      for (const auto& block : list) out.push_back(block->local_name);
      return out;
    };
    EXPECT_EQ(names(m.HeaderBlocks()), encoded_left);
    EXPECT_EQ(names(m.LiteralHeaderBlocks()), literal_left);

    // A mandatory block among optional ones: those before it go, it and those
    // after it stay, and the fault names it.
    SoapMessage stop;
    stop.SetSoapVersion(version);
    for (int i = 0; i < 10; ++i) {
      ASSERT_TRUE(stop.AddHeaderBlock(u"urn:h", u"o" + text::Widen(std::to_string(i)), Text(u""),
                                      i == 6, u"", false, true));
    }
    EXPECT_FALSE(stop.CheckMustUnderstand());
    EXPECT_EQ(stop.GetFaultCode(), u"MustUnderstand");
    EXPECT_EQ(names(stop.HeaderBlocks()),
              (std::vector<std::u16string>{u"o6", u"o7", u"o8", u"o9"}));
  }
}

TEST(SoapMessageRecords, WalkPositionsFollowTheIndexRules) {
  SoapMessage m;
  MethodParam* p = nullptr;
  int32_t pos = 7;
  EXPECT_FALSE(FirstRecord(m.MethodParams(), &p, &pos));
  EXPECT_EQ(pos, 7);
  ASSERT_TRUE(m.AddMethodParam(u"", u"a", Text(u"1"), true, false));
  ASSERT_TRUE(m.AddMethodParam(u"", u"b", Text(u"2"), false, true));
  ASSERT_TRUE(FirstRecord(m.MethodParams(), &p, &pos));
  EXPECT_EQ(p->local_name, u"a");
  EXPECT_EQ(pos, 0);
  ASSERT_TRUE(NextRecord(m.MethodParams(), &p, &pos));
  EXPECT_EQ(p->local_name, u"b");
  EXPECT_TRUE(p->is_out);
  EXPECT_FALSE(NextRecord(m.MethodParams(), &p, &pos));  // past the last
  EXPECT_EQ(pos, 1);
  pos = -1;
  ASSERT_TRUE(NextRecord(m.MethodParams(), &p, &pos));
  EXPECT_EQ(pos, 0);
  pos = -2;
  EXPECT_FALSE(NextRecord(m.MethodParams(), &p, &pos));
  EXPECT_EQ(pos, -2);
}

TEST(SoapMessageRecords, ClearMethodParamsDropsTheLiteralBody) {
  SoapMessage m;
  ASSERT_TRUE(m.SetLiteralBody(u"<b/>", u""));
  ASSERT_TRUE(m.AddMethodParam(u"", u"a", Text(u"1"), true, false));
  m.ClearMethodParams();
  std::u16string body = u"kept";
  EXPECT_FALSE(m.GetLiteralBody(&body));
  EXPECT_EQ(body, u"kept");
  EXPECT_TRUE(m.MethodParams().empty());
}

TEST(SoapMessageRecords, RolesAreAUnionInCodeUnitOrder) {
  SoapMessage m;
  m.AddRoles({u"urn:b", u"urn:a"});
  m.AddRoles({u"urn:c", u"urn:a"});
  EXPECT_EQ(std::vector<std::u16string>(m.Roles().begin(), m.Roles().end()),
            (std::vector<std::u16string>{u"urn:a", u"urn:b", u"urn:c"}));
}

TEST(SoapMessageRecords, FaultDetailsAreFoundByExactName) {
  SoapMessage m;
  ASSERT_TRUE(m.AddFaultDetail(u"urn:d", u"Info", Text(u"one")));
  ASSERT_TRUE(m.AddFaultDetail(u"urn:d", u"Info", Text(u"two")));
  Variant got;
  ASSERT_TRUE(m.FindFaultDetail(u"urn:d", u"Info", &got));
  EXPECT_EQ(BlockText(got), u"one");
  EXPECT_FALSE(m.FindFaultDetail(u"urn:d", u"info", &got));
  EXPECT_EQ(m.FaultDetails().size(), 2u);
}

TEST(SoapMessageFault, SetCaptureAndClear) {
  SoapMessage m;
  ASSERT_TRUE(m.SetFault12(u"Sender", xml::kSoap12EnvelopeNamespace, u"Sub", u"urn:s",
                           {{u"en", u"reason"}}, u"", true));
  m.SetReason(u"de", u"Grund");
  EXPECT_EQ(m.Reasons().size(), 2u);
  ASSERT_TRUE(m.SetFault(u"Client", xml::kSoap11EnvelopeNamespace, u"text", u"", false));
  EXPECT_TRUE(m.GetFaultSubcode().empty());  // SetFault empties the subcode...
  EXPECT_EQ(m.Reasons().size(), 2u);         // ...and keeps the reasons

  {
    SoapMessage v12;
    v12.SetSoapVersion(12);
    xml::QVSOAPFault fault(xml::kFaultClient, u"MissingID", xml::kSoap12EncodingNamespace,
                           u"bad ref", true);
    v12.CaptureFault(fault);
    EXPECT_TRUE(v12.IsFault());
    EXPECT_EQ(v12.GetFaultCode(), u"Sender");
    EXPECT_EQ(v12.GetFaultSubcode(), u"MissingID");
    EXPECT_EQ(v12.Reasons().at(u"en"), u"bad ref");
    EXPECT_TRUE(v12.GetFaultString().empty());
    EXPECT_TRUE(v12.NeedsDetail());
  }

  // A fault set over one read from a peer is written, in either version.
  for (const int version : {11, 12}) {
    SoapMessage received;
    received.SetSoapVersion(version);
    received.SetWriteFaultBody(false);
    if (version == 11) {
      received.SetFault(u"Server", u"", u"mine", u"", false);
    } else {
      received.SetFault12(u"Receiver", u"", u"", u"", {{u"en", u"mine"}}, u"", false);
    }
    EXPECT_TRUE(received.WritesFaultBody()) << version;
  }

  m.SetWriteFaultBody(false);
  ASSERT_TRUE(m.AddFaultDetail(u"urn:d", u"Info", Text(u"x")));
  ASSERT_TRUE(m.AddFaultHeaderBlock(u"urn:h", u"F", Text(u"x"), false, u"", false));
  m.ClearFault();
  EXPECT_FALSE(m.IsFault());
  EXPECT_TRUE(m.WritesFaultBody());
  EXPECT_TRUE(m.Reasons().empty());
  EXPECT_TRUE(m.FaultDetails().empty());
  EXPECT_TRUE(m.FaultHeaderBlocks().empty());
  EXPECT_TRUE(m.GetFaultString().empty());
}

// ---- attachments -----------------------------------------------------------------

ComPtr<IStorage> NewStorage() {
  ComPtr<IStorage> storage;
  EXPECT_EQ(StgCreateDocfile(nullptr, STGM_DELETEONRELEASE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE,
                             0, storage.Receive()),
            S_OK);
  return storage;
}

TEST(SoapMessageAttachments, FieldsMustFitTheirDimeLengthsAndOptionsMustBeWhole) {
  const std::vector<uint8_t> one_option = {0, 1, 0, 2, 'h', 'i'};
  const std::vector<uint8_t> truncated = {0, 1, 0, 9, 'h'};
  std::vector<uint8_t> huge_options(4 + 0xFFFF, 0);  // one whole element, field too long
  huge_options[2] = 0xFF;
  huge_options[3] = 0xFF;
  const std::u16string long_text(kMaxDimeFieldLength + 1, u'a');
  const std::u16string max_text(kMaxDimeFieldLength, u'a');
  // A character of three UTF-8 bytes: a third of the limit in units already overflows.
  const std::u16string long_utf8(kMaxDimeFieldLength / 3 + 1, u'\u20AC');
  struct Case {
    const char* name;
    std::u16string id;
    std::u16string type;
    const std::vector<uint8_t>* options;
    bool added;
    size_t options_parsed;
  };
  const std::vector<uint8_t> empty;
  const Case cases[] = {
      {"no options", u"cid", u"text/plain", nullptr, true, 0},
      {"zero-byte options count as none", u"cid", u"text/plain", &empty, true, 0},
      {"one whole option", u"cid", u"text/plain", &one_option, true, 1},
      {"truncated option refused", u"cid", u"text/plain", &truncated, false, 0},
      {"options field over 16 bits refused", u"cid", u"t", &huge_options, false, 0},
      {"id at the limit", max_text, u"t", nullptr, true, 0},
      {"id over the limit", long_text, u"t", nullptr, false, 0},
      {"type over the limit", u"cid", long_text, nullptr, false, 0},
      {"id over the limit in UTF-8 bytes", long_utf8, u"t", nullptr, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SoapMessage m;
    ComPtr<IStorage> storage = NewStorage();
    const uint8_t* bytes = c.options ? c.options->data() : nullptr;
    const size_t length = c.options ? c.options->size() : 0;
    EXPECT_EQ(m.AddAttachment(false, c.id, c.type, 1, storage.Get(), bytes, length), c.added);
    ASSERT_EQ(m.Attachments(false).size(), c.added ? 1u : 0u);
    EXPECT_TRUE(m.Attachments(true).empty());
    if (c.added) {
      EXPECT_EQ(m.Attachments(false)[0]->Options().size(), c.options_parsed);
      EXPECT_EQ(m.Attachments(false)[0]->Storage(), storage.Get());
    }
  }
}

TEST(SoapMessageAttachments, OnlyStorageIsAcceptedAndLookupIsExact) {
  SoapMessage m;
  com::testing::FakeObject not_storage;
  EXPECT_FALSE(m.AddAttachment(true, u"a", u"t", 1, &not_storage, nullptr, 0));
  EXPECT_FALSE(m.AddAttachment(true, u"a", u"t", 1, nullptr, nullptr, 0));
  EXPECT_EQ(not_storage.refs, 1u);

  ComPtr<IStorage> storage = NewStorage();
  ASSERT_TRUE(m.AddAttachment(true, u"uuid:AB", u"image/png", 1, storage.Get(), nullptr, 0));
  const dime::DimePayload* found = m.FindAttachment(true, u"uuid:AB");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->Type(), "image/png");
  EXPECT_EQ(m.FindAttachment(true, u"uuid:ab"), nullptr);
  EXPECT_EQ(m.FindAttachment(false, u"uuid:AB"), nullptr);
}

TEST(SoapMessageAttachments, CidNamesTheRecordOfItsBareIdAfterAnExactMatch) {
  SoapMessage m;
  ComPtr<IStorage> storage = NewStorage();
  // The bare id comes first, so only an exact match first finds "cid:x".
  for (const char16_t* id : {u"x", u"cid:x", u"", u"id3"}) {
    ASSERT_TRUE(m.AddAttachment(false, id, id, 1, storage.Get(), nullptr, 0));
  }
  const struct {
    const char16_t* href;
    const char* found_type;  // null: none
  } cases[] = {
      {u"cid:x", "cid:x"},  {u"x", "x"},           {u"cid:id3", "id3"},  {u"CID:id3", "id3"},
      {u"Cid:id3", "id3"},  {u"cid:ID3", nullptr}, {u"cid:", nullptr},   {u"cid:cid:x", "cid:x"},
      {u"id:id3", nullptr}, {u"mid:id3", nullptr}, {u"cid:id", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(text::Narrow(c.href));
    const dime::DimePayload* found = m.FindAttachment(false, c.href);
    if (c.found_type == nullptr) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->Type(), c.found_type);
    }
  }
  EXPECT_EQ(m.FindAttachment(true, u"cid:id3"), nullptr);
}

}  // namespace
}  // namespace message
