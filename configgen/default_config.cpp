#include "configgen/default_config.h"

#include <cstdint>

#include "xml/namespaces.h"
#include "xml/utf8.h"
#include "xmldoc/xml_nodes.h"

namespace configgen {

using xml::XmlElement;
using xml::XmlElementPtr;

namespace {

// The default endpoints address this server on port 80.
constexpr std::u16string_view kLocalUrl = u"http://localhost";

std::u16string LocalUrl(std::u16string_view path) { return std::u16string(kLocalUrl).append(path); }

std::u16string TestRole(std::u16string_view node) {
  return std::u16string(xml::kSoap12TestNamespace).append(u"/").append(node);
}

// One row of the endpoint table; the WSDL file is appended to the base.
struct EndpointRow {
  const char* requestURI;
  const char16_t* service;
  const char16_t* port;
  const char* wsdlFile;
  const char16_t* bodyProgId;
  std::vector<std::u16string> headerProgIds;
  std::vector<std::u16string> roles;
  std::u16string nodeURI;
  std::u16string nextHopURL;
};

std::vector<EndpointRow> EndpointRows() {
  // In the order they are entered; the map decides the order written.
  // clang-format off
  return {
      {"/QVSOAPSvrCP", u"QVSOAPSvrMgr", u"QVSOAPSvrMgrPort", "QVSOAPSvrCP.wsdl",
       u"braskel.braskelmgr2", {u"jorvane.jorvex2"}, {}, {}, {}},
      {"/interop", u"interopLab", u"interopTestPort", "interop.wsdl", u"Vaskerin.interop", {}, {},
       {}, {}},
      {"/digauthtest", u"interopLabDA", u"interopPortDA", "soapauthtest.wsdl",
       u"Vaskerin.interop", {u"jorvane.jorvex2"}, {}, {}, {}},
      {"/dime-rpc/tandrel", u"TandrelDIMESvc", u"TandrelDIMERpcPort", "tandrel.wsdl",
       u"tandrelsvc.dimerpc", {u"tandrelhdr.dimerpc"}, {}, {}, {}},
      {"/echohdr", u"interopLabEchoHeader", u"interopPortEchoHdr", "VaskerinC.wsdl",
       u"Vaskerin.interop", {u"VaskerinC.echoheader"}, {}, {}, {}},
      {"/interopB", u"interopLabB", u"interopTestPortB", "interopB.wsdl", u"VaskerinB.interop", {},
       {}, {}, {}},
      {"/interopdoc", u"interopDocSvc", u"interopDocPort", "interopdoc.wsdl", u"Pellasco2.interop",
       {}, {}, {}, {}},
      {"/interop/wsrouter/intermediary", u"interopRoutingSvc", u"interopRoutingSoapPort",
       "qv_ws-rp_int.wsdl", u"", {u"braskel.hastrel2"},
       {LocalUrl(u"/roles/wsrouter/intermediary")}, LocalUrl(u"/interop/wsrouter/intermediary"),
       LocalUrl(u"/placeholder-url")},
      {"/interop/wsrouter/endpoint", u"interopEndpointSvc_WS-Routing",
       u"interopSoapPort_WS-Routing", "qv_ws-rp_end.wsdl", u"Vaskerin.interop",
       {u"braskel.hastrel2", u"VaskerinC.echoheader"}, {}, LocalUrl(u"/interop/wsrouter/endpoint"),
       {}},
      {"/soap12/test-intermediary", u"interopRoutingSvc", u"interopRoutingSoap12Port",
       "qv_ws-rp_int.wsdl", u"", {u"nimbor.doc"}, {TestRole(u"B")},
       LocalUrl(u"/soap12/test-intermediary"), LocalUrl(u"/soap12/test-doc")},
      {"/soap12/test-doc", u"QuorvelOrsquin", u"Soap12TestDocPort", "soap12-test.wsdl",
       u"orsquin.doc", {u"nimbor.doc"}, {TestRole(u"C")}, {}, {}},
      {"/soap12/test-rpc", u"QuorvelOrsquin", u"Soap12TestRpcPort", "soap12-test.wsdl",
       u"orsquin.rpc", {u"nimbor.rpc"}, {TestRole(u"C")}, {}, {}},
      {"/test-rpc-lit", u"QuorvelSoapRpcLitTestSvc", u"Soap11TestRpcLitPort", "test-rpc-lit.wsdl",
       u"orsquin.rpc", {}, {}, {}, {}},
      {"/soap12/test-rpc-lit", u"QuorvelSoapRpcLitTestSvc", u"Soap12TestRpcLitPort",
       "test-rpc-lit.wsdl", u"orsquin.rpc", {}, {}, {}, {}},
  };
  // clang-format on
}

XmlElement* Child(XmlElement* parent, std::u16string_view name) {
  return xmldoc::CreateChildElement(parent, u"", u"", name);
}

void AddText(XmlElement* parent, std::u16string_view name, std::u16string_view value) {
  Child(parent, name)->SetText(std::u16string(value));
}

void AddUtf8(XmlElement* parent, std::u16string_view name, std::string_view value) {
  xmldoc::SetNodeTextNarrow(value, *Child(parent, name));
}

void AddSigned(XmlElement* parent, std::u16string_view name, int value) {
  xmldoc::SetNodeInt(value, *Child(parent, name));
}

void AddUnsigned(XmlElement* parent, std::u16string_view name, uint32_t value) {
  xmldoc::SetNodeULong(value, *Child(parent, name));
}

void AddFlag(XmlElement* parent, std::u16string_view name, bool value) {
  xmldoc::SetNodeBool(value, *Child(parent, name));
}

void AddEach(XmlElement* parent, std::u16string_view list, std::u16string_view item,
             const std::vector<std::u16string>& values) {
  XmlElement* l = Child(parent, list);
  for (const std::u16string& v : values) AddText(l, item, v);
}

void AddServerSettings(XmlElement* root, const std::string& dir) {
  AddText(root, u"listenAddress", u"");
  AddSigned(root, u"listenPort", 80);
  AddSigned(root, u"numWorkThreads", 8);
  AddSigned(root, u"maxClients", 16);
  AddSigned(root, u"clientTimeout", 60);
  AddUnsigned(root, u"watchdogInterval", 15);
  AddSigned(root, u"wsdlCacheSize", 20);
  AddFlag(root, u"enableNameLookup", false);
  AddUtf8(root, u"docBasePath", dir + "/docroot/");
  AddUtf8(root, u"defaultDocument", "default.htm");
  AddFlag(root, u"enableServerLog", true);
  AddUtf8(root, u"serverLogPath", dir + "/logs/server.log");
  AddFlag(root, u"enableTraceLog", false);
  AddUtf8(root, u"traceLogPath", dir + "/logs/trace.log");
  AddFlag(root, u"enableUserAgentLog", false);
  AddUtf8(root, u"userAgentLogPath", dir + "/logs/useragent.log");
  AddUnsigned(root, u"logRotationInterval", 0);
}

void AddEndpoint(XmlElement* list, const EndpointRecord& r) {
  XmlElement* e = Child(list, u"endpoint");
  AddUtf8(e, u"requestURI", r.requestURI);
  AddText(e, u"wsdlService", r.wsdlService);
  AddText(e, u"wsdlPort", r.wsdlPort);
  AddUtf8(e, u"wsdlDocURL", r.wsdlDocURL);
  AddText(e, u"bodyProcessingProgId", r.bodyProgId);
  AddEach(e, u"headerProcessingProgIds", u"progId", r.headerProgIds);
  AddEach(e, u"roles", u"uri", r.roles);
  AddText(e, u"nodeURI", r.nodeURI);
  AddText(e, u"nextHopURL", r.nextHopURL);
  AddFlag(e, u"enabled", r.enabled);
  AddFlag(e, u"enableExplicitTyping", r.explicitTyping);
  AddFlag(e, u"enableNodeType", r.nodeType);
}

}  // namespace

std::string InstallDirectory(std::string_view executablePath) {
  const size_t slash = executablePath.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(executablePath.substr(0, slash));
}

std::string WsdlBase(std::string_view installDir) {
  return "file://" + std::string(installDir) + "/docroot/wsdl/";
}

bool IsWritableInstallDirectory(std::string_view installDir) {
  size_t at = 0;
  while (at < installDir.size()) {
    char32_t cp = 0;
    const size_t used = xml::Utf8DecodeChar(&cp, installDir.data() + at, installDir.size() - at);
    if (used == 0) return false;
    if (cp < 0x20 || cp == 0x7F || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp == 0xFFFE || cp == 0xFFFF) return false;  // no XML characters: the file would not load
    at += used;
  }
  return true;
}

EndpointMap DefaultEndpoints(std::string_view wsdlBase) {
  EndpointMap endpoints;
  for (EndpointRow& row : EndpointRows()) {
    EndpointRecord r;
    r.requestURI = row.requestURI;
    r.wsdlDocURL = std::string(wsdlBase) + row.wsdlFile;
    r.wsdlService = row.service;
    r.wsdlPort = row.port;
    r.bodyProgId = row.bodyProgId;
    r.headerProgIds = std::move(row.headerProgIds);
    r.roles = std::move(row.roles);
    r.nodeURI = std::move(row.nodeURI);
    r.nextHopURL = std::move(row.nextHopURL);
    endpoints.emplace(r.requestURI, std::move(r));
  }
  return endpoints;
}

MimeMap DefaultMimeMap() {
  // clang-format off
  return {
      {u".GIF", u"image/gif"},        {u".HTM", u"text/html"},
      {u".HTML", u"text/html"},       {u".TXT", u"text/plain"},
      {u".WSDL", u"text/xml"},        {u".XML", u"text/xml"},
      {u".XSD", u"text/xml"},         {u".JPG", u"image/jpeg"},
      {u".JPEG", u"image/jpeg"},      {u".DOC", u"application/msword"},
      {u".PDF", u"application/pdf"},  {u".RTF", u"application/rtf"},
      {u".TIF", u"image/tiff"},       {u".TIFF", u"image/tiff"},
      {u".ZIP", u"application/zip"},  {u".MPG", u"video/mpeg"},
      {u".MPEG", u"video/mpeg"},      {u".PS", u"application/postscript"},
  };
  // clang-format on
}

XmlElementPtr BuildDefaultConfig(std::string_view installDir) {
  const std::string dir(installDir);
  XmlElementPtr root;
  XmlElement* r = xmldoc::CreateRootElement(root, u"", u"", u"configuration");
  AddServerSettings(r, dir);

  XmlElement* list = Child(r, u"endpointList");
  for (const auto& [uri, record] : DefaultEndpoints(WsdlBase(dir))) AddEndpoint(list, record);

  XmlElement* mime = Child(r, u"mimeMappings");
  for (const auto& [extension, type] : DefaultMimeMap()) {
    XmlElement* item = Child(mime, u"item");
    AddText(item, u"extension", extension);
    AddText(item, u"mimeType", type);
  }
  return root;
}

}  // namespace configgen
