#include "plugins/routing/routing_path.h"

#include <memory>

#include "xml/namespaces.h"
#include "xml/xml_element.h"
#include "xml/xml_writer.h"
#include "xmldoc/xml_document.h"

namespace routing {
namespace {

using xml::XmlElement;
using xml::XmlElementPtr;
constexpr std::u16string_view kRp = xml::kWsRoutingNamespace;

// Direct children named `via` in the routing namespace, in document order.
void ReadViaList(const XmlElement& list, std::vector<std::u16string>& vias) {
  vias.clear();
  for (const auto& child : list.GetChildList()) {
    if (child->GetLocalName() == u"via" && child->GetNamespaceURI() == kRp) {
      vias.push_back(child->GetText());
    }
  }
}

// Appends: an answer's list adds to what the request left.
void ReadFoundList(const XmlElement& found, std::vector<std::u16string>& at) {
  for (const auto& child : found.GetChildList()) {
    if (child->GetLocalName() == u"at" && child->GetNamespaceURI().empty()) {
      at.push_back(child->GetText());
    }
  }
}

void ReadRoutingFault(const XmlElement& fault, RoutingFaultInfo& info) {
  info.ClearDetailFlags();
  if (const XmlElement* e = fault.FindChild(u"code", kRp)) info.code = e->GetText();
  if (const XmlElement* e = fault.FindChild(u"reason", kRp)) info.reason = e->GetText();
  // The details are unqualified.
  const struct {
    std::u16string_view name;
    std::u16string* text;
    bool* flag;
  } details[] = {{u"endpoint", &info.endpoint, &info.hasEndpoint},
                 {u"maxsize", &info.maxsize, &info.hasMaxsize},
                 {u"maxtime", &info.maxtime, &info.hasMaxtime},
                 {u"retryAfter", &info.retryAfter, &info.hasRetryAfter}};
  for (const auto& d : details) {
    if (const XmlElement* e = fault.FindChild(d.name, u"")) {
      *d.flag = true;
      *d.text = e->GetText();
    }
  }
  if (const XmlElement* e = fault.FindChild(u"found", u"")) {
    info.hasFound = true;
    ReadFoundList(*e, info.found);
  }
}

XmlElementPtr NewElement(std::u16string_view prefix, std::u16string_view uri,
                         std::u16string_view local, std::u16string_view text = {}) {
  std::u16string qname = prefix.empty() ? std::u16string(local)
                                        : std::u16string(prefix) + u":" + std::u16string(local);
  auto e = std::make_unique<XmlElement>(std::move(qname), xml::SharedString(std::u16string(uri)),
                                        xml::SharedString(std::u16string(local)));
  if (!text.empty()) e->SetText(std::u16string(text));
  return e;
}

XmlElementPtr RpElement(std::u16string_view local, std::u16string_view text = {}) {
  return NewElement(u"rp", kRp, local, text);
}

void WriteViaElement(XmlElement& path, std::u16string_view name,
                     const std::vector<std::u16string>& vias) {
  XmlElement* list = path.AppendChild(RpElement(name));
  for (const auto& via : vias) list->AppendChild(RpElement(u"via", via));
}

XmlElementPtr WriteFaultElement(const RoutingFaultInfo& info) {
  XmlElementPtr fault = RpElement(u"fault");
  fault->AddNamespace(u"rp", kRp);
  fault->AppendChild(RpElement(u"code", info.code));
  fault->AppendChild(RpElement(u"reason", info.reason));
  if (info.hasEndpoint) fault->AppendChild(NewElement({}, {}, u"endpoint", info.endpoint));
  if (info.hasFound) {
    XmlElement* found = fault->AppendChild(NewElement({}, {}, u"found"));
    for (const auto& at : info.found) found->AppendChild(NewElement({}, {}, u"at", at));
  }
  if (info.hasMaxsize) fault->AppendChild(NewElement({}, {}, u"maxsize", info.maxsize));
  if (info.hasMaxtime) fault->AppendChild(NewElement({}, {}, u"maxtime", info.maxtime));
  if (info.hasRetryAfter) fault->AppendChild(NewElement({}, {}, u"retryAfter", info.retryAfter));
  return fault;
}

}  // namespace

bool ReadPathText(std::u16string_view literal, RoutingPath& path) {
  xmldoc::XmlDocument document;
  if (!document.LoadFromText(literal) || document.GetRoot() == nullptr) return false;
  const XmlElement& root = *document.GetRoot();
  const struct {
    std::u16string_view name;
    std::u16string* text;
    bool* flag;
  } texts[] = {{u"action", &path.action, &path.hasAction}, {u"to", &path.to, &path.hasTo},
               {u"from", &path.from, &path.hasFrom},       {u"id", &path.id, &path.hasId},
               {u"relatesTo", &path.relatesTo, &path.hasRelatesTo}};
  for (const auto& t : texts) {
    const XmlElement* e = root.FindChild(t.name, kRp);
    *t.flag = e != nullptr;
    if (e) *t.text = e->GetText();
  }
  const XmlElement* fwd = root.FindChild(u"fwd", kRp);
  path.hasFwd = fwd != nullptr;
  if (fwd) ReadViaList(*fwd, path.fwd);
  const XmlElement* rev = root.FindChild(u"rev", kRp);
  path.hasRev = rev != nullptr;
  if (rev) ReadViaList(*rev, path.rev);
  const XmlElement* fault = root.FindChild(u"fault", kRp);
  path.hasFault = fault != nullptr;
  if (fault) ReadRoutingFault(*fault, path.fault);
  return true;
}

std::u16string WritePathBlock(const PathBlock& block, bool soap11) {
  XmlElementPtr path = RpElement(u"path");
  path->AddNamespace(u"rp", kRp);
  path->AddNamespace(u"SOAP-ENV",
                     soap11 ? xml::kSoap11EnvelopeNamespace : xml::kSoap12EnvelopeNamespace);
  if (soap11) {
    path->AddAttribute(u"SOAP-ENV:actor", xml::kSoap11NextActor);
    path->AddAttribute(u"SOAP-ENV:mustUnderstand", u"1");
  } else {
    path->AddAttribute(u"SOAP-ENV:role", xml::kSoap12NextRole);
    path->AddAttribute(u"SOAP-ENV:mustUnderstand", u"true");
  }
  path->AppendChild(RpElement(u"action", block.action));
  if (block.to) path->AppendChild(RpElement(u"to", *block.to));
  if (block.fwd) WriteViaElement(*path, u"fwd", *block.fwd);
  if (block.rev) WriteViaElement(*path, u"rev", *block.rev);
  if (block.from) path->AppendChild(RpElement(u"from", *block.from));
  if (block.id) path->AppendChild(RpElement(u"id", *block.id));
  if (block.relatesTo) path->AppendChild(RpElement(u"relatesTo", *block.relatesTo));
  if (block.fault) path->AppendChild(WriteFaultElement(*block.fault));
  std::u16string out;
  xml::WriteXmlElement(*path, nullptr, out);
  return out;
}

RoutingFaultRow LookupRoutingFault(int code) {
  static constexpr struct {
    int number;
    RoutingFaultRow row;
  } kTable[] = {
      {700, {u"700", u"Invalid WS-Routing Header", false}},
      {701, {u"701", u"WS-Routing Header Required", false}},
      {710, {u"710", u"Endpoint Not Found", false}},
      {712, {u"712", u"Endpoint Not Supported", false}},
      {800, {u"800", u"Unknown WS-Routing Fault", true}},
      {810, {u"810", u"Element Not Implemented", true}},
      {811, {u"811", u"Service Unavailable", true}},
      {812, {u"812", u"Service Too Busy", true}},
      {820, {u"820", u"Endpoint Not Reachable", true}},
  };
  for (const auto& entry : kTable) {
    if (entry.number == code) return entry.row;
  }
  return {u"000", u"Invalid Fault Code", code > 799};
}

}  // namespace routing
