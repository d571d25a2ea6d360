#include "server/http/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file/atomic_file.h"
#include "platform/text/text.h"
#include "xmldoc/xml_nodes.h"

namespace server {

using xml::XmlElement;
using xml::XmlElementPtr;
using xmldoc::ChildrenNamed;
using xmldoc::CreateChildElement;
using xmldoc::CreateRootElement;
using xmldoc::DocumentFileText;
using xmldoc::FindChildNamed;
using xmldoc::GetNodeBool;
using xmldoc::GetNodeInt;
using xmldoc::GetNodeText;
using xmldoc::GetNodeTextNarrow;
using xmldoc::GetNodeULong;
using xmldoc::LoadXmlFile;
using xmldoc::SetNodeBool;
using xmldoc::SetNodeInt;
using xmldoc::SetNodeTextNarrow;
using xmldoc::SetNodeULong;

const MimeMap& BuiltInMimeMap() {
  // clang-format off
  static const MimeMap* const kMap = new MimeMap{
      {".GIF", "image/gif"},
      {".HTM", "text/html"},
      {".HTML", "text/html"},
      {".TXT", "text/plain"},
      {".WSDL", "text/xml"},
      {".XML", "text/xml"},
      {".XSD", "text/xml"},
      {".JPG", "image/jpeg"},
      {".JPEG", "image/jpeg"},
      {".DOC", "application/msword"},
      {".PDF", "application/pdf"},
      {".RTF", "application/rtf"},
      {".TIF", "image/tiff"},
      {".TIFF", "image/tiff"},
      {".ZIP", "application/zip"},
      {".MPG", "video/mpeg"},
      {".MPEG", "video/mpeg"},
      {".PS", "application/postscript"},
  };
  // clang-format on
  return *kMap;
}

bool operator==(const LogSettings& a, const LogSettings& b) {
  return a.server_log_path == b.server_log_path && a.enable_server_log == b.enable_server_log &&
         a.user_agent_log_path == b.user_agent_log_path &&
         a.enable_user_agent_log == b.enable_user_agent_log &&
         a.trace_log_path == b.trace_log_path && a.enable_trace_log == b.enable_trace_log;
}

std::optional<uint16_t> ListenPortFor(int listenPort) {
  if (listenPort < 0 || listenPort > 65535) return std::nullopt;
  return static_cast<uint16_t>(listenPort);
}

uint32_t WatchdogPeriodMs(uint32_t watchdogIntervalSeconds) {
  const uint64_t ms = uint64_t{watchdogIntervalSeconds} * 1000;
  return static_cast<uint32_t>(std::clamp<uint64_t>(ms, kMinTimerPeriodMs, kMaxTimerPeriodMs));
}

std::string ExecutableDirectory(const std::string& executablePath) {
  const size_t slash = executablePath.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return executablePath.substr(0, slash);
}

std::string DefaultDocBasePath(const std::string& executableDir) {
  if (!executableDir.empty() && executableDir.back() == '/') return executableDir + "docroot/";
  return executableDir + "/docroot/";
}

namespace {

// ---- Reading ----------------------------------------------------------------

// Reads a boolean element when present. False only for a present element with
// a text other than the four words.
[[nodiscard]] bool ReadOptionalBool(const XmlElement& parent, std::u16string_view name,
                                    bool* value) {
  const XmlElement* e = FindChildNamed(parent, name);
  return e == nullptr || GetNodeBool(value, *e);
}

// A server setting: a bad value is noted by name (its text stays out of the
// log).
[[nodiscard]] bool ReadSettingBool(const XmlElement& root, std::u16string_view name, bool* value,
                                   std::vector<std::string>* notes) {
  if (ReadOptionalBool(root, name, value)) return true;
  if (notes != nullptr) {
    notes->push_back(text::Narrow(name) + " is not one of 1, true, 0, false");
  }
  return false;
}

bool ReadNarrow(const XmlElement& parent, std::u16string_view name, std::string* value) {
  const XmlElement* e = FindChildNamed(parent, name);
  return e != nullptr && GetNodeTextNarrow(value, *e);
}

bool ReadWide(const XmlElement& parent, std::u16string_view name, std::u16string* value) {
  const XmlElement* e = FindChildNamed(parent, name);
  return e != nullptr && GetNodeText(value, *e);
}

void ReadInt(const XmlElement& root, std::u16string_view name, int defaultValue, int* value) {
  const XmlElement* e = FindChildNamed(root, name);
  if (e == nullptr || !GetNodeInt(value, *e)) *value = defaultValue;
}

void ReadULong(const XmlElement& root, std::u16string_view name, uint32_t defaultValue,
               uint32_t* value) {
  const XmlElement* e = FindChildNamed(root, name);
  if (e == nullptr || !GetNodeULong(value, *e)) *value = defaultValue;
}

// A path "/a/b" from the root: every b under every a, in document order.
std::vector<const XmlElement*> SelectGrandchildren(const XmlElement& root, std::u16string_view list,
                                                   std::u16string_view item) {
  std::vector<const XmlElement*> found;
  for (const XmlElement* l : ChildrenNamed(root, list)) {
    for (const XmlElement* i : ChildrenNamed(*l, item)) found.push_back(i);
  }
  return found;
}

std::vector<std::u16string> ReadList(const XmlElement& endpoint, std::u16string_view list,
                                     std::u16string_view item) {
  std::vector<std::u16string> values;
  const XmlElement* l = FindChildNamed(endpoint, list);
  if (l == nullptr) return values;
  for (const XmlElement* i : ChildrenNamed(*l, item)) {
    std::u16string v;
    GetNodeText(&v, *i);
    values.push_back(std::move(v));
  }
  return values;
}

// Returns false when the endpoint is to be dropped: a required element is
// missing or a switch is no boolean.
bool ReadEndpoint(const XmlElement& e, EndpointInfo* info) {
  if (!ReadNarrow(e, u"requestURI", &info->requestURI) ||
      !ReadNarrow(e, u"wsdlDocURL", &info->wsdlDocURL) ||
      !ReadWide(e, u"wsdlService", &info->wsdlService) ||
      !ReadWide(e, u"wsdlPort", &info->wsdlPort) ||
      !ReadWide(e, u"bodyProcessingProgId", &info->bodyProcessingProgId)) {
    return false;
  }
  info->headerProcessingProgIds = ReadList(e, u"headerProcessingProgIds", u"progId");
  info->roles = ReadList(e, u"roles", u"uri");
  ReadWide(e, u"nodeURI", &info->nodeURI);
  ReadWide(e, u"nextHopURL", &info->nextHopURL);
  if (!ReadOptionalBool(e, u"enabled", &info->enabled) ||
      !ReadOptionalBool(e, u"enableLoopback", &info->enableLoopback) ||
      !ReadOptionalBool(e, u"enableExplicitTyping", &info->enableExplicitTyping) ||
      !ReadOptionalBool(e, u"enableNodeType", &info->enableNodeType)) {
    return false;
  }
  const std::string& uri = info->requestURI;
  info->wildcard = uri.size() >= 2 && uri.compare(uri.size() - 2, 2, "/*") == 0;
  if (info->wildcard) info->requestURI.resize(uri.size() - 2);
  return true;
}

void ReadMimeMap(const XmlElement& root, MimeMap* map) {
  const std::vector<const XmlElement*> items = SelectGrandchildren(root, u"mimeMappings", u"item");
  if (items.empty()) {
    *map = BuiltInMimeMap();
    return;
  }
  for (const XmlElement* item : items) {
    std::string extension;
    std::string type;
    if (!ReadNarrow(*item, u"extension", &extension) || !ReadNarrow(*item, u"mimeType", &type)) {
      continue;
    }
    for (char& c : extension) c = text::AsciiToUpper(c);
    map->emplace(std::move(extension), std::move(type));  // the first type stays
  }
}

void NoteUnservable(const ServerSettings& s, std::vector<std::string>* notes) {
  if (notes == nullptr) return;
  if (!ListenPortFor(s.listenPort)) {
    notes->push_back(
        text::Format("listenPort %d is outside 0..65535: no listening socket", s.listenPort));
  }
  if (s.numWorkThreads <= 0) {
    notes->push_back(text::Format("numWorkThreads is %d: accepted connections will not be served",
                                  s.numWorkThreads));
  }
  if (s.maxClients <= 0) {
    notes->push_back(
        text::Format("maxClients is %d: every connection will be refused", s.maxClients));
  }
}

// ---- Writing ----------------------------------------------------------------

XmlElement* Child(XmlElement* parent, std::u16string_view name) {
  return CreateChildElement(parent, u"", u"", name);
}

void AddNarrow(XmlElement* parent, std::u16string_view name, std::string_view value) {
  SetNodeTextNarrow(value, *Child(parent, name));
}

void AddWide(XmlElement* parent, std::u16string_view name, std::u16string_view value) {
  Child(parent, name)->SetText(std::u16string(value));
}

void AddInt(XmlElement* parent, std::u16string_view name, int value) {
  SetNodeInt(value, *Child(parent, name));
}

void AddULong(XmlElement* parent, std::u16string_view name, uint32_t value) {
  SetNodeULong(value, *Child(parent, name));
}

void AddBool(XmlElement* parent, std::u16string_view name, bool value) {
  SetNodeBool(value, *Child(parent, name));
}

void AddList(XmlElement* parent, std::u16string_view list, std::u16string_view item,
             const std::vector<std::u16string>& values) {
  XmlElement* l = Child(parent, list);
  for (const std::u16string& v : values) AddWide(l, item, v);
}

XmlElementPtr BuildConfigDocument(const ServerSettings& s, const ConfigSnapshot& c) {
  XmlElementPtr root;
  XmlElement* r = CreateRootElement(root, u"", u"", u"configuration");
  AddNarrow(r, u"listenAddress", s.listenAddress);
  AddInt(r, u"listenPort", s.listenPort);
  AddInt(r, u"numWorkThreads", s.numWorkThreads);
  AddInt(r, u"maxClients", s.maxClients);
  AddInt(r, u"clientTimeout", s.clientTimeout);
  AddULong(r, u"watchdogInterval", s.watchdogInterval);
  AddInt(r, u"wsdlCacheSize", s.wsdlCacheSize);
  AddBool(r, u"enableNameLookup", s.enableNameLookup);
  AddNarrow(r, u"docBasePath", c.docBasePath);
  AddNarrow(r, u"defaultDocument", c.defaultDocument);
  AddBool(r, u"enableServerLog", c.logs.enable_server_log);
  AddNarrow(r, u"serverLogPath", c.logs.server_log_path);
  AddBool(r, u"enableTraceLog", c.logs.enable_trace_log);
  AddNarrow(r, u"traceLogPath", c.logs.trace_log_path);
  AddBool(r, u"enableUserAgentLog", c.logs.enable_user_agent_log);
  AddNarrow(r, u"userAgentLogPath", c.logs.user_agent_log_path);
  AddULong(r, u"logRotationInterval", s.logRotationIntervalMs / kMsPerHour);

  XmlElement* list = Child(r, u"endpointList");
  for (const auto& [key, ep] : c.endpoints) {
    XmlElement* e = Child(list, u"endpoint");
    AddNarrow(e, u"requestURI", ep.wildcard ? key + "/*" : key);
    AddWide(e, u"wsdlService", ep.wsdlService);
    AddWide(e, u"wsdlPort", ep.wsdlPort);
    AddNarrow(e, u"wsdlDocURL", ep.wsdlDocURL);
    AddWide(e, u"bodyProcessingProgId", ep.bodyProcessingProgId);
    AddList(e, u"headerProcessingProgIds", u"progId", ep.headerProcessingProgIds);
    AddList(e, u"roles", u"uri", ep.roles);
    AddWide(e, u"nodeURI", ep.nodeURI);
    AddWide(e, u"nextHopURL", ep.nextHopURL);
    AddBool(e, u"enabled", ep.enabled);
    AddBool(e, u"enableExplicitTyping", ep.enableExplicitTyping);
    AddBool(e, u"enableNodeType", ep.enableNodeType);
    if (ep.enableLoopback) AddBool(e, u"enableLoopback", true);
  }

  XmlElement* mime = Child(r, u"mimeMappings");
  for (const auto& [extension, type] : c.mimeMap) {
    XmlElement* item = Child(mime, u"item");
    AddNarrow(item, u"extension", extension);
    AddNarrow(item, u"mimeType", type);
  }
  return root;
}

void SetError(std::string* error, const std::string& what, const std::string& path, int err) {
  if (error != nullptr) *error = what + " " + path + ": " + std::strerror(err);
}

// Replaces the file whole, so readers see either the old file or the new one.
// A configuration reached through a link is replaced where the link points,
// so the link stays.
bool ReplaceFile(const std::string& path, const std::string& bytes, std::string* error) {
  const std::string target = file::FollowLinks(path);
  if (target.empty()) {
    SetError(error, "cannot write", path, ELOOP);
    return false;
  }
  if (const int err = file::ReplaceFile(target, bytes); err != 0) {
    SetError(error, "cannot write", path, err);
    return false;
  }
  return true;
}

}  // namespace

bool LoadConfig(const std::string& path, const std::string& executableDir, ServerConfig* config,
                std::vector<std::string>* notes) {
  std::string error;
  XmlElementPtr root = LoadXmlFile(path, kMaxConfigFileBytes, &error);
  if (!root) {
    if (notes != nullptr) notes->push_back(std::move(error));
    return false;
  }
  const XmlElement& r = *root;
  ServerSettings& s = config->settings;
  ConfigSnapshot& c = config->snapshot;

  // In the order of the file's documentation; a bad boolean stops the read
  // with what came before it set.
  ReadNarrow(r, u"listenAddress", &s.listenAddress);
  ReadInt(r, u"listenPort", 80, &s.listenPort);
  ReadInt(r, u"numWorkThreads", 8, &s.numWorkThreads);
  ReadInt(r, u"maxClients", 16, &s.maxClients);
  ReadInt(r, u"clientTimeout", 60, &s.clientTimeout);
  ReadULong(r, u"watchdogInterval", 30, &s.watchdogInterval);
  ReadInt(r, u"wsdlCacheSize", 20, &s.wsdlCacheSize);
  if (!ReadNarrow(r, u"docBasePath", &c.docBasePath)) {
    c.docBasePath = DefaultDocBasePath(executableDir);
  }
  if (!ReadNarrow(r, u"defaultDocument", &c.defaultDocument)) c.defaultDocument = "default.htm";
  c.logs.enable_server_log = false;
  if (!ReadSettingBool(r, u"enableServerLog", &c.logs.enable_server_log, notes)) return false;
  ReadNarrow(r, u"serverLogPath", &c.logs.server_log_path);
  c.logs.enable_trace_log = false;
  if (!ReadSettingBool(r, u"enableTraceLog", &c.logs.enable_trace_log, notes)) return false;
  ReadNarrow(r, u"traceLogPath", &c.logs.trace_log_path);
  c.logs.enable_user_agent_log = false;
  if (!ReadSettingBool(r, u"enableUserAgentLog", &c.logs.enable_user_agent_log, notes))
    return false;
  ReadNarrow(r, u"userAgentLogPath", &c.logs.user_agent_log_path);
  if (const XmlElement* e = FindChildNamed(r, u"logRotationInterval")) {
    uint32_t hours = 0;
    GetNodeULong(&hours, *e);
    s.logRotationIntervalMs = std::min(hours, kMaxLogRotationHours) * kMsPerHour;
  }
  s.enableNameLookup = false;
  if (!ReadSettingBool(r, u"enableNameLookup", &s.enableNameLookup, notes)) return false;

  c.mimeMap.clear();
  ReadMimeMap(r, &c.mimeMap);

  c.endpoints.clear();
  for (const XmlElement* e : SelectGrandchildren(r, u"endpointList", u"endpoint")) {
    EndpointInfo info;
    if (!ReadEndpoint(*e, &info)) continue;
    std::string key = info.requestURI;
    c.endpoints.emplace(std::move(key), std::move(info));  // the first stays
  }
  NoteUnservable(s, notes);
  return true;
}

std::string BuildConfigText(const ServerSettings& settings, const ConfigSnapshot& snapshot) {
  XmlElementPtr root = BuildConfigDocument(settings, snapshot);
  return DocumentFileText(*root);
}

bool SaveConfig(const std::string& path, const ServerSettings& settings,
                const ConfigSnapshot& snapshot, std::string* error) {
  return ReplaceFile(path, BuildConfigText(settings, snapshot), error);
}

}  // namespace server
