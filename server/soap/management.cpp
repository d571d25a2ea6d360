#include "server/soap/management.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/soapstruct.h"
#include "interfaces/soapstruct_access.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/dispatch.h"
#include "platform/com/object.h"
#include "platform/com/text_array.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"
#include "server/http/config.h"
#include "server/http/server_core.h"
#include "server/soap/soap_server.h"
#include "server/soap/wsdl_cache.h"

namespace server {

LONG SaturatedLong(uint64_t value) {
  return value > uint64_t(kMaxReportedCount) ? kMaxReportedCount : LONG(value);
}

namespace {

constexpr VARIANT_BOOL Bool(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }

// Text the server keeps narrow crosses as UTF-8 both ways, so a Get then a
// Set gives back the same bytes.
BSTR NarrowToBstr(const std::string& s) { return SysAllocString(text::Widen(s)); }

// The configuration file is XML: text it cannot hold (controls, lone
// surrogates, U+FFFE and U+FFFF) would be written into a file that no longer
// loads, so such text is refused on the way in.
bool StorableText(std::u16string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      ++i;
      continue;
    }
    const bool ok = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                    (c >= 0xE000 && c <= 0xFFFD);
    if (!ok) return false;
  }
  return true;
}

// One endpoint as a struct carries it.
struct IncomingEndpoint {
  std::string requestURI;
  bool wildcard = false;
  std::string wsdlDocURL;
  std::u16string wsdlService, wsdlPort, bodyProcessingProgId, nextHopURL, nodeURI;
  std::vector<std::u16string> headerProcessingProgIds, roles;
  bool enabled = false;
};

// A string value: a BSTR, or nothing at all for the empty string.
bool ReadText(const VARIANT& v, std::u16string* out) {
  if (v.vt == VT_EMPTY || v.vt == VT_NULL) {
    out->clear();
    return true;
  }
  if (v.vt != VT_BSTR || !StorableText(BstrView(v.bstrVal))) return false;
  out->assign(BstrView(v.bstrVal));
  return true;
}

// The text element at `indices`, which the configuration file can hold.
bool ReadTextElement(SAFEARRAY* a, VARTYPE et, const LONG* indices, std::u16string* out) {
  return com::GetTextElement(a, et, indices, com::EmptyElement::Refused, out) &&
         StorableText(*out);
}

// HdrProgIDs and Roles: a one-dimensional array of strings; nothing at all is
// an empty list.
bool ReadTextList(const VARIANT& in, std::vector<std::u16string>* out) {
  return com::GetTextVector(in, com::EmptyElement::Refused, out) &&
         std::all_of(out->begin(), out->end(), [](const auto& s) { return StorableText(s); });
}

// A member's value; a missing member reads as empty.
Variant Member(ISoapStruct* s, const char16_t* name) { return SoapStructMember(s, name); }

// One SvcInfo element, checked whole.
bool ReadEndpoint(const VARIANT& element, IncomingEndpoint* e) {
  ComPtr<ISoapStruct> s = SoapStructOf(element);
  if (!s) return false;
  std::u16string uri, wsdlUrl;
  // A request path always starts with "/": any other URI names an endpoint
  // no request could reach.
  if (!ReadText(Member(s.Get(), u"SvcURI"), &uri) || !uri.starts_with(u'/') ||
      !ReadText(Member(s.Get(), u"SvcName"), &e->wsdlService) ||
      !ReadText(Member(s.Get(), u"Port"), &e->wsdlPort) ||
      !ReadText(Member(s.Get(), u"WSDL_URL"), &wsdlUrl) ||
      !ReadText(Member(s.Get(), u"SvcProgID"), &e->bodyProcessingProgId) ||
      !ReadTextList(Member(s.Get(), u"HdrProgIDs"), &e->headerProcessingProgIds) ||
      !ReadTextList(Member(s.Get(), u"Roles"), &e->roles) ||
      !ReadText(Member(s.Get(), u"NextHopURL"), &e->nextHopURL) ||
      !ReadText(Member(s.Get(), u"NodeURI"), &e->nodeURI)) {
    return false;
  }
  const Variant enabled = Member(s.Get(), u"Enabled");
  if (enabled.vt == VT_BOOL) {
    e->enabled = enabled.boolVal == VARIANT_TRUE;
  } else if (enabled.vt == VT_EMPTY || enabled.vt == VT_NULL) {
    e->enabled = false;
  } else {
    return false;
  }
  e->requestURI = text::Narrow(uri);
  if (e->requestURI.size() >= 2 && e->requestURI.ends_with("/*")) {
    e->requestURI.resize(e->requestURI.size() - 2);
    e->wildcard = true;
  }
  e->wsdlDocURL = text::Narrow(wsdlUrl);
  return true;
}

bool ReadSvcInfo(const VARIANT& in, std::vector<IncomingEndpoint>* out) {
  Variant holder;
  SAFEARRAY* a = nullptr;
  LONG lo = 0, hi = -1;
  if (!com::OpenVariantVector(in, &holder, &a, &lo, &hi)) return false;
  for (int64_t i = lo; i <= hi; ++i) {
    const LONG index = LONG(i);
    Variant element;
    IncomingEndpoint e;
    if (FAILED(SafeArrayGetElement(a, &index, &element)) || !ReadEndpoint(element, &e)) {
      return false;
    }
    out->push_back(std::move(e));
  }
  return true;
}

bool AsciiIEqual(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

// MIMETypes: two dimensions, the first of exactly two elements (extension,
// type), the second one entry each. An extension already present in any
// case keeps its first type.
bool ReadMimeTypes(const VARIANT& in, MimeMap* out) {
  Variant holder;
  SAFEARRAY* a = nullptr;
  VARTYPE et = VT_EMPTY;
  LONG lo0 = 0, hi0 = -1, lo1 = 0, hi1 = -1;
  if (FAILED(VariantCopyInd(&holder, &in)) || !com::OpenTextArray(holder, 2, &a, &et) ||
      !com::GetArrayBounds(a, 1, &lo0, &hi0) || !com::GetArrayBounds(a, 2, &lo1, &hi1) ||
      int64_t(hi0) - lo0 != 1) {
    return false;
  }
  for (int64_t i = lo1; i <= hi1; ++i) {
    const LONG extIndex[2] = {lo0, LONG(i)};
    const LONG typeIndex[2] = {hi0, LONG(i)};
    std::u16string ext, type;
    if (!ReadTextElement(a, et, extIndex, &ext) || !ReadTextElement(a, et, typeIndex, &type)) {
      return false;
    }
    std::string key = text::Narrow(ext);
    const bool present = std::any_of(
        out->begin(), out->end(), [&](const auto& entry) { return AsciiIEqual(entry.first, key); });
    if (!present) out->emplace(std::move(key), text::Narrow(type));
  }
  return true;
}

HRESULT PutMember(ISoapStruct* s, const char16_t* name, const VARIANT& value) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  Bstr bname{std::u16string_view(name)};
  const HRESULT hr = s->SetMember(bname.Get(), value, &ok);
  return FAILED(hr) ? hr : ok == VARIANT_TRUE ? S_OK : E_FAIL;
}

// A new one-dimensional VT_ARRAY|VT_VARIANT of VT_BSTR.
bool MakeTextList(const std::vector<std::u16string>& items, Variant* out) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(items.size()));
  if (!a) return false;
  for (size_t i = 0; i < items.size(); ++i) {
    const LONG index = LONG(i);
    Variant item = Variant::FromText(items[i]);
    if (item.vt != VT_BSTR || FAILED(SafeArrayPutElement(a, &index, &item))) {
      SafeArrayDestroy(a);
      return false;
    }
  }
  out->vt = VT_ARRAY | VT_VARIANT;
  out->parray = a;
  return true;
}

// One endpoint as a SvcInfo element (VT_DISPATCH).
bool MakeEndpointStruct(const EndpointInfo& e, Variant* out) {
  ComPtr<ISoapStruct> s;
  if (FAILED(CoCreateInstance(CLSID_SoapStruct, nullptr,
                              CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                              ISoapStruct::kIid, s.ReceiveVoid())) ||
      !s) {
    return false;
  }
  std::string uri = e.requestURI;
  if (e.wildcard) uri += "/*";
  Variant headers, roles;
  if (!MakeTextList(e.headerProcessingProgIds, &headers) || !MakeTextList(e.roles, &roles)) {
    return false;
  }
  std::pair<const char16_t*, Variant> members[] = {
      {u"SvcURI", Variant::FromText(text::Widen(uri))},
      {u"SvcName", Variant::FromText(e.wsdlService)},
      {u"Port", Variant::FromText(e.wsdlPort)},
      {u"WSDL_URL", Variant::FromText(text::Widen(e.wsdlDocURL))},
      {u"SvcProgID", Variant::FromText(e.bodyProcessingProgId)},
      {u"HdrProgIDs", std::move(headers)},
      {u"Roles", std::move(roles)},
      {u"NextHopURL", Variant::FromText(e.nextHopURL)},
      {u"NodeURI", Variant::FromText(e.nodeURI)},
      {u"Enabled", Variant::FromBool(e.enabled)},
  };
  for (const auto& [name, value] : members) {
    // An empty value here means a string could not be allocated.
    if (value.vt == VT_EMPTY || FAILED(PutMember(s.Get(), name, value))) return false;
  }
  ComPtr<IDispatch> dispatch = com::QueryInterfacePtr<IDispatch>(s.Get());
  if (!dispatch) return false;
  out->vt = VT_DISPATCH;
  out->pdispVal = dispatch.Detach();
  return true;
}

// Asks the server's WSDL cache to drop its readers at the next watchdog pass
// that finds no client, even when the list comes back unchanged (a document
// behind an unchanged URL may have changed). Runs under the configuration
// lock, which the cache also takes, so it only marks the request.
void RequestWsdlCacheFlush(SoapServer& server) {
  if (WsdlCache* cache = server.WsdlReaders()) cache->RequestFlush();
}

class Braskelmgr2 final : public com::ComObject<Braskelmgr2, com::Dispatch<Ibraskelmgr2>> {
 public:
  explicit Braskelmgr2(SoapServer* server) : server_(server) {}

  HRESULT GetServerStats(LONG* NumConnects, LONG* NumBytesSent, LONG* NumHTTPErrors,
                         LONG* NumNetErrors, LONG* NumIntErrors, VARIANT_BOOL* Result) override {
    *NumConnects = *NumBytesSent = *NumHTTPErrors = *NumNetErrors = *NumIntErrors = 0;
    *Result = VARIANT_FALSE;
    if (!server_) return S_OK;
    if (const ServerCore* core = server_->Core()) {
      const ServerStats& s = core->Stats();
      *NumConnects = SaturatedLong(s.numConnects.load(std::memory_order_relaxed));
      *NumBytesSent = SaturatedLong(s.numBytesSent.load(std::memory_order_relaxed));
      *NumHTTPErrors = SaturatedLong(s.numHttpErrors.load(std::memory_order_relaxed));
      *NumNetErrors = SaturatedLong(s.numNetErrors.load(std::memory_order_relaxed));
      *NumIntErrors = SaturatedLong(s.numIntErrors.load(std::memory_order_relaxed));
    }
    *Result = VARIANT_TRUE;
    return S_OK;
  }

  HRESULT GetServerParams(LONG* ListenPort, LONG* NumWorkThreads, LONG* NumClientConn,
                          LONG* ClientTimeout, LONG* WatchdogTimer, VARIANT_BOOL* Result) override {
    *ListenPort = *NumWorkThreads = *NumClientConn = *ClientTimeout = *WatchdogTimer = 0;
    *Result = VARIANT_FALSE;
    if (!server_) return S_OK;
    const ServerSettings& s = server_->Settings();
    *ListenPort = s.listenPort;
    *NumWorkThreads = s.numWorkThreads;
    *NumClientConn = s.maxClients;
    *ClientTimeout = s.clientTimeout;
    *WatchdogTimer = SaturatedLong(s.watchdogInterval);
    *Result = VARIANT_TRUE;
    return S_OK;
  }

  HRESULT GetServiceInfo(VARIANT* SvcInfo, VARIANT_BOOL* Result) override {
    VariantInit(SvcInfo);
    *Result = VARIANT_FALSE;
    if (!server_) return S_OK;
    const ConfigSnapshotPtr config = server_->Config();
    SAFEARRAY* a = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(config->endpoints.size()));
    if (!a) return S_OK;
    LONG index = 0;
    for (const auto& [key, endpoint] : config->endpoints) {
      Variant element;
      if (!MakeEndpointStruct(endpoint, &element) ||
          FAILED(SafeArrayPutElement(a, &index, &element))) {
        SafeArrayDestroy(a);
        return S_OK;
      }
      ++index;
    }
    SvcInfo->vt = VT_ARRAY | VT_VARIANT;
    SvcInfo->parray = a;
    *Result = VARIANT_TRUE;
    return S_OK;
  }

  HRESULT SetServiceInfo(VARIANT SvcInfo, VARIANT_BOOL* Result) override {
    *Result = VARIANT_FALSE;
    std::vector<IncomingEndpoint> incoming;
    if (!server_ || !ReadSvcInfo(SvcInfo, &incoming)) return S_OK;
    SoapServer& server = *server_;
    const bool saved = server_->ChangeConfig([&](ConfigSnapshot& config) {
      RequestWsdlCacheFlush(server);
      for (IncomingEndpoint& in : incoming) {
        auto it = config.endpoints.find(in.requestURI);
        if (it == config.endpoints.end()) {
          it = config.endpoints.emplace(in.requestURI, EndpointInfo{}).first;
        }
        EndpointInfo& e = it->second;  // the three switches stay as they were
        e.requestURI = in.requestURI;
        e.wsdlDocURL = std::move(in.wsdlDocURL);
        e.wsdlService = std::move(in.wsdlService);
        e.wsdlPort = std::move(in.wsdlPort);
        e.bodyProcessingProgId = std::move(in.bodyProcessingProgId);
        e.headerProcessingProgIds = std::move(in.headerProcessingProgIds);
        e.nextHopURL = std::move(in.nextHopURL);
        e.roles = std::move(in.roles);
        e.nodeURI = std::move(in.nodeURI);
        e.enabled = in.enabled;
        e.wildcard = in.wildcard;
      }
    });
    *Result = Bool(saved);
    return S_OK;
  }

  HRESULT GetHTTPSettings(BSTR* DocRootPath, BSTR* DefaultFilePath, VARIANT* MIMETypes,
                          VARIANT_BOOL* Result) override {
    *DocRootPath = *DefaultFilePath = nullptr;
    VariantInit(MIMETypes);
    *Result = VARIANT_FALSE;
    if (!server_) return S_OK;
    const ConfigSnapshotPtr config = server_->Config();
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {ULONG(config->mimeMap.size()), 0}};
    SAFEARRAY* a = SafeArrayCreate(VT_VARIANT, 2, bounds);
    if (!a) return S_OK;
    LONG i = 0;
    for (const auto& entry : config->mimeMap) {
      Variant e = Variant::FromText(text::Widen(entry.first));
      Variant t = Variant::FromText(text::Widen(entry.second));
      const LONG extIndex[2] = {0, i}, typeIndex[2] = {1, i};
      if (e.vt != VT_BSTR || t.vt != VT_BSTR || FAILED(SafeArrayPutElement(a, extIndex, &e)) ||
          FAILED(SafeArrayPutElement(a, typeIndex, &t))) {
        SafeArrayDestroy(a);
        return S_OK;
      }
      ++i;
    }
    MIMETypes->vt = VT_ARRAY | VT_VARIANT;
    MIMETypes->parray = a;
    *DocRootPath = NarrowToBstr(config->docBasePath);
    *DefaultFilePath = NarrowToBstr(config->defaultDocument);
    *Result = VARIANT_TRUE;
    return S_OK;
  }

  HRESULT SetHTTPSettings(BSTR DocRootPath, BSTR DefaultFilePath, VARIANT MIMETypes,
                          VARIANT_BOOL* Result) override {
    *Result = VARIANT_FALSE;
    MimeMap mime;
    if (!server_ || !StorableText(BstrView(DocRootPath)) ||
        !StorableText(BstrView(DefaultFilePath)) || !ReadMimeTypes(MIMETypes, &mime)) {
      return S_OK;
    }
    std::string root = text::Narrow(BstrView(DocRootPath));
    std::string document = text::Narrow(BstrView(DefaultFilePath));
    *Result = Bool(server_->ChangeConfig([&](ConfigSnapshot& config) {
      config.mimeMap = std::move(mime);
      config.docBasePath = std::move(root);
      config.defaultDocument = std::move(document);
    }));
    return S_OK;
  }

  HRESULT GetLogSettings(BSTR* ServerLogPath, BSTR* UserAgentLogPath, BSTR* SOAPTraceLogPath,
                         VARIANT_BOOL* ServerLogEnabled, VARIANT_BOOL* UserAgentLogEnabled,
                         VARIANT_BOOL* SOAPTraceLogEnabled, VARIANT_BOOL* Result) override {
    *ServerLogPath = *UserAgentLogPath = *SOAPTraceLogPath = nullptr;
    *ServerLogEnabled = *UserAgentLogEnabled = *SOAPTraceLogEnabled = VARIANT_FALSE;
    *Result = VARIANT_FALSE;
    if (!server_) return S_OK;
    const LogSettings& logs = server_->Config()->logs;
    *ServerLogPath = NarrowToBstr(logs.server_log_path);
    *UserAgentLogPath = NarrowToBstr(logs.user_agent_log_path);
    *SOAPTraceLogPath = NarrowToBstr(logs.trace_log_path);
    *ServerLogEnabled = Bool(logs.enable_server_log);
    *UserAgentLogEnabled = Bool(logs.enable_user_agent_log);
    *SOAPTraceLogEnabled = Bool(logs.enable_trace_log);
    *Result = VARIANT_TRUE;
    return S_OK;
  }

  HRESULT SetLogSettings(BSTR ServerLogPath, BSTR UserAgentLogPath, BSTR SOAPTraceLogPath,
                         VARIANT_BOOL ServerLogEnabled, VARIANT_BOOL UserAgentLogEnabled,
                         VARIANT_BOOL SOAPTraceLogEnabled, VARIANT_BOOL* Result) override {
    *Result = VARIANT_FALSE;
    if (!server_) return S_OK;
    for (BSTR path : {ServerLogPath, UserAgentLogPath, SOAPTraceLogPath}) {
      if (!StorableText(BstrView(path))) return S_OK;
    }
    LogSettings logs;
    logs.server_log_path = text::Narrow(BstrView(ServerLogPath));
    logs.user_agent_log_path = text::Narrow(BstrView(UserAgentLogPath));
    logs.trace_log_path = text::Narrow(BstrView(SOAPTraceLogPath));
    logs.enable_server_log = ServerLogEnabled == VARIANT_TRUE;
    logs.enable_user_agent_log = UserAgentLogEnabled == VARIANT_TRUE;
    logs.enable_trace_log = SOAPTraceLogEnabled == VARIANT_TRUE;
    // Two changes at once must open the logs in the order they were
    // published, so the open logs always match the configuration.
    static std::mutex order;
    std::lock_guard<std::mutex> lock(order);
    const bool saved = server_->ChangeConfig([&](ConfigSnapshot& config) { config.logs = logs; });
    // In force whether or not the file was written: the logs reopen from the
    // snapshot just published.
    server_->Logs().OpenLogs();
    *Result = Bool(saved);
    return S_OK;
  }

 private:
  SoapServer* const server_;
};

}  // namespace

HRESULT CreateManagementObject(SoapServer* server, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ComPtr<Braskelmgr2> mgr = com::MakeComObject<Braskelmgr2>(server);
  return mgr->QueryInterface(iid, object);
}

}  // namespace server
