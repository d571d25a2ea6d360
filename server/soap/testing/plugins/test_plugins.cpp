// The test plug-ins' classes and the library's entry points.
#include "server/soap/testing/plugins/test_plugins.h"

#include "interfaces/quenlin.h"
#include "platform/com/bstr.h"
#include "platform/com/module.h"
#include "platform/com/variant.h"

namespace {

ComPtr<Iquenlin2> MessageOf(IDispatch* dispatch) {
  return com::QueryInterfacePtr<Iquenlin2>(dispatch);
}

// Leaves a mark in the message that `who` ran: a header block of its own,
// written as the whole element, as literal blocks are.
void Mark(IDispatch* dispatch, const char16_t* who) {
  if (ComPtr<Iquenlin2> message = MessageOf(dispatch)) {
    Bstr ns(kTestTraceNamespace), name(who), empty(u"");
    Bstr block(u"<" + std::u16string(who) + u" xmlns=\"" + std::u16string(kTestTraceNamespace) +
               u"\"/>");
    VARIANT_BOOL done = VARIANT_FALSE;
    message->AddHeaderElemLiteral(ns.Get(), name.Get(), block.Get(), VARIANT_FALSE, empty.Get(),
                                  empty.Get(), &done);
  }
}

enum class HeaderMode { Accept, Refuse, Fail, One, Unwritable };

template <HeaderMode Mode>
class TestHeader final : public com::ComObject<TestHeader<Mode>, com::Dispatch<ITestHeader>> {
 public:
  HRESULT OnTestMUHeaderBlock(BSTR bstrNamespace, BSTR, VARIANT_BOOL* pResult) override {
    *pResult = Mode == HeaderMode::Accept && BstrView(bstrNamespace) == kTestKnownNamespace
                   ? VARIANT_TRUE
                   : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT OnProcessHeader(IDispatch* SOAPMsgInterface, VARIANT* pResult) override {
    static constexpr const char16_t* kNames[] = {u"accept", u"refuse", u"fail", u"one",
                                                 u"unwritable"};
    Mark(SOAPMsgInterface, kNames[static_cast<int>(Mode)]);
    switch (Mode) {
      case HeaderMode::Unwritable:
        // A block whose text is no element: the message cannot be written.
        if (ComPtr<Iquenlin2> message = MessageOf(SOAPMsgInterface)) {
          Bstr ns(kTestTraceNamespace), name(u"empty"), empty(u"");
          VARIANT_BOOL done = VARIANT_FALSE;
          message->AddHeaderElemLiteral(ns.Get(), name.Get(), empty.Get(), VARIANT_FALSE,
                                        empty.Get(), empty.Get(), &done);
        }
        [[fallthrough]];
      case HeaderMode::Accept:
      case HeaderMode::Refuse:
        pResult->vt = VT_BOOL;
        pResult->boolVal = Mode != HeaderMode::Refuse ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
      case HeaderMode::Fail:
        return E_FAIL;
      case HeaderMode::One:
        pResult->vt = VT_I4;
        pResult->lVal = 1;
        return S_OK;
    }
    return E_UNEXPECTED;
  }
};

void SetBody(IDispatch* dispatch, std::u16string_view literal) {
  if (ComPtr<Iquenlin2> message = MessageOf(dispatch)) {
    Bstr body(literal), style(u"");
    VARIANT_BOOL done = VARIANT_FALSE;
    message->SetBodyElemLiteral(body.Get(), style.Get(), &done);
  }
}

std::u16string BodyOf(IDispatch* dispatch) {
  Bstr body;
  if (ComPtr<Iquenlin2> message = MessageOf(dispatch)) {
    VARIANT_BOOL done = VARIANT_FALSE;
    message->GetBodyElemLiteral(body.Receive(), &done);
  }
  return std::u16string(body.View());
}

std::u16string AttributeText(std::u16string_view value) {
  std::u16string out;
  for (const char16_t c : value) {
    switch (c) {
      case u'&':
        out += u"&amp;";
        break;
      case u'<':
        out += u"&lt;";
        break;
      case u'"':
        out += u"&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The literal body is the whole Body element: its start tag, its content and
// its end tag. False when the text is not one element.
struct BodyParts {
  std::u16string start, content, end;
};
bool SplitBody(std::u16string_view body, BodyParts* parts) {
  if (body.size() < 3 || body[0] != u'<') return false;
  char16_t quote = 0;
  size_t close = 1;
  for (; close < body.size(); ++close) {
    const char16_t c = body[close];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == u'"' || c == u'\'') {
      quote = c;
    } else if (c == u'>') {
      break;
    }
  }
  if (close == body.size()) return false;
  if (body[close - 1] == u'/') {  // <Body/>: no content yet
    if (close + 1 != body.size()) return false;
    const size_t name_end = body.find_first_of(u" \t\r\n/", 1);
    parts->start = std::u16string(body.substr(0, close - 1)) + u">";
    parts->content.clear();
    parts->end = u"</" + std::u16string(body.substr(1, name_end - 1)) + u">";
    return true;
  }
  const size_t end = body.rfind(u"</");
  if (end == std::u16string_view::npos || end <= close) return false;
  parts->start = std::u16string(body.substr(0, close + 1));
  parts->content = std::u16string(body.substr(close + 1, end - close - 1));
  parts->end = std::u16string(body.substr(end));
  return true;
}

// Replaces the content of the message's Body with `content(old content)`.
template <typename Content>
bool RewriteBody(IDispatch* dispatch, Content content) {
  BodyParts parts;
  if (!SplitBody(BodyOf(dispatch), &parts)) return false;
  SetBody(dispatch, parts.start + content(parts.content) + parts.end);
  return true;
}

void SetBool(VARIANT* result, bool value) {
  result->vt = VT_BOOL;
  result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

// Echoes the body inside an element naming the call that served it.
class TestDoc final : public com::ComObject<TestDoc, com::Dispatch<ITestBody>> {
 public:
  HRESULT OnProcessBody(IDispatch* SOAPMsgInterface, VARIANT* pResult) override {
    if (!RewriteBody(SOAPMsgInterface,
                     [](const std::u16string& in) { return u"<body>" + in + u"</body>"; })) {
      return E_INVALIDARG;
    }
    SetBool(pResult, true);
    return S_OK;
  }
  HRESULT OnProcessSoapPost(IDispatch* SOAPMsgInterface, BSTR bstrSvcURI, BSTR bstrExtraPath,
                            VARIANT* pResult) override {
    const std::u16string start = u"<post svc=\"" + AttributeText(BstrView(bstrSvcURI)) +
                                 u"\" extra=\"" + AttributeText(BstrView(bstrExtraPath)) + u"\">";
    if (!RewriteBody(SOAPMsgInterface,
                     [&](const std::u16string& in) { return start + in + u"</post>"; })) {
      return E_INVALIDARG;
    }
    SetBool(pResult, true);
    return S_OK;
  }
};

// Answers OnProcessBody with the integer 1.
class TestDocOne final : public com::ComObject<TestDocOne, com::Dispatch<ITestBody11>> {
 public:
  HRESULT OnProcessBody(IDispatch* SOAPMsgInterface, VARIANT* pResult) override {
    if (!RewriteBody(SOAPMsgInterface, [](const std::u16string&) { return u"<one/>"; })) {
      return E_INVALIDARG;
    }
    pResult->vt = VT_I4;
    pResult->lVal = 1;
    return S_OK;
  }
};

class TestDocFalse final : public com::ComObject<TestDocFalse, com::Dispatch<ITestBody>> {
 public:
  HRESULT OnProcessBody(IDispatch*, VARIANT* pResult) override {
    SetBool(pResult, false);
    return S_OK;
  }
  HRESULT OnProcessSoapPost(IDispatch*, BSTR, BSTR, VARIANT* pResult) override {
    SetBool(pResult, false);
    return S_OK;
  }
};

class TestNoContent final : public com::ComObject<TestNoContent, com::Dispatch<ITestBody11>> {
 public:
  HRESULT OnProcessBody(IDispatch* SOAPMsgInterface, VARIANT* pResult) override {
    if (ComPtr<Iquenlin2> message = MessageOf(SOAPMsgInterface)) {
      message->SetNoContentResponse(VARIANT_TRUE);
    }
    SetBool(pResult, true);
    return S_OK;
  }
};

// Reports a fault of the sender's, as a service that checks its input does.
class TestSender final : public com::ComObject<TestSender, com::Dispatch<ITestBody>> {
 public:
  HRESULT OnProcessBody(IDispatch* SOAPMsgInterface, VARIANT* pResult) override {
    if (ComPtr<Iquenlin2> message = MessageOf(SOAPMsgInterface)) {
      Bstr code(u"Client"), ns(u"http://schemas.xmlsoap.org/soap/envelope/"), text(u"bad input");
      VARIANT_BOOL done = VARIANT_FALSE;
      message->SetSOAPFault(code.Get(), ns.Get(), text.Get(), VARIANT_FALSE, &done);
    }
    SetBool(pResult, true);
    return S_OK;
  }
  HRESULT OnProcessSoapPost(IDispatch* SOAPMsgInterface, BSTR, BSTR, VARIANT* pResult) override {
    if (ComPtr<Iquenlin2> message = MessageOf(SOAPMsgInterface)) {
      Bstr code(u"Sender"), ns(u"http://www.w3.org/2003/05/soap-envelope"), empty(u""),
          text(u"bad input"), lang(u"en");
      VARIANT_BOOL done = VARIANT_FALSE;
      message->SetSOAP12Fault(code.Get(), ns.Get(), empty.Get(), empty.Get(), text.Get(),
                              lang.Get(), &done);
    }
    SetBool(pResult, true);
    return S_OK;
  }
};

class TestEcho final : public com::ComObject<TestEcho, com::Dispatch<ITestEcho>> {
 public:
  HRESULT echoString(BSTR inputString, BSTR* pResult) override {
    *pResult = SysAllocString(BstrView(inputString));
    return S_OK;
  }
  HRESULT echoInteger(LONG inputInteger, LONG* pResult) override {
    *pResult = inputInteger;
    return S_OK;
  }
  HRESULT echoStruct(VARIANT inputStruct, VARIANT* pResult) override {
    return VariantCopy(pResult, &inputStruct);
  }
  HRESULT echoStringArray(VARIANT inputStringArray, VARIANT* pResult) override {
    return VariantCopy(pResult, &inputStringArray);
  }
  HRESULT echoFault(BSTR, BSTR*) override { return E_FAIL; }
  HRESULT addTo(LONG delta, LONG* total, LONG* pResult) override {
    *total += delta;
    *pResult = *total;
    return S_OK;
  }
  HRESULT twoOuts(BSTR* b, BSTR* a) override {
    *b = SysAllocString(u"B");
    *a = SysAllocString(u"A");
    return S_OK;
  }
  HRESULT readList(VARIANT* list, VARIANT_BOOL* pResult) override {
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    if (!array) return E_OUTOFMEMORY;
    for (LONG i = 0; i < 2; ++i) {
      Variant item = Variant::FromText(i == 0 ? u"first" : u"second");
      SafeArrayPutElement(array, &i, &item);
    }
    list->vt = VT_ARRAY | VT_VARIANT;
    list->parray = array;
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT readName(BSTR* name, VARIANT_BOOL* pResult) override {
    *name = SysAllocString(u"qv");
    *pResult = VARIANT_TRUE;
    return S_OK;
  }
};

// Answers the body's content inside <echo> and hands every request
// attachment back as a response attachment: the same storage, so the answer
// streams from where the request was stored.
class TestDimeEcho final : public com::ComObject<TestDimeEcho, com::Dispatch<ITestBody11>> {
 public:
  HRESULT OnProcessBody(IDispatch* SOAPMsgInterface, VARIANT* pResult) override {
    ComPtr<Iquenlin2> message = MessageOf(SOAPMsgInterface);
    if (!message) return E_NOINTERFACE;
    if (!RewriteBody(SOAPMsgInterface,
                     [](const std::u16string& in) { return u"<echo>" + in + u"</echo>"; })) {
      return E_INVALIDARG;
    }
    Bstr id, type;
    LONG tnf = 0;
    ComPtr<IUnknown> storage;
    Variant options;
    LONG position = 0;
    VARIANT_BOOL more = VARIANT_FALSE;
    message->GetFirstDIMEAttachmentReq(id.Receive(), type.Receive(), &tnf, storage.Receive(),
                                       options.Receive(), &position, &more);
    bool all = true;
    while (more == VARIANT_TRUE) {
      VARIANT_BOOL added = VARIANT_FALSE;
      message->AddDIMEAttachmentResp(id.Get(), type.Get(), tnf, storage.Get(), options, &added);
      all = all && added == VARIANT_TRUE;
      more = VARIANT_FALSE;
      message->GetNextDIMEAttachmentReq(id.Receive(), type.Receive(), &tnf, storage.Receive(),
                                        options.Receive(), &position, &more);
    }
    SetBool(pResult, all);
    return S_OK;
  }
};

class TestGet final : public com::ComObject<TestGet, com::Dispatch<ITestGet>> {
 public:
  // Answers with what it was called with.
  HRESULT OnProcessSoapGet(IDispatch* SOAPMsgInterface, BSTR bstrSvcURI, BSTR bstrExtraPath,
                           BSTR bstrQueryString, VARIANT* pResult) override {
    // The literal body is the whole Body element.
    SetBody(SOAPMsgInterface,
            u"<SOAP-ENV:Body xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\">"
            u"<got xmlns=\"urn:qvtest:get\" svc=\"" +
                AttributeText(BstrView(bstrSvcURI)) + u"\" extra=\"" +
                AttributeText(BstrView(bstrExtraPath)) + u"\" query=\"" +
                AttributeText(BstrView(bstrQueryString)) + u"\"/></SOAP-ENV:Body>");
    SetBool(pResult, true);
    return S_OK;
  }
  HRESULT where(BSTR bstrExtraPath, BSTR bstrQueryString, BSTR* pResult) override {
    const std::u16string text = u"extra=" + std::u16string(BstrView(bstrExtraPath)) + u";query=" +
                                std::u16string(BstrView(bstrQueryString));
    *pResult = SysAllocString(text.c_str());
    return *pResult ? S_OK : E_OUTOFMEMORY;
  }
};

#define QV_TEST_CLSID(n)                                                        \
  {                                                                             \
    0x7A3E9D20, 0x4B5C, 0x4D6E, { 0x9F, 0x01, 0x12, 0x23, 0x34, 0x45, 0x56, n } \
  }
constexpr CLSID kClsids[] = {
    QV_TEST_CLSID(1),  QV_TEST_CLSID(2),  QV_TEST_CLSID(3), QV_TEST_CLSID(4), QV_TEST_CLSID(5),
    QV_TEST_CLSID(6),  QV_TEST_CLSID(7),  QV_TEST_CLSID(8), QV_TEST_CLSID(9), QV_TEST_CLSID(10),
    QV_TEST_CLSID(11), QV_TEST_CLSID(12), QV_TEST_CLSID(13)};

const com::ModuleClass kClasses[] = {
    {&kClsids[0], &com::CreateInstance<TestHeader<HeaderMode::Accept>>, "accept",
     "QvTest.HeaderAccept.1", "QvTest.HeaderAccept"},
    {&kClsids[1], &com::CreateInstance<TestHeader<HeaderMode::Refuse>>, "refuse",
     "QvTest.HeaderRefuse.1", "QvTest.HeaderRefuse"},
    {&kClsids[2], &com::CreateInstance<TestHeader<HeaderMode::Fail>>, "fail", "QvTest.HeaderFail.1",
     "QvTest.HeaderFail"},
    {&kClsids[3], &com::CreateInstance<TestHeader<HeaderMode::One>>, "one", "QvTest.HeaderOne.1",
     "QvTest.HeaderOne"},
    {&kClsids[4], &com::CreateInstance<TestDoc>, "doc", "QvTest.Doc.1", "QvTest.Doc"},
    {&kClsids[5], &com::CreateInstance<TestDocOne>, "doc one", "QvTest.DocOne.1", "QvTest.DocOne"},
    {&kClsids[6], &com::CreateInstance<TestDocFalse>, "doc false", "QvTest.DocFalse.1",
     "QvTest.DocFalse"},
    {&kClsids[7], &com::CreateInstance<TestNoContent>, "no content", "QvTest.NoContent.1",
     "QvTest.NoContent"},
    {&kClsids[8], &com::CreateInstance<TestSender>, "sender", "QvTest.Sender.1", "QvTest.Sender"},
    {&kClsids[9], &com::CreateInstance<TestEcho>, "echo", "QvTest.Echo.1", "QvTest.Echo"},
    {&kClsids[10], &com::CreateInstance<TestDimeEcho>, "dime echo", "QvTest.DimeEcho.1",
     "QvTest.DimeEcho"},
    {&kClsids[11], &com::CreateInstance<TestGet>, "get", "QvTest.Get.1", "QvTest.Get"},
    {&kClsids[12], &com::CreateInstance<TestHeader<HeaderMode::Unwritable>>, "unwritable",
     "QvTest.HeaderUnwritable.1", "QvTest.HeaderUnwritable"},
};

}  // namespace

QV_COMPONENT_ENTRY_POINTS(kClasses)
