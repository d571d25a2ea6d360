#include "plugins/routing/routing_path.h"

#include <iterator>
#include <memory>

#include "xml/content_handler.h"
#include "xml/namespaces.h"
#include "xml/xml_element.h"
#include "xml/xml_parser.h"
#include "xml/xml_writer.h"

namespace routing {
namespace {

using xml::XmlElement;
using xml::XmlElementPtr;
constexpr std::u16string_view kRp = xml::kWsRoutingNamespace;

// Reads an rp:path block as the parser reports it, keeping only what the
// model takes: the block arrives on every routed request, and a tree of it
// would cost many times its text (a fault's `found` may list thousands of
// empty `at`). Only the root is kept by the parser; deeper elements live from
// their start to their end. Each child read is the first of its name, as in
// a lookup of the root's children.
class PathReader final : public xml::XmlContentHandler {
 public:
  // Moves what was read into `path` (after a whole, well-formed block).
  void ApplyTo(RoutingPath& path) {
    for (size_t i = 0; i < kTexts; ++i) {
      *TextFlag(path, i) = texts_[i].seen;
      if (texts_[i].seen) *TextField(path, i) = std::move(texts_[i].value);
    }
    path.hasFwd = fwd_.seen;
    if (fwd_.seen) path.fwd = std::move(fwd_.vias);
    path.hasRev = rev_.seen;
    if (rev_.seen) path.rev = std::move(rev_.vias);
    path.hasFault = faultSeen_;
    if (!faultSeen_) return;
    RoutingFaultInfo& info = path.fault;
    info.ClearDetailFlags();
    if (code_.seen) info.code = std::move(code_.value);
    if (reason_.seen) info.reason = std::move(reason_.value);
    bool* const flags[] = {&info.hasEndpoint, &info.hasMaxsize, &info.hasMaxtime,
                           &info.hasRetryAfter};
    std::u16string* const fields[] = {&info.endpoint, &info.maxsize, &info.maxtime,
                                      &info.retryAfter};
    for (size_t i = 0; i < kDetails; ++i) {
      *flags[i] = details_[i].seen;
      if (details_[i].seen) *fields[i] = std::move(details_[i].value);
    }
    if (foundSeen_) {
      info.hasFound = true;
      // Appended: an answer's list adds to what the request left.
      if (info.found.empty()) {
        info.found = std::move(found_);
      } else {
        info.found.insert(info.found.end(), std::make_move_iterator(found_.begin()),
                          std::make_move_iterator(found_.end()));
      }
    }
  }

  bool WantsPrefixMappings() const override { return false; }

  void StartElement(std::u16string_view uri, std::u16string_view local, std::u16string_view,
                    const xml::AttributeMap&, XmlElement&) override {
    ++depth_;
    if (depth_ == 2) {
      child_ = Child::Other;
      if (uri != kRp) return;
      if (local == u"fwd" && !fwd_.seen) {
        child_ = Child::Fwd;
        fwd_.seen = true;
      } else if (local == u"rev" && !rev_.seen) {
        child_ = Child::Rev;
        rev_.seen = true;
      } else if (local == u"fault" && !faultSeen_) {
        child_ = Child::Fault;
        faultSeen_ = true;
      }
    } else if (depth_ == 3) {
      inFound_ = child_ == Child::Fault && uri.empty() && local == u"found" && !foundSeen_;
      if (inFound_) foundSeen_ = true;
    }
  }

  bool EndElement(std::u16string_view uri, std::u16string_view local, std::u16string_view,
                  XmlElement& element) override {
    const int depth = depth_--;
    if (depth == 2 && uri == kRp) {
      for (size_t i = 0; i < kTexts; ++i) {
        if (local == kTextNames[i]) TakeFirst(texts_[i], element);
      }
    } else if (depth == 3 && (child_ == Child::Fwd || child_ == Child::Rev)) {
      if (uri == kRp && local == u"via") {
        (child_ == Child::Fwd ? fwd_ : rev_).vias.push_back(element.GetText());
      }
    } else if (depth == 3 && child_ == Child::Fault) {
      if (uri == kRp && local == u"code") TakeFirst(code_, element);
      if (uri == kRp && local == u"reason") TakeFirst(reason_, element);
      // The details are unqualified.
      for (size_t i = 0; i < kDetails && uri.empty(); ++i) {
        if (local == kDetailNames[i]) TakeFirst(details_[i], element);
      }
      inFound_ = false;
    } else if (depth == 4 && inFound_ && uri.empty() && local == u"at") {
      found_.push_back(element.GetText());
    }
    return true;
  }

 private:
  struct Text {
    bool seen = false;
    std::u16string value;
  };
  struct Vias {
    bool seen = false;
    std::vector<std::u16string> vias;
  };
  enum class Child { Other, Fwd, Rev, Fault };

  static constexpr size_t kTexts = 5;
  static constexpr std::u16string_view kTextNames[kTexts] = {u"action", u"to", u"from", u"id",
                                                             u"relatesTo"};
  static constexpr size_t kDetails = 4;
  static constexpr std::u16string_view kDetailNames[kDetails] = {u"endpoint", u"maxsize",
                                                                 u"maxtime", u"retryAfter"};

  static std::u16string* TextField(RoutingPath& p, size_t i) {
    std::u16string* const fields[kTexts] = {&p.action, &p.to, &p.from, &p.id, &p.relatesTo};
    return fields[i];
  }
  static bool* TextFlag(RoutingPath& p, size_t i) {
    bool* const flags[kTexts] = {&p.hasAction, &p.hasTo, &p.hasFrom, &p.hasId, &p.hasRelatesTo};
    return flags[i];
  }
  static void TakeFirst(Text& text, const XmlElement& element) {
    if (text.seen) return;
    text.seen = true;
    text.value = element.GetText();
  }

  int depth_ = 0;
  Child child_ = Child::Other;  // the root's child being read
  bool inFound_ = false;        // inside the fault's first unqualified `found`
  Text texts_[kTexts];
  Vias fwd_, rev_;
  bool faultSeen_ = false, foundSeen_ = false;
  Text code_, reason_, details_[kDetails];
  std::vector<std::u16string> found_;
};

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
  PathReader reader;
  xml::XmlParser parser;
  parser.SetTreeDepth(1);
  try {
    parser.Parse(literal, &reader);
  } catch (int) {
    return false;
  }
  if (parser.GetRoot() == nullptr) return false;
  reader.ApplyTo(path);
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
