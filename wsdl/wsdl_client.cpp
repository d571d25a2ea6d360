#include "wsdl/wsdl_client.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <new>
#include <set>
#include <utility>

#include "platform/service/eventlog.h"
#include "platform/text/text.h"
#include "wsdl/pruning_dispatcher.h"
#include "xml/xml_parser.h"
#include "xmldoc/document_source.h"

namespace wsdl {

struct WsdlClient::State {
  std::shared_ptr<const WsdlDocumentHandler> document;
  std::u16string service;
  std::u16string port;
  std::u16string soap_address;
  SoapAddress address;
  // The chosen port's binding in `document`, found once per load rather than
  // on every query.
  const BindingHandler* binding = nullptr;
  // And that binding's port type, as every part query starts from it.
  const PortTypeHandler* port_type = nullptr;
};

namespace {

// ---- Loading ------------------------------------------------------------------

struct FetchSettings {
  std::string user_agent;
  std::string extra_headers;
  int timeout_ms;
  size_t max_length;
};

void ReportEvent(const std::string& text) {
  HANDLE source = RegisterEventSourceA(nullptr, kWsdlEventSource);
  if (!source) return;
  const char* strings[] = {text.c_str()};
  ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

void ReportDocumentError(const QVWebServicesDescFault& fault, const std::string& name) {
  ReportEvent(text::FormatCapped(kMaxWsdlEventText, "Doc: <%s> %s", name.c_str(),
                                 text::Narrow(fault.message()).c_str()));
}

void ReportParseError(int line, const std::string& name) {
  ReportEvent(text::FormatCapped(kMaxWsdlEventText, "Doc: <%s> Parse error on line %d",
                                 name.c_str(), line));
}

std::string BaseUrlOf(std::string_view url) {
  const size_t slash = url.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(url.substr(0, slash + 1));
}

std::string_view SkipLeadingSpace(std::string_view s) {
  while (!s.empty() && text::IsAsciiSpace(s.front())) s.remove_prefix(1);
  return s;
}

bool IsFileUrl(std::string_view url) { return SkipLeadingSpace(url).starts_with("file://"); }

enum class Fetched { Failed, ParseFailed, Parsed };

// The documents of one load: the chain of those being loaded (the loaded
// document first) and every one fetched so far.
struct LoadTrail {
  std::vector<std::string> chain;
  std::set<std::string, std::less<>> seen;
  std::chrono::steady_clock::time_point deadline;  // of the whole load
};

Fetched LoadDocument(const std::string& url, const FetchSettings& settings, LoadTrail& trail,
                     std::unique_ptr<WsdlDocumentHandler>* out);

// Takes `bytes` over: they are freed once decoded, before the model grows.
std::unique_ptr<WsdlDocumentHandler> ParseDocument(std::string&& bytes, const std::string& name,
                                                   const std::string& url) {
  auto document = std::make_unique<WsdlDocumentHandler>();
  document->base_url = BaseUrlOf(url);
  try {
    PruningDispatcher dispatcher;
    dispatcher.SetRootHandler(document.get());
    xml::XmlParser parser;
    parser.ParseXmlBytes(std::move(bytes), &dispatcher);
  } catch (int line) {
    ReportParseError(line, name);
    return nullptr;
  } catch (const QVWebServicesDescFault& fault) {
    ReportDocumentError(fault, name);
    return nullptr;
  } catch (const std::bad_alloc&) {
    ReportDocumentError(QVWebServicesDescFault(kInternalError, kMemoryFailure), name);
    return nullptr;
  }
  return document;
}

// Loads the documents `document` imports, in document order, and merges
// each into it. Runs after the document's parse, so that a chain of imports
// holds one parse at a time rather than one per level. False when an import
// is refused or fails to load.
bool LoadImports(WsdlDocumentHandler& document, bool remote, size_t max_length, LoadTrail& trail) {
  std::vector<std::u16string> locations;
  locations.swap(document.definitions.import_locations);
  for (const std::u16string& location : locations) {
    const std::string narrow = text::Narrow(location);
    const std::string url = narrow.find(':') != std::string::npos ? narrow
                                                                  : document.base_url + narrow;
    // A remote document must not make the reader open local files.
    if (remote && !xmldoc::IsHttpUrl(url)) return false;
    // Being loaded further up, or loaded already: its definitions are
    // present or coming, and all of them end up in the loaded document.
    if (trail.seen.contains(url)) continue;
    if (trail.chain.size() > kMaxImportDepth || trail.seen.size() >= kMaxLoadDocuments) {
      return false;
    }
    // Imports use a fresh reader's settings.
    const FetchSettings defaults{std::string(kWsdlUserAgent), std::string(), kDefaultWsdlTimeoutMs,
                                 max_length};
    std::unique_ptr<WsdlDocumentHandler> imported;
    trail.chain.push_back(url);
    trail.seen.insert(url);
    const Fetched fetched = LoadDocument(url, defaults, trail, &imported);
    trail.chain.pop_back();
    if (fetched != Fetched::Parsed) return false;
    document.definitions.MergeFrom(imported->definitions);
  }
  return true;
}

Fetched LoadDocument(const std::string& url, const FetchSettings& settings, LoadTrail& trail,
                     std::unique_ptr<WsdlDocumentHandler>* out) {
  std::string bytes;
  std::string name;
  const bool remote = xmldoc::IsHttpUrl(url);
  if (remote) {
    xmldoc::HttpUrl parts;
    if (!xmldoc::ParseHttpUrl(url, &parts)) return Fetched::Failed;
    // An absolute URL inside the path is a request through a proxy.
    if (const size_t inner = parts.path.find("http://"); inner != std::string::npos) {
      parts.path.erase(0, inner);
    }
    xmldoc::FetchOptions options;
    options.user_agent = settings.user_agent;
    options.extra_headers = settings.extra_headers;
    options.max_length = settings.max_length;
    // The transfer itself ends by the load's deadline: a host that trickles
    // its answer would otherwise hold the load for as long as it likes.
    options.deadline = trail.deadline;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          trail.deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return Fetched::Failed;
    const uint32_t timeout_ms = static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint64_t>(left), static_cast<uint32_t>(settings.timeout_ms)));
    const bool fetched = xmldoc::FetchDocumentOverHttp(parts.host, parts.path, parts.port,
                                                       timeout_ms, options,
                                                       [&bytes](std::string_view body) {
                                                         bytes.assign(body);
                                                         return true;
                                                       });
    if (!fetched || std::chrono::steady_clock::now() > trail.deadline) return Fetched::Failed;
    name = parts.path;
  } else if (IsFileUrl(url)) {
    name.assign(SkipLeadingSpace(url).substr(7));
    if (!xmldoc::ReadDocumentFile(name, &bytes, settings.max_length)) return Fetched::Failed;
  } else {
    return Fetched::Failed;
  }
  *out = ParseDocument(std::move(bytes), name, url);  // not held while the imports load
  if (!*out) return Fetched::ParseFailed;
  if (!LoadImports(**out, remote, settings.max_length, trail)) {
    ReportDocumentError(QVWebServicesDescFault(kSchemaError, kImportFailure), name);
    out->reset();
    return Fetched::ParseFailed;
  }
  return Fetched::Parsed;
}

SoapAddress SplitAddress(std::u16string_view address) {
  SoapAddress out;
  out.port = 80;
  if (const size_t scheme = address.find(u"://"); scheme != std::u16string_view::npos) {
    address.remove_prefix(scheme + 3);
  }
  const size_t slash = address.find(u'/');
  if (slash != std::u16string_view::npos) out.uri.assign(address.substr(slash));
  const std::u16string_view host_part = address.substr(0, slash);
  const size_t colon = host_part.find(u':');
  out.host.assign(host_part.substr(0, colon));
  if (colon != std::u16string_view::npos) {
    const int port = text::WToI(host_part.substr(colon + 1));
    out.port = port >= 1 && port <= 65535 ? port : 0;
  }
  return out;
}

// ---- Lookups over a loaded description ----------------------------------------

const PortHandler* SelectPort(const DefinitionsHandler& d, std::u16string_view service,
                              std::u16string_view port) {
  const ServiceHandler* s = FindWithNamespace(d.services, service, d.target_namespace);
  return s ? FindByName(s->ports, port) : nullptr;
}

// The records a query walks, found from the stored service and port names.
class View {
 public:
  explicit View(const WsdlClient::State* state)
      : defs_(state && state->document ? &state->document->definitions : nullptr),
        binding_(defs_ ? state->binding : nullptr),
        port_type_(binding_ ? state->port_type : nullptr) {}

  const DefinitionsHandler* defs() const { return defs_; }
  const BindingHandler* binding() const { return binding_; }

  const BindingOperationHandler* BindingOperation(std::u16string_view op) const {
    return binding_ ? FindByName(binding_->operations, op) : nullptr;
  }
  const PortTypeOperationHandler* PortTypeOperation(std::u16string_view op) const {
    return port_type_ ? FindByName(port_type_->operations, op) : nullptr;
  }
  const MessageHandler* Message(const QName& name) const {
    return FindWithNamespace(defs_->messages, name.name, name.ns);
  }
  const MessageHandler* OperationMessage(Direction d, std::u16string_view op) const {
    const PortTypeOperationHandler* pto = PortTypeOperation(op);
    if (!pto) return nullptr;
    return Message(d == Direction::Input ? pto->input.message : pto->output.message);
  }
  const SchemaHandler* Schema(std::u16string_view ns) const {
    return defs_ ? defs_->types.FindSchema(ns) : nullptr;
  }
  const ComplexTypeHandler* ComplexType(std::u16string_view name, std::u16string_view ns) const {
    const SchemaHandler* s = Schema(ns);
    return s ? FindWithNamespace(s->complex_types, name, ns) : nullptr;
  }
  const SchemaElementHandler* Element(std::u16string_view name, std::u16string_view ns) const {
    const SchemaHandler* s = Schema(ns);
    return s ? FindWithNamespace(s->elements, name, ns) : nullptr;
  }

  // A named simple type stands for its restriction base, followed a bounded
  // number of steps (a cycle stops wherever the bound leaves it).
  void Refine(QName* type) const {
    for (int step = 0; step < kMaxTypeRefinementSteps; ++step) {
      const SchemaHandler* s = Schema(type->ns);
      const SimpleTypeHandler* simple =
          s ? FindWithNamespace(s->simple_types, type->name, type->ns) : nullptr;
      if (!simple || !simple->is_restriction || simple->restriction.base.name.empty()) return;
      *type = simple->restriction.base;
    }
  }

  bool PartType(const PartHandler& part, QName* out) const {
    QName result;
    if (!part.type.name.empty()) {
      result = part.type;
    } else {
      if (part.element.name.empty()) return false;
      const SchemaElementHandler* e = Element(part.element.name, part.element.ns);
      if (!e || e->type.name.empty()) return false;
      result = e->type;
    }
    Refine(&result);
    *out = std::move(result);
    return true;
  }
  bool PartType(const MessageHandler& message, std::u16string_view part, QName* out) const {
    const PartHandler* p = FindByName(message.parts, part);
    return p && PartType(*p, out);
  }

  const BindingMessageHandler* BindingMessage(Direction d, std::u16string_view op) const {
    const BindingOperationHandler* bo = BindingOperation(op);
    if (!bo) return nullptr;
    return d == Direction::Input ? &bo->input : &bo->output;
  }

  // The first soap:header (or, with `faults`, soap:headerfault) of the
  // operation's input or output naming part {part_ns}part.
  const SoapHeaderFaultHandler* Header(Direction d, std::u16string_view op,
                                       std::u16string_view part, std::u16string_view part_ns,
                                       bool faults) const {
    const BindingMessageHandler* bm = BindingMessage(d, op);
    if (!bm) return nullptr;
    auto matches = [&](const SoapHeaderFaultHandler& h) {
      return h.part == part && h.header_namespace == part_ns;
    };
    for (const auto& header : bm->headers) {
      if (!faults) {
        if (matches(*header)) return header.get();
        continue;
      }
      for (const auto& fault : header->header_faults) {
        if (matches(*fault)) return fault.get();
      }
    }
    return nullptr;
  }

 private:
  const DefinitionsHandler* defs_ = nullptr;
  const BindingHandler* binding_ = nullptr;
  const PortTypeHandler* port_type_ = nullptr;
};

}  // namespace

// ---- WsdlClient -----------------------------------------------------------------

WsdlClient::WsdlClient() : user_agent_(kWsdlUserAgent) {
  states_.push_back(std::make_unique<const State>());
  current_.store(states_.back().get(), std::memory_order_release);
}

WsdlClient::~WsdlClient() = default;

const WsdlClient::State* WsdlClient::Snapshot() const {
  return current_.load(std::memory_order_acquire);
}

bool WsdlClient::LoadServiceDescription(std::u16string_view service, std::u16string_view port,
                                        std::string_view url_in) {
  std::string url(url_in);
  std::replace(url.begin(), url.end(), '\\', '/');
  FetchSettings settings;
  {
    std::lock_guard lock(mu_);
    settings = FetchSettings{user_agent_, extra_headers_, timeout_ms_, max_length_};
  }
  // A negative timeout used to mean waits without end; the whole load is
  // then bounded by the default.
  const int whole_ms = settings.timeout_ms > 0 ? settings.timeout_ms : kDefaultWsdlTimeoutMs;
  LoadTrail trail{{url}, {url},
                  std::chrono::steady_clock::now() + std::chrono::milliseconds(whole_ms)};
  std::unique_ptr<WsdlDocumentHandler> loaded;
  Fetched fetched;
  try {
    fetched = LoadDocument(url, settings, trail, &loaded);
  } catch (const std::bad_alloc&) {
    fetched = Fetched::Failed;
  }

  std::lock_guard lock(mu_);
  auto next = std::make_unique<State>(*Snapshot());
  next->service.assign(service);
  next->port.assign(port);
  if (fetched != Fetched::Failed) next->document = std::move(loaded);  // null after a failed parse
  const PortHandler* p =
      next->document ? SelectPort(next->document->definitions, service, port) : nullptr;
  next->binding = p ? FindByName(next->document->definitions.bindings, p->binding.name) : nullptr;
  next->port_type = next->binding
                        ? FindWithNamespace(next->document->definitions.port_types,
                                            next->binding->type.name, next->binding->type.ns)
                        : nullptr;
  if (fetched == Fetched::Failed) {
    Publish(std::move(next));
    return false;
  }
  bool ok = false;
  if (p) {
    next->soap_address = p->address.location;
    if (!next->soap_address.empty()) {
      next->address = SplitAddress(next->soap_address);
      ok = true;
    }
  }
  Publish(std::move(next));
  return ok;
}

void WsdlClient::Publish(std::unique_ptr<const State> next) {
  states_.push_back(std::move(next));
  current_.store(states_.back().get(), std::memory_order_release);
}

void WsdlClient::SetUserAgent(std::string_view utf8) {
  std::lock_guard lock(mu_);
  user_agent_.assign(utf8);
}

std::string WsdlClient::GetUserAgent() const {
  std::shared_lock lock(mu_);
  return user_agent_;
}

void WsdlClient::SetHTTPTimeout(int milliseconds) {
  std::lock_guard lock(mu_);
  timeout_ms_ = milliseconds;
}

void WsdlClient::SetHTTPHeaders(std::string_view utf8) {
  std::lock_guard lock(mu_);
  extra_headers_.assign(utf8);
}

void WsdlClient::SetMaxDocumentLengthForTest(size_t limit) {
  std::lock_guard lock(mu_);
  max_length_ = limit;
}

SoapAddress WsdlClient::GetSOAPAddress() const { return Snapshot()->address; }

std::u16string WsdlClient::GetDefinitionsTNS() const {
  const auto state = Snapshot();
  return state->document ? state->document->definitions.target_namespace.str() : std::u16string();
}

bool WsdlClient::HasDocument() const { return Snapshot()->document != nullptr; }

// ---- Operation queries -----------------------------------------------------------

bool WsdlClient::GetMethodSOAPAction(std::u16string_view method, std::u16string* action) const {
  const auto state = Snapshot();
  const BindingOperationHandler* bo = View(state).BindingOperation(method);
  if (!bo) return false;
  *action = bo->soap_operation.soap_action;
  return true;
}

bool WsdlClient::SOAPActionRequired(std::u16string_view op, bool* required) const {
  const auto state = Snapshot();
  const BindingOperationHandler* bo = View(state).BindingOperation(op);
  if (!bo) return false;
  *required = bo->soap_operation.soap_action_required;
  return true;
}

bool WsdlClient::GetMethodNamespaceURI(std::u16string_view method, std::u16string* ns) const {
  const auto state = Snapshot();
  const BindingOperationHandler* bo = View(state).BindingOperation(method);
  if (!bo) return false;
  *ns = bo->input.body.body_namespace.empty() ? bo->output.body.body_namespace
                                              : bo->input.body.body_namespace;
  return true;
}

bool WsdlClient::GetSOAPBodyUse(Direction d, std::u16string_view op, std::u16string* use) const {
  const auto state = Snapshot();
  const BindingMessageHandler* bm = View(state).BindingMessage(d, op);
  if (!bm) return false;
  *use = bm->body.use;
  return true;
}

bool WsdlClient::GetSOAPBodyEncStyle(Direction d, std::u16string_view op,
                                     std::u16string* style) const {
  const auto state = Snapshot();
  const BindingMessageHandler* bm = View(state).BindingMessage(d, op);
  if (!bm || bm->body.use != u"encoded") return false;
  *style = bm->body.encoding_style;
  return true;
}

bool WsdlClient::GetOperationBindingStyle(std::u16string_view op, std::u16string* style) const {
  const auto state = Snapshot();
  const View view(state);
  const BindingOperationHandler* bo = view.BindingOperation(op);
  if (!bo) return false;
  if (!bo->soap_operation.style.empty()) {
    *style = bo->soap_operation.style;
  } else if (!view.binding()->soap_binding.style.empty()) {
    *style = view.binding()->soap_binding.style;
  } else {
    *style = u"document";
  }
  return true;
}

// ---- Binding queries --------------------------------------------------------------

bool WsdlClient::GetSOAPBindingStyle(std::u16string* style) const {
  const auto state = Snapshot();
  const BindingHandler* b = View(state).binding();
  if (!b) return false;
  *style = b->soap_binding.style;
  return true;
}

bool WsdlClient::GetSOAPBindingTransport(std::u16string* transport) const {
  const auto state = Snapshot();
  const BindingHandler* b = View(state).binding();
  if (!b) return false;
  *transport = b->soap_binding.transport;
  return true;
}

bool WsdlClient::GetSOAPBindingVersion(std::u16string* version_uri) const {
  const auto state = Snapshot();
  const BindingHandler* b = View(state).binding();
  if (!b) return false;
  *version_uri = b->soap_binding.GetNamespace();
  return true;
}

bool WsdlClient::GetMethodNamesBySOAPAction(std::u16string_view action, std::u16string* method,
                                            std::u16string* method_ns) const {
  const auto state = Snapshot();
  const BindingHandler* b = View(state).binding();
  if (!b) return false;
  const BindingOperationHandler* bo = b->FindOperationBySoapAction(action);
  if (!bo) return false;
  *method = bo->name;
  *method_ns = bo->GetNamespace();
  return true;
}

// ---- Message and part queries -------------------------------------------------------

bool WsdlClient::IsMethodParam(std::u16string_view method, std::u16string_view param) const {
  int32_t index;
  return GetMethodParamIndex(method, param, &index);
}

bool WsdlClient::GetMethodParamIndex(std::u16string_view method, std::u16string_view param,
                                     int32_t* index) const {
  const auto state = Snapshot();
  const PortTypeOperationHandler* pto = View(state).PortTypeOperation(method);
  if (!pto) return false;
  const int32_t position = pto->ParameterPosition(param);
  if (position < 0) return false;
  *index = position;
  return true;
}

bool WsdlClient::IsMsgPart(Direction d, std::u16string_view method,
                           std::u16string_view part) const {
  const auto state = Snapshot();
  const MessageHandler* m = View(state).OperationMessage(d, method);
  return m && m->parts.contains(part);
}

bool WsdlClient::GetMsgPartIndex(Direction d, std::u16string_view method,
                                 std::u16string_view part, int32_t* index) const {
  const auto state = Snapshot();
  const MessageHandler* m = View(state).OperationMessage(d, method);
  if (!m) return false;
  const PartHandler* p = FindByName(m->parts, part);
  if (!p) return false;
  *index = p->position;
  return true;
}

bool WsdlClient::GetFirstParamName(Direction d, std::u16string_view method, std::u16string* name,
                                   int32_t* position) const {
  const auto state = Snapshot();
  const MessageHandler* m = View(state).OperationMessage(d, method);
  if (!m || m->parts.empty()) return false;
  *name = m->parts[0].name;
  *position = 0;
  return true;
}

bool WsdlClient::GetNextParamName(Direction d, std::u16string_view method, std::u16string* name,
                                  int32_t* position) const {
  const auto state = Snapshot();
  const MessageHandler* m = View(state).OperationMessage(d, method);
  if (!m) return false;
  // In 64 bits: the caller's position may be anything.
  const int64_t next = int64_t{*position} + 1;
  if (next < 0 || next >= int64_t(m->parts.size())) return false;
  *name = m->parts[static_cast<size_t>(next)].name;
  *position = static_cast<int32_t>(next);
  return true;
}

bool WsdlClient::GetMsgPartType(Direction d, std::u16string_view method, std::u16string_view part,
                                QName* type) const {
  const auto state = Snapshot();
  const View view(state);
  const MessageHandler* m = view.OperationMessage(d, method);
  return m && view.PartType(*m, part, type);
}

bool WsdlClient::GetOperationReturnType(std::u16string_view method, std::u16string_view part,
                                        QName* type) const {
  const auto state = Snapshot();
  const View view(state);
  const MessageHandler* m = view.OperationMessage(Direction::Output, method);
  if (!m) return false;
  if (view.PartType(*m, part, type)) return true;
  const PartHandler* first = m->FirstPart();
  return first && view.PartType(*first, type);
}

bool WsdlClient::GetHeaderElemType(std::u16string_view name, std::u16string_view ns,
                                   QName* type) const {
  const auto state = Snapshot();
  const SchemaElementHandler* e = View(state).Element(name, ns);
  if (!e) return false;
  *type = e->type;
  return true;
}

// ---- Header and fault queries ---------------------------------------------------------

bool WsdlClient::GetHeaderPartType(Direction d, std::u16string_view op, std::u16string_view part,
                                   std::u16string_view part_ns, QName* type) const {
  const auto state = Snapshot();
  const View view(state);
  const SoapHeaderFaultHandler* h = view.Header(d, op, part, part_ns, /*faults=*/false);
  if (!h) return false;
  const MessageHandler* m = view.Message(h->message);
  return m && view.PartType(*m, part, type);
}

bool WsdlClient::GetHeaderPartEncStyle(Direction d, std::u16string_view op,
                                       std::u16string_view part, std::u16string_view part_ns,
                                       std::u16string* style) const {
  const auto state = Snapshot();
  const SoapHeaderFaultHandler* h = View(state).Header(d, op, part, part_ns, false);
  if (!h || h->use != u"encoded") return false;
  *style = h->encoding_style;
  return true;
}

bool WsdlClient::GetHeaderFaultPartType(Direction d, std::u16string_view op,
                                        std::u16string_view part, std::u16string_view part_ns,
                                        QName* type) const {
  const auto state = Snapshot();
  const View view(state);
  const SoapHeaderFaultHandler* h = view.Header(d, op, part, part_ns, /*faults=*/true);
  if (!h) return false;
  const MessageHandler* m = view.Message(h->message);
  return m && view.PartType(*m, part, type);
}

bool WsdlClient::GetHeaderFaultPartEncStyle(Direction d, std::u16string_view op,
                                            std::u16string_view part, std::u16string_view part_ns,
                                            std::u16string* style) const {
  const auto state = Snapshot();
  const SoapHeaderFaultHandler* h = View(state).Header(d, op, part, part_ns, true);
  if (!h || h->use != u"encoded") return false;
  *style = h->encoding_style;
  return true;
}

bool WsdlClient::GetFaultDetailPartType(std::u16string_view op, std::u16string_view part,
                                        std::u16string_view, QName* type) const {
  const auto state = Snapshot();
  const View view(state);
  const BindingOperationHandler* bo = view.BindingOperation(op);
  const PortTypeOperationHandler* pto = view.PortTypeOperation(op);
  if (!bo || !pto) return false;
  for (const auto& fault : bo->faults) {
    const OperationFaultHandler* ptf = FindByName(pto->faults, fault->soap_fault.name);
    const MessageHandler* m = ptf ? view.Message(ptf->message) : nullptr;
    if (m && view.PartType(*m, part, type)) return true;
  }
  return false;
}

namespace {
// The soap:fault of `op` whose port-type fault has a message with part
// `part`, and whose namespace is `part_ns`.
const SoapFaultHandler* FaultDetail(const View& view, std::u16string_view op,
                                    std::u16string_view part, std::u16string_view part_ns) {
  const BindingOperationHandler* bo = view.BindingOperation(op);
  const PortTypeOperationHandler* pto = view.PortTypeOperation(op);
  if (!bo || !pto) return nullptr;
  for (const auto& fault : bo->faults) {
    const SoapFaultHandler& sf = fault->soap_fault;
    const OperationFaultHandler* ptf = FindByName(pto->faults, sf.name);
    const MessageHandler* m = ptf ? view.Message(ptf->message) : nullptr;
    if (m && m->parts.contains(part) && sf.fault_namespace == part_ns) return &sf;
  }
  return nullptr;
}
}  // namespace

bool WsdlClient::GetFaultDetailEncStyle(std::u16string_view op, std::u16string_view part,
                                        std::u16string_view part_ns, std::u16string* style) const {
  const auto state = Snapshot();
  const SoapFaultHandler* sf = FaultDetail(View(state), op, part, part_ns);
  if (!sf) return false;
  *style = sf->encoding_style;
  return true;
}

bool WsdlClient::GetFaultDetailUse(std::u16string_view op, std::u16string_view part,
                                   std::u16string_view part_ns, std::u16string* use) const {
  const auto state = Snapshot();
  const SoapFaultHandler* sf = FaultDetail(View(state), op, part, part_ns);
  if (!sf) return false;
  *use = sf->use;
  return true;
}

// ---- Schema type queries -----------------------------------------------------------------

bool WsdlClient::GetStructMemberType(std::u16string_view type_name, std::u16string_view type_ns,
                                     std::u16string_view member, std::u16string_view member_ns,
                                     QName* type) const {
  const auto state = Snapshot();
  const View view(state);
  const ComplexTypeHandler* ct = view.ComplexType(type_name, type_ns);
  if (!ct) return false;
  QName found;
  bool is_ref = false;
  if (!ct->FindMember(member, member_ns, &found, &is_ref)) return false;
  if (is_ref) {
    // A ref member is typed by the element it names.
    const SchemaElementHandler* e = view.Element(found.name, found.ns);
    if (!e) return false;
    found = e->type;
  }
  *type = std::move(found);
  return true;
}

bool WsdlClient::GetComplexBaseType(std::u16string_view name, std::u16string_view ns,
                                    QName* base) const {
  const auto state = Snapshot();
  const ComplexTypeHandler* ct = View(state).ComplexType(name, ns);
  return ct && ct->GetBaseType(base);
}

bool WsdlClient::GetArrayType(std::u16string_view name, std::u16string_view ns,
                              QName* item_type) const {
  const auto state = Snapshot();
  const ComplexTypeHandler* ct = View(state).ComplexType(name, ns);
  return ct && ct->GetArrayItemType(item_type);
}

bool WsdlClient::GetArrayDims(std::u16string_view name, std::u16string_view ns,
                              int32_t* dims) const {
  const auto state = Snapshot();
  const ComplexTypeHandler* ct = View(state).ComplexType(name, ns);
  if (!ct) return false;
  *dims = ct->GetArrayRank();
  return true;
}

bool WsdlClient::GetArrayTypeLit(std::u16string_view name, std::u16string_view ns, QName* item_type,
                                 QName* item_element) const {
  const auto state = Snapshot();
  const ComplexTypeHandler* ct = View(state).ComplexType(name, ns);
  return ct && ct->GetLiteralArrayItem(item_type, item_element);
}

}  // namespace wsdl
