// The message class as its hosts meet it: created through the registry, bound
// to the real WSDL reader, and called by vtable and through IDispatch.
#include <gtest/gtest.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "dime/message.h"
#include "message/testing/component_env.h"
#include "platform/com/dispatch.h"
#include "platform/storage/storage.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"

namespace message {
namespace {

using testing::ComponentEnvironment;

auto* const kEnvironment = static_cast<ComponentEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new ComponentEnvironment));

std::string Narrow(std::u16string_view s) { return std::string(s.begin(), s.end()); }

// A service with one operation: two inputs, a return value and two
// output-only parameters, bound rpc-style with the given version and use.
std::string WriteWsdl(int version, bool encoded) {
  const std::string soap = version == 11 ? "soap" : "soap12";
  const std::string soap_ns = version == 11 ? "http://schemas.xmlsoap.org/wsdl/soap/"
                                            : "http://schemas.xmlsoap.org/wsdl/soap12/";
  const std::string enc = version == 11 ? "http://schemas.xmlsoap.org/soap/encoding/"
                                        : "http://www.w3.org/2003/05/soap-encoding";
  const std::string body = encoded
                               ? "<" + soap +
                                     ":body use=\"encoded\" namespace=\"urn:qv:mix\" "
                                     "encodingStyle=\"" +
                                     enc + "\"/>"
                               : "<" + soap + ":body use=\"literal\" namespace=\"urn:qv:mix\"/>";
  // The decoders type a struct by its base: the encoding's Struct, or (for
  // literal) a type of the document's own.
  const std::string open = encoded ? "<xsd:complexContent><xsd:restriction base=\"soapenc:Struct\">"
                                   : "<xsd:complexContent><xsd:extension base=\"t:Base\">";
  const std::string close =
      encoded ? "</xsd:restriction></xsd:complexContent>" : "</xsd:extension></xsd:complexContent>";
  const std::string text =
      "<?xml version=\"1.0\"?>\n"
      "<definitions targetNamespace=\"urn:qv:mix\" xmlns=\"http://schemas.xmlsoap.org/wsdl/\" "
      "xmlns:tns=\"urn:qv:mix\" xmlns:t=\"urn:qv:mix:types\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
      "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\" xmlns:" +
      soap + "=\"" + soap_ns +
      "\">"
      "<types><xsd:schema targetNamespace=\"urn:qv:mix:types\">"
      "<xsd:complexType name=\"Base\"><xsd:sequence/></xsd:complexType>"
      "<xsd:complexType name=\"SOAPStruct\">" +
      open +
      "<xsd:sequence>"
      "<xsd:element name=\"varString\" type=\"xsd:string\"/>"
      "<xsd:element name=\"varInt\" type=\"xsd:int\"/>"
      "</xsd:sequence>" +
      close +
      "</xsd:complexType></xsd:schema></types>"
      "<message name=\"mixIn\"><part name=\"inputString\" type=\"xsd:string\"/>"
      "<part name=\"inputStruct\" type=\"t:SOAPStruct\"/></message>"
      "<message name=\"mixOut\"><part name=\"return\" type=\"xsd:string\"/>"
      "<part name=\"outStruct\" type=\"t:SOAPStruct\"/><part name=\"count\" type=\"xsd:int\"/>"
      "</message>"
      "<message name=\"whereIn\"><part name=\"bstrExtraPath\" type=\"xsd:string\"/>"
      "<part name=\"bstrQueryString\" type=\"xsd:string\"/></message>"
      "<message name=\"whereOut\"><part name=\"return\" type=\"xsd:string\"/></message>"
      "<portType name=\"MixPortType\"><operation name=\"mix\" "
      "parameterOrder=\"inputString inputStruct count outStruct\">"
      "<input message=\"tns:mixIn\"/><output message=\"tns:mixOut\"/></operation>"
      "<operation name=\"where\"><input message=\"tns:whereIn\"/>"
      "<output message=\"tns:whereOut\"/></operation></portType>"
      "<binding name=\"MixBinding\" type=\"tns:MixPortType\">"
      "<" +
      soap +
      ":binding style=\"rpc\" transport=\"http://schemas.xmlsoap.org/soap/http\"/>"
      "<operation name=\"mix\"><" +
      soap +
      ":operation soapAction=\"urn:qv:mix#mix\"/>"
      "<input>" +
      body + "</input><output>" + body +
      "</output></operation>"
      "<operation name=\"where\"><" +
      soap +
      ":operation soapAction=\"urn:qv:mix#where\"/>"
      "<input>" +
      body + "</input><output>" + body +
      "</output></operation></binding>"
      "<service name=\"MixService\"><port name=\"MixPort\" binding=\"tns:MixBinding\">"
      "<" +
      soap +
      ":address location=\"http://localhost:8080/mix\"/></port></service>"
      "</definitions>\n";
  const std::string path =
      kEnvironment->Dir() + "/mix" + std::to_string(version) + (encoded ? "e" : "l") + ".wsdl";
  std::ofstream(path) << text;
  return path;
}

VARIANT_BOOL T() { return VARIANT_TRUE; }

Variant Str(std::u16string_view s) {
  Variant v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(s);
  return v;
}
Variant Int(int32_t i) {
  Variant v;
  v.vt = VT_I4;
  v.lVal = i;
  return v;
}
Variant Dispatch(IUnknown* object) {
  Variant v;
  v.vt = VT_DISPATCH;
  object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&v.pdispVal));
  return v;
}
Variant Member(const Variant& value, std::u16string_view name) {
  Variant out;
  if (value.vt != VT_DISPATCH || !value.pdispVal) return out;
  ComPtr<ISoapStruct> s = com::QueryInterfacePtr<ISoapStruct>(value.pdispVal);
  if (!s) return out;
  Bstr n(name);
  VARIANT_BOOL ok = VARIANT_FALSE;
  s->GetMember(n.Get(), &out, &ok);
  return out;
}

// How a test calls the message object: by vtable, through Invoke by
// dispatch id, or as a script does, by names resolved with GetIDsOfNames.
enum class Path { Vtable, Dispatch, ByName };

std::string PathName(Path path) {
  switch (path) {
    case Path::Vtable:
      return "Vtable";
    case Path::Dispatch:
      return "Dispatch";
    case Path::ByName:
      return "ByName";
  }
  return "";
}

// IDispatch under its own identity, so that an adapter can implement it alone.
class NamedDispatch : public IDispatch {
 public:
  static constexpr IID kIid = IID_IDispatch;

 protected:
  ~NamedDispatch() = default;
};

// Takes the positional calls of an interface proxy and makes each one again by
// name: the method and its parameter names resolved with GetIDsOfNames, every
// argument passed as a named argument. The named ones go in parameter order,
// the reverse of where positional ones sit, so a target that bound them by
// position would see its arguments swapped.
class ByNameAdapter final : public com::ComObject<ByNameAdapter, NamedDispatch> {
 public:
  explicit ByNameAdapter(IDispatch* target) : target_(target) {}

  HRESULT GetTypeInfoCount(UINT* count) override { return target_->GetTypeInfoCount(count); }
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return target_->GetTypeInfo(index, lcid, info);
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return target_->GetIDsOfNames(riid, names, count, lcid, ids);
  }
  HRESULT Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* excep, UINT* arg_err) override {
    // The names a script writes: the method's and its parameters', in another case.
    const com::MethodDesc* method = Iquenlin2::Description().FindMethod(member);
    if (!method || !params || params->cNamedArgs != 0 || params->cArgs > method->param_count) {
      return DISP_E_MEMBERNOTFOUND;
    }
    const UINT n = params->cArgs;
    std::vector<std::u16string> names{Upper(method->name)};
    for (UINT p = 0; p < n; ++p) names.push_back(Upper(method->params[p].name));
    std::vector<LPOLESTR> pointers;
    for (std::u16string& name : names) pointers.push_back(name.data());
    std::vector<DISPID> ids(n + 1, DISPID_UNKNOWN);
    const HRESULT hr = target_->GetIDsOfNames(GUID_NULL, pointers.data(), n + 1, lcid, ids.data());
    if (FAILED(hr)) return hr;
    std::vector<VARIANTARG> args(n);
    std::vector<DISPID> named(n);
    for (UINT p = 0; p < n; ++p) {
      args[p] = params->rgvarg[n - 1 - p];  // borrowed, as the proxy passed it
      named[p] = ids[p + 1];
    }
    DISPPARAMS by_name{n ? args.data() : nullptr, n ? named.data() : nullptr, n, n};
    ++calls_;
    return target_->Invoke(ids[0], riid, lcid, flags, &by_name, result, excep, arg_err);
  }

  int Calls() const { return calls_; }

 private:
  static std::u16string Upper(const char16_t* name) {
    std::u16string out(name);
    for (char16_t& c : out) {
      if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    }
    return out;
  }

  ComPtr<IDispatch> target_;
  int calls_ = 0;
};

// A new message object, used directly, through a proxy that calls Invoke by
// dispatch id, or through one whose calls go by name.
ComPtr<Iquenlin2> NewMessage(Path path, ComPtr<ByNameAdapter>* adapter = nullptr) {
  ComPtr<IDispatch> object;
  EXPECT_EQ(
      CoCreateInstance(CLSID_quenlin2, nullptr, CLSCTX_SERVER, IID_IDispatch, object.ReceiveVoid()),
      S_OK);
  if (!object) return nullptr;
  switch (path) {
    case Path::Vtable:
      return com::QueryInterfacePtr<Iquenlin2>(object.Get());
    case Path::Dispatch:
      return com::MakeDispatchProxy<Iquenlin2>(object.Get());
    case Path::ByName: {
      ComPtr<ByNameAdapter> named = com::MakeComObject<ByNameAdapter>(object.Get());
      if (adapter) *adapter = named;
      return com::MakeDispatchProxy<Iquenlin2>(named.Get());
    }
  }
  return nullptr;
}

Variant Buffer(Iquenlin2* m) {
  Variant buffer;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(m->GetBuffer(&buffer, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  return buffer;
}

std::string BufferText(const Variant& buffer) {
  if (buffer.vt != (VT_ARRAY | VT_UI1) || !buffer.parray) return {};
  void* data = nullptr;
  SafeArrayAccessData(buffer.parray, &data);
  std::string text(static_cast<char*>(data), buffer.parray->rgsabound[0].cElements);
  SafeArrayUnaccessData(buffer.parray);
  return text;
}

// The SOAP 1.1 fault string or the SOAP 1.2 "en" reason.
std::string FaultText(Iquenlin2* m) {
  Bstr text;
  m->GetSOAPFaultString(text.Receive());
  std::string out = Narrow(text.View());
  VARIANT_BOOL ok = VARIANT_FALSE;
  m->GetSOAP12ReasonText(Bstr(u"en").Get(), text.Receive(), &ok);
  if (ok == VARIANT_TRUE) out += Narrow(text.View());
  return out;
}

struct Param {
  std::u16string name;
  Variant value;
  bool in = false, out = false;
};

std::vector<Param> Params(Iquenlin2* m) {
  std::vector<Param> params;
  LONG position = 0;
  VARIANT_BOOL more = VARIANT_FALSE;
  Bstr ns, name;
  Param p;
  VARIANT_BOOL in = VARIANT_FALSE, out = VARIANT_FALSE;
  m->GetFirstMethodParam(ns.Receive(), name.Receive(), &p.value, &in, &out, &position, &more);
  while (more == VARIANT_TRUE) {
    p.name = name.View();
    p.in = in == VARIANT_TRUE;
    p.out = out == VARIANT_TRUE;
    params.push_back(std::move(p));
    p = Param();
    more = VARIANT_FALSE;
    m->GetNextMethodParam(ns.Receive(), name.Receive(), &p.value, &in, &out, &position, &more);
  }
  return params;
}

struct RoundTripCase {
  int version;
  bool encoded;
  Path path;
};

class RoundTripTest : public ::testing::TestWithParam<RoundTripCase> {};

// Client writes the request, the server parses, decodes and answers it, and
// the client parses the answer back.
TEST_P(RoundTripTest, RequestAndResponse) {
  const RoundTripCase c = GetParam();
  const std::string wsdl = WriteWsdl(c.version, c.encoded);
  ComPtr<Idorvish2> reader = testing::LoadReader(wsdl, u"MixService", u"MixPort");
  ASSERT_TRUE(reader);
  Bstr svc(u"MixService"), port(u"MixPort"), node(u"urn:node"), action(u"\"urn:qv:mix#mix\""), none;
  VARIANT_BOOL ok = VARIANT_FALSE;

  // The client's request.
  ComPtr<ByNameAdapter> client_names, server_names;
  ComPtr<Iquenlin2> client = NewMessage(c.path, &client_names);
  ASSERT_TRUE(client);
  ASSERT_EQ(client->Initialize(svc.Get(), port.Get(), none.Get(), action.Get(), none.Get(),
                               VARIANT_FALSE, VARIANT_FALSE, reader.Get(), &ok),
            S_OK);
  ASSERT_EQ(ok, VARIANT_TRUE);
  client->SetSOAPVersion(c.version);
  client->SetMethodName(Bstr(u"mix").Get());
  client->SetMethodNS(Bstr(u"urn:qv:mix").Get());
  ComPtr<ISoapStruct> in_struct = testing::NewStruct();
  ASSERT_TRUE(in_struct);
  in_struct->AddMember(Bstr(u"varString").Get(), none.Get(), Str(u"inner"), &ok);
  in_struct->AddMember(Bstr(u"varInt").Get(), none.Get(), Int(7), &ok);
  client->AddMethodParam(none.Get(), Bstr(u"inputString").Get(), Str(u"hello"), T(), VARIANT_FALSE,
                         &ok);
  client->AddMethodParam(none.Get(), Bstr(u"inputStruct").Get(), Dispatch(in_struct.Get()), T(),
                         VARIANT_FALSE, &ok);
  ASSERT_EQ(client->Serialize(&ok), S_OK);
  Variant request = Buffer(client.Get());
  const std::string request_text = BufferText(request);
  ASSERT_EQ(ok, VARIANT_TRUE) << request_text;
  EXPECT_NE(request_text.find("<m:mix "), std::string::npos) << request_text;
  EXPECT_NE(request_text.find("xmlns:m=\"urn:qv:mix\""), std::string::npos) << request_text;

  // The server's side.
  ComPtr<Iquenlin2> server = NewMessage(c.path, &server_names);
  ASSERT_TRUE(server);
  server->Initialize(svc.Get(), port.Get(), node.Get(), action.Get(), none.Get(), VARIANT_FALSE,
                     VARIANT_FALSE, reader.Get(), &ok);
  server->SetBuffer(request, &ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
  server->Deserialize(&ok);
  ASSERT_EQ(ok, VARIANT_TRUE) << FaultText(server.Get()) << "\n" << request_text;
  LONG version = 0;
  server->GetSOAPVersion(&version);
  EXPECT_EQ(version, c.version);
  server->CheckMustUnderstand(&ok);
  EXPECT_EQ(ok, VARIANT_TRUE);
  server->ProcessRPC(&ok);
  ASSERT_EQ(ok, VARIANT_TRUE) << FaultText(server.Get()) << "\n" << request_text;

  std::vector<Param> params = Params(server.Get());
  ASSERT_EQ(params.size(), 4u);
  EXPECT_EQ(params[0].name, u"inputString");
  EXPECT_TRUE(params[0].in);
  ASSERT_EQ(params[0].value.vt, VT_BSTR);
  EXPECT_EQ(BstrView(params[0].value.bstrVal), u"hello");
  EXPECT_EQ(params[1].name, u"inputStruct");
  Variant inner = Member(params[1].value, u"varInt");
  EXPECT_EQ(inner.vt, VT_I4);
  EXPECT_EQ(inner.lVal, 7);
  // The output-only parameters, unfilled, in parameter order; the return
  // part is no parameter.
  EXPECT_EQ(params[2].name, u"count");
  EXPECT_FALSE(params[2].in);
  EXPECT_TRUE(params[2].out);
  EXPECT_EQ(params[2].value.vt, VT_I4);
  EXPECT_EQ(params[3].name, u"outStruct");
  EXPECT_EQ(params[3].value.vt, VT_DISPATCH);
  EXPECT_EQ(params[3].value.pdispVal, nullptr);

  // The service answers.
  server->SetRequestPhase(VARIANT_FALSE);
  server->ClearMethodParams();
  server->SetReturnValue(Str(u"hello!"));
  ComPtr<ISoapStruct> out_struct = testing::NewStruct();
  out_struct->AddMember(Bstr(u"varString").Get(), none.Get(), Str(u"out"), &ok);
  out_struct->AddMember(Bstr(u"varInt").Get(), none.Get(), Int(-3), &ok);
  server->AddMethodParam(none.Get(), Bstr(u"count").Get(), Int(2), VARIANT_FALSE, T(), &ok);
  server->AddMethodParam(none.Get(), Bstr(u"outStruct").Get(), Dispatch(out_struct.Get()),
                         VARIANT_FALSE, T(), &ok);
  server->Serialize(&ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
  Variant response = Buffer(server.Get());
  const std::string response_text = BufferText(response);
  EXPECT_NE(response_text.find("<m:mixResponse "), std::string::npos) << response_text;
  if (c.version == 12) {
    EXPECT_NE(response_text.find("<SOAP-RPC:result xmlns:SOAP-RPC=\"" +
                                 Narrow(xml::kSoap12RpcNamespace) + "\">return</SOAP-RPC:result>"),
              std::string::npos)
        << response_text;
  }

  // A second object reads the answer.
  client->SetRequestPhase(VARIANT_FALSE);
  client->ClearMethodParams();
  client->SetBuffer(response, &ok);
  client->Deserialize(&ok);
  ASSERT_EQ(ok, VARIANT_TRUE) << response_text;
  client->ProcessRPC(&ok);
  ASSERT_EQ(ok, VARIANT_TRUE) << FaultText(client.Get()) << "\n" << response_text;
  Variant result;
  EXPECT_EQ(client->GetReturnValue(&result), S_OK);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(BstrView(result.bstrVal), u"hello!");
  params = Params(client.Get());
  ASSERT_EQ(params.size(), 2u);
  EXPECT_EQ(params[0].name, u"count");
  EXPECT_EQ(params[0].value.vt, VT_I4);
  EXPECT_EQ(params[0].value.lVal, 2);
  EXPECT_EQ(params[1].name, u"outStruct");
  Variant member = Member(params[1].value, u"varInt");
  EXPECT_EQ(member.vt, VT_I4);
  EXPECT_EQ(member.lVal, -3);
  if (c.path == Path::ByName) {
    EXPECT_GT(client_names->Calls(), 10);
    EXPECT_GT(server_names->Calls(), 10);
  }
}

// A document-style service with one operation, "ask", taking and answering
// an element of its own schema; both bindings, one port each.
std::string WriteDocWsdl() {
  const std::string path = kEnvironment->Dir() + "/doc.wsdl";
  std::ofstream(path)
      << "<?xml version=\"1.0\"?>\n"
         "<definitions targetNamespace=\"urn:q\" xmlns=\"http://schemas.xmlsoap.org/wsdl/\" "
         "xmlns:tns=\"urn:q\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
         "xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\" "
         "xmlns:soap12=\"http://schemas.xmlsoap.org/wsdl/soap12/\">"
         "<types><xsd:schema targetNamespace=\"urn:q\" elementFormDefault=\"qualified\">"
         "<xsd:element name=\"ask\"><xsd:complexType><xsd:sequence>"
         "<xsd:element name=\"question\" type=\"xsd:string\"/>"
         "<xsd:element name=\"count\" type=\"xsd:int\"/>"
         "</xsd:sequence></xsd:complexType></xsd:element>"
         "<xsd:element name=\"answer\" type=\"xsd:string\" maxOccurs=\"unbounded\"/>"
         "</xsd:schema></types>"
         "<message name=\"askIn\"><part name=\"body\" element=\"tns:ask\"/></message>"
         "<message name=\"askOut\"><part name=\"body\" element=\"tns:answer\"/></message>"
         "<portType name=\"DocPortType\"><operation name=\"ask\">"
         "<input message=\"tns:askIn\"/><output message=\"tns:askOut\"/></operation></portType>"
         "<binding name=\"Doc11\" type=\"tns:DocPortType\">"
         "<soap:binding style=\"document\" transport=\"http://schemas.xmlsoap.org/soap/http\"/>"
         "<operation name=\"ask\"><soap:operation soapAction=\"urn:q#ask\"/>"
         "<input><soap:body use=\"literal\"/></input><output><soap:body use=\"literal\"/></output>"
         "</operation></binding>"
         "<binding name=\"Doc12\" type=\"tns:DocPortType\">"
         "<soap12:binding style=\"document\" transport=\"http://schemas.xmlsoap.org/soap/http\"/>"
         "<operation name=\"ask\"><soap12:operation soapAction=\"urn:q#ask\"/>"
         "<input><soap12:body use=\"literal\"/></input>"
         "<output><soap12:body use=\"literal\"/></output></operation></binding>"
         "<service name=\"DocService\">"
         "<port name=\"Doc11Port\" binding=\"tns:Doc11\">"
         "<soap:address location=\"http://localhost:8080/doc\"/></port>"
         "<port name=\"Doc12Port\" binding=\"tns:Doc12\">"
         "<soap12:address location=\"http://localhost:8080/doc12\"/></port>"
         "</service></definitions>\n";
  return path;
}

struct DocumentCase {
  int version;
  Path path;
};

class DocumentRoundTripTest : public ::testing::TestWithParam<DocumentCase> {};

// A document-style exchange: the body travels whole as literal XML (the
// service reads it and writes its answer as the response body), a
// mustUnderstand header block is taken by the receiver, and the answer is read
// back by the client's object.
TEST_P(DocumentRoundTripTest, BodyAndHeaderTravelAsLiteralXml) {
  const DocumentCase c = GetParam();
  const std::u16string port_name = c.version == 11 ? u"Doc11Port" : u"Doc12Port";
  ComPtr<Idorvish2> reader = testing::LoadReader(WriteDocWsdl(), u"DocService", port_name);
  ASSERT_TRUE(reader);
  const std::string env =
      Narrow(c.version == 11 ? xml::kSoap11EnvelopeNamespace : xml::kSoap12EnvelopeNamespace);
  const std::string request_body =
      "<SOAP-ENV:Body xmlns:SOAP-ENV=\"" + env +
      "\"><q:ask xmlns:q=\"urn:q\"><q:question>Why &lt;not&gt;?</q:question>"
      "<q:count>3</q:count></q:ask></SOAP-ENV:Body>";
  const std::string response_body =
      "<SOAP-ENV:Body xmlns:SOAP-ENV=\"" + env +
      "\"><q:answer xmlns:q=\"urn:q\">because</q:answer>"
      "<q:answer xmlns:q=\"urn:q\">3 times</q:answer></SOAP-ENV:Body>";
  const std::string header_block = "<q:trace xmlns:q=\"urn:q\">17</q:trace>";
  const auto wide = [](const std::string& s) { return std::u16string(s.begin(), s.end()); };
  // Inside the envelope the Body needs no declaration of its own.
  const auto inside = [&env](std::string body) {
    return body.erase(body.find(" xmlns:SOAP-ENV"), env.size() + 18);
  };
  Bstr svc(u"DocService"), port(port_name), node(u"urn:node"), action(u"urn:q#ask"), none;
  VARIANT_BOOL ok = VARIANT_FALSE;

  ComPtr<ByNameAdapter> client_names, server_names;
  ComPtr<Iquenlin2> client = NewMessage(c.path, &client_names);
  ASSERT_TRUE(client);
  client->Initialize(svc.Get(), port.Get(), none.Get(), action.Get(), none.Get(), VARIANT_FALSE,
                     VARIANT_FALSE, reader.Get(), &ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
  client->SetSOAPVersion(c.version);
  client->IsRPCStyle(&ok);
  EXPECT_EQ(ok, VARIANT_FALSE);
  client->AddHeaderElemLiteral(Bstr(u"urn:q").Get(), Bstr(u"trace").Get(),
                               Bstr(wide(header_block)).Get(), T(), none.Get(), none.Get(), &ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
  client->SetBodyElemLiteral(Bstr(wide(request_body)).Get(), none.Get(), &ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
  client->Serialize(&ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
  Variant request = Buffer(client.Get());
  const std::string request_text = BufferText(request);
  EXPECT_EQ(request_text,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
            "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" +
                env + "\"><SOAP-ENV:Header>" + header_block + "</SOAP-ENV:Header>" +
                inside(request_body) + "</SOAP-ENV:Envelope>");

  // The receiver: the header processor takes its block, the body handler
  // reads the body and writes the answer.
  ComPtr<Iquenlin2> server = NewMessage(c.path, &server_names);
  ASSERT_TRUE(server);
  server->Initialize(svc.Get(), port.Get(), node.Get(), action.Get(), none.Get(), VARIANT_FALSE,
                     VARIANT_FALSE, reader.Get(), &ok);
  server->SetBuffer(request, &ok);
  server->Deserialize(&ok);
  ASSERT_EQ(ok, VARIANT_TRUE) << FaultText(server.Get()) << "\n" << request_text;
  LONG version = 0;
  server->GetSOAPVersion(&version);
  EXPECT_EQ(version, c.version);
  Bstr literal;
  server->GetHeaderElemLiteral(Bstr(u"urn:q").Get(), Bstr(u"trace").Get(), literal.Receive(), &ok);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_NE(Narrow(literal.View()).find(">17</q:trace>"), std::string::npos)
      << Narrow(literal.View());
  server->CheckMustUnderstand(&ok);
  EXPECT_EQ(ok, VARIANT_TRUE) << FaultText(server.Get());
  server->IsRPCStyle(&ok);
  EXPECT_EQ(ok, VARIANT_FALSE);
  server->GetBodyElemLiteral(literal.Receive(), &ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(Narrow(literal.View()), request_body);

  server->SetRequestPhase(VARIANT_FALSE);
  server->SetBodyElemLiteral(Bstr(wide(response_body)).Get(), none.Get(), &ok);
  server->Serialize(&ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
  Variant response = Buffer(server.Get());
  const std::string response_text = BufferText(response);
  // The request's envelope declarations are kept; its header is gone.
  EXPECT_EQ(response_text,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
            "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" +
                env + "\">" + inside(response_body) + "</SOAP-ENV:Envelope>");

  client->SetRequestPhase(VARIANT_FALSE);
  client->SetBuffer(response, &ok);
  client->Deserialize(&ok);
  ASSERT_EQ(ok, VARIANT_TRUE) << FaultText(client.Get()) << "\n" << response_text;
  client->IsSOAPFault(&ok);
  EXPECT_EQ(ok, VARIANT_FALSE);
  client->GetBodyElemLiteral(literal.Receive(), &ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(Narrow(literal.View()), response_body);
  if (c.path == Path::ByName) {
    EXPECT_GT(client_names->Calls(), 5);
    EXPECT_GT(server_names->Calls(), 5);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bindings, DocumentRoundTripTest,
    ::testing::Values(DocumentCase{11, Path::Vtable}, DocumentCase{11, Path::Dispatch},
                      DocumentCase{11, Path::ByName}, DocumentCase{12, Path::Vtable},
                      DocumentCase{12, Path::Dispatch}, DocumentCase{12, Path::ByName}),
    [](const auto& info) {
      return std::string("Soap") + std::to_string(info.param.version) + "DocumentLiteral" +
             PathName(info.param.path);
    });

// A temporary compound file whose stream holds `content`.
ComPtr<IStorage> NewStorage(std::string_view content) {
  ComPtr<IStorage> storage;
  EXPECT_EQ(StgCreateDocfile(nullptr, STGM_DELETEONRELEASE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE,
                             0, storage.Receive()),
            S_OK);
  if (!storage) return nullptr;
  ComPtr<IStream> stream;
  EXPECT_EQ(storage->CreateStream(nullptr, STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE,
                                  stream.Receive()),
            S_OK);
  ULONG written = 0;
  if (stream) stream->Write(content.data(), ULONG(content.size()), &written);
  return storage;
}

// What the stream of the storage behind `object` holds.
std::string StorageText(IUnknown* object) {
  ComPtr<IStorage> storage = com::QueryInterfacePtr<IStorage>(object);
  ComPtr<IStream> stream;
  if (!storage ||
      FAILED(storage->OpenStream(nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, stream.Receive()))) {
    return "<no storage>";
  }
  std::string out;
  char buffer[256];
  ULONG read = 0;
  while (SUCCEEDED(stream->Read(buffer, sizeof buffer, &read)) && read > 0)
    out.append(buffer, read);
  return out;
}

bool SameObject(IUnknown* a, IUnknown* b) {
  ComPtr<IUnknown> x = com::QueryInterfacePtr<IUnknown>(a);
  ComPtr<IUnknown> y = com::QueryInterfacePtr<IUnknown>(b);
  return x && x.Get() == y.Get();
}

Variant Bytes(const std::vector<uint8_t>& bytes) {
  Variant v;
  v.vt = VT_ARRAY | VT_UI1;
  v.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(bytes.size()));
  if (!bytes.empty()) memcpy(v.parray->pvData, bytes.data(), bytes.size());
  return v;
}

// The bytes of a VT_ARRAY|VT_UI1; "<not bytes>" for anything else.
std::string BytesOf(const VARIANT& v) {
  if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray) return "<not bytes>";
  return std::string(static_cast<const char*>(v.parray->pvData), v.parray->rgsabound[0].cElements);
}

// One attachment record as the walkers and lookups report it.
struct Attachment {
  std::u16string id, type;
  LONG tnf = -1;
  ComPtr<IUnknown> storage;
  std::string options;
};

// Every request (or response) attachment, walked from the first.
std::vector<Attachment> Attachments(Iquenlin2* m, bool request, LONG* last_position = nullptr) {
  std::vector<Attachment> out;
  LONG position = -5;
  for (bool first = true;; first = false) {
    Attachment a;
    Bstr id, type;
    IUnknown* storage = nullptr;
    Variant options;
    VARIANT_BOOL more = VARIANT_FALSE;
    auto walk = request ? (first ? &Iquenlin2::GetFirstDIMEAttachmentReq
                                 : &Iquenlin2::GetNextDIMEAttachmentReq)
                        : (first ? &Iquenlin2::GetFirstDIMEAttachmentResp
                                 : &Iquenlin2::GetNextDIMEAttachmentResp);
    EXPECT_EQ(
        (m->*walk)(id.Receive(), type.Receive(), &a.tnf, &storage, &options, &position, &more),
        S_OK);
    if (more != VARIANT_TRUE) break;
    a.id = id.View();
    a.type = type.View();
    a.storage = ComPtr<IUnknown>::Adopt(storage);
    a.options = BytesOf(options);
    out.push_back(std::move(a));
  }
  if (last_position) *last_position = position;
  return out;
}

// Attachments added through the interface are counted, walked in order and
// found by their exact id, with their storage, type-name format and options as
// given; the storages' reference counts are balanced when the message goes.
TEST(AttachmentTest, AddCountWalkAndFind) {
  const std::vector<uint8_t> option_field = {0x00, 0x07, 0x00, 0x03, 'a', 'b', 'c'};
  for (Path path : {Path::Vtable, Path::Dispatch, Path::ByName}) {
    SCOPED_TRACE(PathName(path));
    ComPtr<IStorage> one = NewStorage("first"), two = NewStorage("second");
    ASSERT_TRUE(one && two);
    ComPtr<ISoapStruct> not_storage = testing::NewStruct();
    ComPtr<Iquenlin2> m = NewMessage(path);
    ASSERT_TRUE(m);
    struct Add {
      bool request;
      const char16_t* id;
      const char16_t* type;
      LONG tnf;
      IUnknown* storage;
      Variant options;
      VARIANT_BOOL expected;
    } adds[] = {
        {true, u"cid:one", u"image/png", 1, one.Get(), Variant(), VARIANT_TRUE},
        {true, u"cid:two", u"urn:t:blob", 2, two.Get(), Bytes(option_field), VARIANT_TRUE},
        {false, u"cid:reply", u"", 3, one.Get(), Bytes({}), VARIANT_TRUE},
        // Not a storage.
        {true, u"cid:x", u"", 1, not_storage.Get(), Variant(), VARIANT_FALSE},
        // Options that are not whole option elements.
        {true, u"cid:y", u"", 1, two.Get(), Bytes({0x00, 0x07, 0x00, 0x09, 'x'}), VARIANT_FALSE},
    };
    for (const Add& add : adds) {
      VARIANT_BOOL ok = add.expected == VARIANT_TRUE ? VARIANT_FALSE : VARIANT_TRUE;
      auto method =
          add.request ? &Iquenlin2::AddDIMEAttachmentReq : &Iquenlin2::AddDIMEAttachmentResp;
      EXPECT_EQ((m.Get()->*method)(Bstr(add.id).Get(), Bstr(add.type).Get(), add.tnf, add.storage,
                                   add.options, &ok),
                S_OK);
      EXPECT_EQ(ok, add.expected) << Narrow(add.id);
    }
    LONG count = -1;
    m->GetNumReqAttachments(&count);
    EXPECT_EQ(count, 2);
    m->GetNumRespAttachments(&count);
    EXPECT_EQ(count, 1);

    LONG position = 0;
    std::vector<Attachment> walked = Attachments(m.Get(), true, &position);
    ASSERT_EQ(walked.size(), 2u);
    EXPECT_EQ(position, 1);  // a walk past the end leaves the position
    EXPECT_EQ(walked[0].id, u"cid:one");
    EXPECT_EQ(walked[0].type, u"image/png");
    EXPECT_EQ(walked[0].tnf, 1);
    EXPECT_TRUE(SameObject(walked[0].storage.Get(), one.Get()));
    EXPECT_EQ(walked[0].options, "");  // no options: an empty byte array
    EXPECT_EQ(walked[1].id, u"cid:two");
    EXPECT_EQ(walked[1].tnf, 2);
    EXPECT_TRUE(SameObject(walked[1].storage.Get(), two.Get()));
    EXPECT_EQ(walked[1].options, std::string(option_field.begin(), option_field.end()));
    EXPECT_EQ(StorageText(walked[1].storage.Get()), "second");
    walked = Attachments(m.Get(), false);
    ASSERT_EQ(walked.size(), 1u);
    EXPECT_EQ(walked[0].id, u"cid:reply");
    EXPECT_EQ(walked[0].tnf, 3);

    struct Lookup {
      bool request;
      const char16_t* id;
      VARIANT_BOOL found;
      const char16_t* type;
    } lookups[] = {
        {true, u"cid:two", VARIANT_TRUE, u"urn:t:blob"},
        {true, u"CID:TWO", VARIANT_FALSE, u""},   // ids compare exactly
        {false, u"cid:one", VARIANT_FALSE, u""},  // the other leg's list
        {false, u"cid:reply", VARIANT_TRUE, u""},
    };
    for (const Lookup& l : lookups) {
      SCOPED_TRACE(Narrow(l.id));
      Bstr type;
      LONG tnf = -1;
      IUnknown* storage = nullptr;
      Variant options;
      VARIANT_BOOL ok = VARIANT_FALSE;
      auto method =
          l.request ? &Iquenlin2::GetDIMEAttachmentReq : &Iquenlin2::GetDIMEAttachmentResp;
      EXPECT_EQ((m.Get()->*method)(Bstr(l.id).Get(), type.Receive(), &tnf, &storage, &options, &ok),
                S_OK);
      ComPtr<IUnknown> owned = ComPtr<IUnknown>::Adopt(storage);
      EXPECT_EQ(ok, l.found);
      if (l.found != VARIANT_TRUE) continue;
      EXPECT_EQ(type.View(), l.type);
      EXPECT_TRUE(owned);
      if (l.request) {
        EXPECT_EQ(BytesOf(options), std::string(option_field.begin(), option_field.end()));
      }
    }

    if (path == Path::Vtable) {
      // An Options argument passed by reference receives the array where it points.
      Variant target;
      VARIANT by_ref;
      VariantInit(&by_ref);
      by_ref.vt = VT_BYREF | VT_VARIANT;
      by_ref.pvarVal = &target;
      Bstr id, type;
      LONG tnf = 0, at = 0;
      IUnknown* storage = nullptr;
      VARIANT_BOOL ok = VARIANT_FALSE;
      m->GetFirstDIMEAttachmentReq(id.Receive(), type.Receive(), &tnf, &storage, &by_ref, &at, &ok);
      ComPtr<IUnknown> owned = ComPtr<IUnknown>::Adopt(storage);
      ASSERT_EQ(ok, VARIANT_TRUE);
      m->GetNextDIMEAttachmentReq(id.Receive(), type.Receive(), &tnf, &storage, &by_ref, &at, &ok);
      owned = ComPtr<IUnknown>::Adopt(storage);
      ASSERT_EQ(ok, VARIANT_TRUE);
      EXPECT_EQ(by_ref.vt, VT_BYREF | VT_VARIANT);
      EXPECT_EQ(BytesOf(target), std::string(option_field.begin(), option_field.end()));
    }

    walked.clear();
    m.Reset();
    // Only the test's own references remain.
    EXPECT_EQ(one->AddRef(), 2u);
    one->Release();
    EXPECT_EQ(two->AddRef(), 2u);
    two->Release();
  }
}

// A storage value written into an encoded response becomes a "uuid:"
// attachment record referenced from the envelope; framed as DIME the way the
// server frames a response, the peer reads the envelope and resolves the
// reference to the attachment. Writing the message again registers a fresh
// record and leaves the first one in place.
TEST(AttachmentTest, WrittenReferencesTravelAsDime) {
  for (int version : {11, 12}) {
    SCOPED_TRACE(version);
    ComPtr<Idorvish2> reader =
        testing::LoadReader(WriteWsdl(version, true), u"MixService", u"MixPort");
    ASSERT_TRUE(reader);
    Bstr svc(u"MixService"), port(u"MixPort"), node(u"urn:node"), none;
    VARIANT_BOOL ok = VARIANT_FALSE;
    ComPtr<Iquenlin2> server = NewMessage(Path::Vtable);
    server->Initialize(svc.Get(), port.Get(), node.Get(), none.Get(), none.Get(), VARIANT_FALSE,
                       VARIANT_FALSE, reader.Get(), &ok);
    server->SetSOAPVersion(version);
    server->SetMethodName(Bstr(u"mix").Get());
    server->SetMethodNS(Bstr(u"urn:qv:mix").Get());
    server->SetRequestPhase(VARIANT_FALSE);
    ComPtr<IStorage> picture = NewStorage("picture bytes");
    Variant value;
    value.vt = VT_UNKNOWN;
    value.punkVal = picture.Get();
    value.punkVal->AddRef();
    server->SetReturnValue(value);
    server->Serialize(&ok);
    ASSERT_EQ(ok, VARIANT_TRUE);
    const std::string envelope = BufferText(Buffer(server.Get()));
    // The reference names a new "uuid:" identifier.
    const std::string attribute = version == 11 ? "<return href=\"" : "<return SOAP-ENC:ref=\"";
    const size_t at = envelope.find(attribute);
    ASSERT_NE(at, std::string::npos) << envelope;
    const std::string id = envelope.substr(at + attribute.size(), 41);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF-", 5), std::string::npos) << id;
    EXPECT_EQ(id.substr(0, 5), "uuid:");
    EXPECT_NE(envelope.find(attribute + id +
                            (version == 11 ? "\" />"
                                           : "\" xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/"
                                             "soap-encoding\" />")),
              std::string::npos)
        << envelope;
    LONG count = -1;
    server->GetNumReqAttachments(&count);
    EXPECT_EQ(count, 0);
    std::vector<Attachment> records = Attachments(server.Get(), false);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Narrow(records[0].id), id);
    EXPECT_EQ(records[0].type, u"");
    EXPECT_EQ(records[0].tnf, 3);
    EXPECT_TRUE(SameObject(records[0].storage.Get(), picture.Get()));
    EXPECT_EQ(records[0].options, "");

    // Framed as the server frames a response: the envelope, then each record.
    dime::DimeMessage out;
    std::string wire;
    try {
      ASSERT_TRUE(out.InitSerializer(4096));
      ASSERT_TRUE(out.AddPayloadFromBytes(envelope.data(), envelope.size(), "",
                                          version == 11 ? Narrow(xml::kSoap11EnvelopeNamespace)
                                                        : Narrow(xml::kSoap12EnvelopeNamespace),
                                          2));
      for (const Attachment& a : records) {
        ComPtr<IStorage> storage = com::QueryInterfacePtr<IStorage>(a.storage.Get());
        ASSERT_TRUE(out.AddPayload(storage.Get(), Narrow(a.id), Narrow(a.type), uint32_t(a.tnf)));
      }
      std::vector<uint8_t> record(4096);
      size_t written = 0;
      bool more = true;
      while (more) {
        more = out.Serialize(record.data(), record.size(), &written);
        wire.append(reinterpret_cast<const char*>(record.data()), written);
      }
    } catch (dime::DIMEParserException* e) {
      delete e;
      FAIL() << "DIME writer failed";
    }
    EXPECT_EQ(wire.size(), out.ComputeMessageLength());

    // The peer: the records back from the wire, the first as the envelope.
    dime::DimeMessage in;
    try {
      in.InitDeserializer(wire.size());
      in.Deserialize(reinterpret_cast<const uint8_t*>(wire.data()), wire.size());
      in.EndOfInput();
    } catch (dime::DIMEParserException* e) {
      delete e;
      FAIL() << "DIME reader failed";
    }
    ASSERT_EQ(in.PayloadCount(), 2u);
    EXPECT_EQ(in.Payload(1)->Id(), id);
    EXPECT_EQ(in.Payload(1)->TypeNameFormat(), 3u);
    EXPECT_EQ(StorageText(in.Payload(0)->Storage()), envelope);
    ComPtr<Iquenlin2> client = NewMessage(Path::Dispatch);
    client->Initialize(svc.Get(), port.Get(), none.Get(), none.Get(), none.Get(), VARIANT_FALSE,
                       VARIANT_FALSE, reader.Get(), &ok);
    client->SetMethodName(Bstr(u"mix").Get());
    client->SetMethodNS(Bstr(u"urn:qv:mix").Get());
    client->SetRequestPhase(VARIANT_FALSE);
    const dime::DimePayload& attachment = *in.Payload(1);
    client->AddDIMEAttachmentResp(
        Bstr(text::Widen(attachment.Id())).Get(), Bstr(text::Widen(attachment.Type())).Get(),
        LONG(attachment.TypeNameFormat()), attachment.Storage(), Variant(), &ok);
    ASSERT_EQ(ok, VARIANT_TRUE);
    std::string first_record = StorageText(in.Payload(0)->Storage());
    client->SetBuffer(Bytes({first_record.begin(), first_record.end()}), &ok);
    client->Deserialize(&ok);
    ASSERT_EQ(ok, VARIANT_TRUE) << FaultText(client.Get());
    client->ProcessRPC(&ok);
    ASSERT_EQ(ok, VARIANT_TRUE) << FaultText(client.Get());
    Variant result;
    client->GetReturnValue(&result);
    ASSERT_EQ(result.vt, VT_UNKNOWN);
    EXPECT_EQ(StorageText(result.punkVal), "picture bytes");

    // Written again: a second record under a new identifier; the first stays.
    server->Serialize(&ok);
    ASSERT_EQ(ok, VARIANT_TRUE);
    const std::string again = BufferText(Buffer(server.Get()));
    records = Attachments(server.Get(), false);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(Narrow(records[0].id), id);
    EXPECT_NE(records[1].id, records[0].id);
    EXPECT_NE(again.find(Narrow(records[1].id)), std::string::npos) << again;
    EXPECT_EQ(again.find(id), std::string::npos) << again;
  }
}

TEST(QuenlinRegistrationTest, ProgIdsNameTheClass) {
  for (const char16_t* prog_id : {u"braskel.quenlin2.1", u"braskel.quenlin2"}) {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(prog_id, &clsid), S_OK);
    EXPECT_TRUE(clsid == CLSID_quenlin2);
  }
}

// The request-side checks of ProcessRPC against the real reader, in both
// versions: the method's namespace, the SOAPAction, the parameters.
TEST(ProcessRpcTest, RequestChecks) {
  struct Case {
    const char* name;
    int version;
    const char* method_ns;
    const char16_t* action;
    const char* param;
    const char16_t* code;  // empty: accepted
    const char16_t* subcode;
    const char16_t* text;
    const char* attributes = "";  // of the parameter
  } cases[] = {
      {"ok 1.1", 11, "urn:qv:mix", u"\"urn:qv:mix#mix\"", "inputString", u"", u"", u""},
      {"unknown ns 1.1", 11, "urn:wrong", u"\"urn:qv:mix#mix\"", "inputString", u"Client", u"",
       u"Unrecognized Remote Procedure: '{urn:wrong}mix'."},
      {"unknown ns 1.2", 12, "urn:wrong", u"", "inputString", u"Sender", u"ProcedureNotPresent",
       u"Unrecognized Remote Procedure: '{urn:wrong}mix'."},
      {"other action 1.1", 11, "urn:qv:mix", u"\"urn:other\"", "inputString", u"Client", u"",
       u"Unrecognized SOAPAction HTTP header: \"urn:other\"."},
      // SOAP 1.2 checks the action only where the description requires it.
      {"any action 1.2", 12, "urn:qv:mix", u"\"urn:other\"", "inputString", u"", u"", u""},
      {"bad parameter 1.1", 11, "urn:qv:mix", u"\"urn:qv:mix#mix\"", "zzz", u"Client", u"",
       u"Bad parameter: 'zzz'."},
      {"bad parameter 1.2", 12, "urn:qv:mix", u"", "zzz", u"Sender", u"BadArguments",
       u"Bad parameter: 'zzz'."},
      {"dangling reference 1.1", 11, "urn:qv:mix", u"\"urn:qv:mix#mix\"", "inputString", u"Client",
       u"", u"Parameter: 'inputString' has invalid reference.", " href=\"#gone\""},
      {"dangling reference 1.2", 12, "urn:qv:mix", u"", "inputString", u"Sender", u"MissingID",
       u"Parameter: 'inputString' has invalid reference.",
       " xmlns:c=\"http://www.w3.org/2003/05/soap-encoding\" c:ref=\"gone\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<Idorvish2> reader =
        testing::LoadReader(WriteWsdl(c.version, true), u"MixService", u"MixPort");
    ASSERT_TRUE(reader);
    const std::string env = c.version == 11 ? "http://schemas.xmlsoap.org/soap/envelope/"
                                            : "http://www.w3.org/2003/05/soap-envelope";
    const std::string request = "<e:Envelope xmlns:e=\"" + env + "\"><e:Body><m:mix xmlns:m=\"" +
                                c.method_ns + "\"><" + c.param + c.attributes + ">x</" + c.param +
                                "></m:mix></e:Body></e:Envelope>";
    ComPtr<Iquenlin2> m = NewMessage(Path::Vtable);
    Bstr none;
    VARIANT_BOOL ok = VARIANT_FALSE;
    m->Initialize(Bstr(u"MixService").Get(), Bstr(u"MixPort").Get(), none.Get(),
                  Bstr(c.action).Get(), none.Get(), VARIANT_FALSE, VARIANT_FALSE, reader.Get(),
                  &ok);
    Variant buffer;
    buffer.vt = VT_ARRAY | VT_UI1;
    buffer.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(request.size()));
    memcpy(buffer.parray->pvData, request.data(), request.size());
    m->SetBuffer(buffer, &ok);
    m->Deserialize(&ok);
    ASSERT_EQ(ok, VARIANT_TRUE) << FaultText(m.Get());
    m->ProcessRPC(&ok);
    if (!*c.code) {
      EXPECT_EQ(ok, VARIANT_TRUE) << FaultText(m.Get());
      continue;
    }
    EXPECT_EQ(ok, VARIANT_FALSE);
    Bstr code;
    m->GetSOAPFaultCode(code.Receive());
    EXPECT_EQ(code.View(), c.code);
    EXPECT_EQ(FaultText(m.Get()), Narrow(c.text));
    if (*c.subcode) {
      // The subcode travels in the written fault.
      m->SetRequestPhase(VARIANT_FALSE);
      m->Serialize(&ok);
      EXPECT_NE(BufferText(Buffer(m.Get())).find(Narrow(c.subcode)), std::string::npos);
    }
  }
}

// A call that arrived as an HTTP GET: the operation from the path, the rest
// of the path and the query as two parameters when the operation takes them,
// then the outputs to fill.
TEST(ProcessRpcTest, GetRequests) {
  ComPtr<Idorvish2> reader = testing::LoadReader(WriteWsdl(12, false), u"MixService", u"MixPort");
  ASSERT_TRUE(reader);
  struct Case {
    const char16_t* path;
    const char16_t* params;  // names and values, in order
  } cases[] = {
      {u"/where/a/b", u"bstrExtraPath=/a/b;bstrQueryString=q=1;"},
      {u"/where", u"bstrExtraPath=;bstrQueryString=q=1;"},
      // Outputs alone: an object would refuse names its operation never declared.
      {u"/mix/a/b", u"count;outStruct;"},
      {u"/", u""},
      {u"/unknown/x", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.path));
    ComPtr<Iquenlin2> m = NewMessage(Path::Vtable);
    Bstr none;
    VARIANT_BOOL ok = VARIANT_FALSE;
    m->Initialize(Bstr(u"MixService").Get(), Bstr(u"MixPort").Get(), none.Get(), none.Get(),
                  none.Get(), VARIANT_FALSE, VARIANT_FALSE, reader.Get(), &ok);
    m->ProcessRPCGet(none.Get(), Bstr(c.path).Get(), Bstr(u"q=1").Get(), &ok);
    EXPECT_EQ(ok, VARIANT_TRUE) << FaultText(m.Get());
    std::u16string seen;
    for (const Param& p : Params(m.Get())) {
      seen += p.name;
      if (p.value.vt == VT_BSTR) seen += u"=" + std::u16string(BstrView(p.value.bstrVal));
      seen += u";";
    }
    EXPECT_EQ(seen, c.params);
  }
  ComPtr<Iquenlin2> m = NewMessage(Path::Vtable);
  Bstr none, address;
  VARIANT_BOOL ok = VARIANT_FALSE;
  m->Initialize(none.Get(), none.Get(), none.Get(), none.Get(), none.Get(), VARIANT_FALSE,
                VARIANT_FALSE, reader.Get(), &ok);
  m->GetPortAddress(address.Receive());
  EXPECT_EQ(address.View(), u"http://localhost:8080/mix");
}

// Every version and use, on every path.
std::vector<RoundTripCase> RpcCases() {
  std::vector<RoundTripCase> cases;
  for (int version : {11, 12}) {
    for (bool encoded : {true, false}) {
      for (Path path : {Path::Vtable, Path::Dispatch, Path::ByName}) {
        cases.push_back({version, encoded, path});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Bindings, RoundTripTest, ::testing::ValuesIn(RpcCases()),
                         [](const auto& info) {
                           return std::string("Soap") + std::to_string(info.param.version) +
                                  (info.param.encoded ? "Encoded" : "Literal") +
                                  PathName(info.param.path);
                         });

}  // namespace
}  // namespace message
