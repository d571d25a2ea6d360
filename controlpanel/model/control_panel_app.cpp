#include "controlpanel/model/control_panel_app.h"

#include <algorithm>
#include <string_view>

#include "controlpanel/model/soap_client_channel.h"
#include "interfaces/soapstruct.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"
#include "platform/thread/clock.h"
#include "xml/namespaces.h"

#include "xml/xml_element.h"
#include "xmldoc/xml_doc_reader.h"
#include "xmldoc/xml_nodes.h"

namespace controlpanel {
namespace {

using xml::XmlElement;

// The first element "/name" selects, or null.
const XmlElement* Setting(xmldoc::XmlDocReader& doc, std::u16string_view name) {
  std::u16string path = u"/";
  path.append(name);
  if (!doc.Query(path, {})) return nullptr;
  return doc.NextNode();
}

void ReadText(xmldoc::XmlDocReader& doc, std::u16string_view name, std::string* value,
              const char* fallback) {
  if (const XmlElement* e = Setting(doc, name)) {
    xmldoc::GetNodeTextNarrow(value, *e);
  } else if (fallback != nullptr) {
    *value = fallback;
  }
}

void ReadInt(xmldoc::XmlDocReader& doc, std::u16string_view name, int* value, const int* fallback) {
  if (const XmlElement* e = Setting(doc, name)) {
    xmldoc::GetNodeInt(value, *e);
  } else if (fallback != nullptr) {
    *value = *fallback;
  }
}

// False for text that is no boolean.
bool ReadBool(xmldoc::XmlDocReader& doc, std::u16string_view name, bool* value) {
  if (const XmlElement* e = Setting(doc, name)) return xmldoc::GetNodeBool(value, *e);
  *value = false;
  return true;
}

void Add(XmlElement* root, std::u16string_view name, const std::string& value) {
  xmldoc::SetNodeTextNarrow(value, *xmldoc::CreateChildElement(root, u"", u"", name));
}

void Add(XmlElement* root, std::u16string_view name, int value) {
  xmldoc::SetNodeInt(value, *xmldoc::CreateChildElement(root, u"", u"", name));
}

void Add(XmlElement* root, std::u16string_view name, bool value) {
  xmldoc::SetNodeBool(value, *xmldoc::CreateChildElement(root, u"", u"", name));
}

// The member's value when it has exactly type `vt`.
bool Member(ISoapStruct* s, std::u16string_view name, VARTYPE vt, Variant* value) {
  const Bstr name_text(name);
  VARIANT_BOOL ok = VARIANT_FALSE;
  return SUCCEEDED(s->GetMember(name_text.Get(), value->Receive(), &ok)) && ok == VARIANT_TRUE &&
         value->vt == vt;
}

void ReadText(ISoapStruct* s, std::u16string_view name, std::string* out) {
  Variant v;
  if (Member(s, name, VT_BSTR, &v)) out->assign(text::Narrow(std::u16string_view(
                                        v.bstrVal, v.bstrVal == nullptr ? 0 : SysStringLen(v.bstrVal))));
}

void SetText(ISoapStruct* s, std::u16string_view name, const std::string& value) {
  const Bstr name_text(name);
  Variant v = Variant::FromText(text::Widen(value));
  VARIANT_BOOL ignored = VARIANT_FALSE;
  s->SetMember(name_text.Get(), v, &ignored);
}

}  // namespace

void CControlPanelApp::AddAuthHeader(bool probe) {
  if (probe) return;
  ComPtr<ISoapStruct> block;
  if (FAILED(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_SERVER, ISoapStruct::kIid,
                              block.ReceiveVoid())) ||
      !block) {
    return;
  }
  SetText(block.Get(), digestauth::kNonceMember, digest_.server_nonce);
  MakeClientNonce();
  ComputeAuth();
  {
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, digestauth::kMd5DigestBytes);
    if (bytes == nullptr) return;
    std::copy(digest_.client_proof.begin(), digest_.client_proof.end(),
              static_cast<uint8_t*>(bytes->pvData));
    Variant auth;
    auth.vt = VT_ARRAY | VT_UI1;
    auth.parray = bytes;
    const Bstr name_text(digestauth::kAuthMember);
    VARIANT_BOOL ignored = VARIANT_FALSE;
    block->SetMember(name_text.Get(), auth, &ignored);
  }
  SetText(block.Get(), digestauth::kUserIdMember, digest_.user_id);
  SetText(block.Get(), digestauth::kRealmMember, digest_.realm);
  SetText(block.Get(), digestauth::kClientNonceMember, digest_.client_nonce);
  ComPtr<IDispatch> dispatch = com::QueryInterfacePtr<IDispatch>(block.Get());
  if (!dispatch) return;
  Variant content;
  content.vt = VT_DISPATCH;
  content.pdispVal = dispatch.Detach();
  Channel().AddHeader(xml::kDigestAuthNamespace, digestauth::kClientAuthBlock, content, true, u"");
}

void CControlPanelApp::ReadAuthHeader() {
  digest_.status.clear();
  digest_.expired_nonce = false;
  // An answer without a proof must not pass on an earlier answer's.
  digest_.server_proof.fill(0);
  Variant content;
  if (!Channel().GetHeader(xml::kDigestAuthNamespace, digestauth::kChallengeBlock,
                           content.Receive()) &&
      !Channel().GetHeader(xml::kDigestAuthNamespace, digestauth::kNextChallengeBlock,
                           content.Receive())) {
    return;
  }
  ReadAuthBlock(content);
}

void CControlPanelApp::ReadAuthBlock(const VARIANT& content) {
  // A hostile answer may carry any type here: only a plain object is used.
  if (content.vt != VT_DISPATCH || content.pdispVal == nullptr) return;
  ComPtr<ISoapStruct> block = com::QueryInterfacePtr<ISoapStruct>(content.pdispVal);
  if (!block) return;
  ReadText(block.Get(), digestauth::kStatusMember, &digest_.status);
  digest_.expired_nonce = digest_.status == digestauth::kStatusExpiredNonce;
  ReadText(block.Get(), digestauth::kNonceMember, &digest_.server_nonce);
  ReadText(block.Get(), digestauth::kRealmMember, &digest_.realm);
  Variant proof;
  if (Member(block.Get(), digestauth::kServerAuthMember, VT_ARRAY | VT_UI1, &proof) &&
      proof.parray != nullptr && SafeArrayGetDim(proof.parray) == 1 &&
      proof.parray->rgsabound[0].cElements >= digestauth::kMd5DigestBytes) {
    void* data = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(proof.parray, &data))) {
      std::copy_n(static_cast<const uint8_t*>(data), digestauth::kMd5DigestBytes,
                  digest_.server_proof.begin());
      SafeArrayUnaccessData(proof.parray);
    }
  }
}

CControlPanelApp::CControlPanelApp(uint32_t timeout_ms)
    : ticks_([] { return static_cast<uint32_t>(GetTickCount()); }),
      client_(client::ControlPanelProxyProfile(), timeout_ms),
      own_channel_(std::make_unique<SoapClientChannel>(client_)) {}

void CControlPanelApp::MakeClientNonce() {
  const uint32_t tick = ticks_();
  const uint8_t bytes[4] = {static_cast<uint8_t>(tick), static_cast<uint8_t>(tick >> 8),
                            static_cast<uint8_t>(tick >> 16), static_cast<uint8_t>(tick >> 24)};
  digestauth::Md5 md5;
  md5.Update(bytes, sizeof bytes);
  md5.HexDigest(digest_.client_nonce);
}

void CControlPanelApp::ComputeAuth() {
  const std::string user_hash =
      digestauth::UserHash(digest_.user_id, digest_.realm, digest_.password);
  digest_.client_proof =
      digestauth::ClientProof(user_hash, digest_.server_nonce, &digest_.client_nonce);
}

bool CControlPanelApp::VerifyServerAuth() const {
  const std::string user_hash =
      digestauth::UserHash(digest_.user_id, digest_.realm, digest_.password);
  const digestauth::Digest expected =
      digestauth::ServerProof(user_hash, digest_.server_nonce, digest_.client_nonce);
  return digestauth::SameDigest(expected, digest_.server_proof.data());
}

std::string CControlPanelApp::ConfigPathIn(const std::string& directory) {
  return directory + "/" + kConfigFileName;
}

bool CControlPanelApp::LoadConfig(const std::string& path) {
  xmldoc::XmlDocReader doc;
  if (!doc.LoadDocumentFromFile(path) || doc.GetRoot() == nullptr) return false;
  static constexpr int kDefaultPort = 80;
  Settings& s = settings_;
  ReadText(doc, u"hostname", &s.hostname, nullptr);
  ReadInt(doc, u"portNbr", &s.port, &kDefaultPort);
  ReadText(doc, u"svcURI", &s.service_uri, "/QVSOAPSvrCP");
  ReadText(doc, u"wsdlServiceName", &s.wsdl_service_name, "QVSOAPSvrMgr");
  ReadText(doc, u"wsdlPortName", &s.wsdl_port_name, "QVSOAPSvrMgrPort");
  if (!ReadBool(doc, u"viewBuffers", &s.view_buffers)) return false;
  if (!ReadBool(doc, u"useProxy", &s.use_proxy)) return false;
  ReadText(doc, u"proxyHost", &s.proxy_host, nullptr);
  ReadInt(doc, u"proxyPort", &s.proxy_port, nullptr);
  config_path_ = path;
  return true;
}

void CControlPanelApp::SaveConfig() {
  if (config_path_.empty()) return;
  XmlElement root(u"configuration", u"", u"configuration");
  const Settings& s = settings_;
  Add(&root, u"hostname", s.hostname);
  Add(&root, u"portNbr", s.port);
  Add(&root, u"svcURI", s.service_uri);
  Add(&root, u"wsdlServiceName", s.wsdl_service_name);
  Add(&root, u"wsdlPortName", s.wsdl_port_name);
  Add(&root, u"viewBuffers", s.view_buffers);
  Add(&root, u"useProxy", s.use_proxy);
  Add(&root, u"proxyHost", s.proxy_host);
  Add(&root, u"proxyPort", s.proxy_port);
  xmldoc::WriteDocumentToFile(config_path_, root);
}

}  // namespace controlpanel
