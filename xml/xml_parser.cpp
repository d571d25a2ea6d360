#include "xml/xml_parser.h"

#include <bit>
#include <cstdint>
#include <memory>

#include "platform/text/text.h"
#include "xml/namespaces.h"
#include "xml/utf8.h"

namespace xml {

namespace {

// Below this many attributes on one tag a linear search for a repeated name
// is cheapest; above it a set keeps hostile tags from costing n squared.
constexpr size_t kLinearDuplicateScan = 16;

// The scope every root starts from: "xml" bound without a declaration.
const std::shared_ptr<const NamespaceMap>& RootScope() {
  static const auto scope =
      std::make_shared<const NamespaceMap>(NamespaceMap{{u"xml", std::u16string(kXmlNamespace)}});
  return scope;
}

// "xmlns" (default namespace, *prefix empty) or "xmlns:p".
bool IsNamespaceDeclaration(std::u16string_view name, std::u16string_view* prefix) {
  if (!name.starts_with(u"xmlns")) return false;
  if (name.size() == 5) {
    *prefix = {};
    return true;
  }
  if (name[5] != u':') return false;
  *prefix = name.substr(6);
  return true;
}

}  // namespace

void XmlParser::Parse(std::u16string_view text, XmlContentHandler* handler) {
  handler_ = handler;
  scanner_.Reset(text.data(), text.data() + text.size());
  ParseDocument();
}

void XmlParser::ParseXmlBuffer(const void* bytes, size_t length, XmlContentHandler* handler) {
  handler_ = handler;
  const auto* b = static_cast<const unsigned char*>(bytes);
  std::u16string wide;  // the decoded copy, when the input cannot be read in place
  if (length >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    const size_t units = length / 2;
    if constexpr (std::endian::native == std::endian::little) {
      if (reinterpret_cast<uintptr_t>(b) % alignof(char16_t) == 0) {
        const auto* begin = reinterpret_cast<const char16_t*>(b);
        scanner_.Reset(begin, begin + units);
        scanner_.NextChar();  // the byte-order mark
        ParseDocument();
        return;
      }
    }
    wide.resize(units);
    for (size_t i = 0; i < units; ++i) wide[i] = char16_t(b[2 * i] | (b[2 * i + 1] << 8));
  } else if (length >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
    const size_t units = length / 2;
    wide.resize(units);
    for (size_t i = 0; i < units; ++i) wide[i] = char16_t((b[2 * i] << 8) | b[2 * i + 1]);
  } else {
    size_t skip = 0;
    if (length >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) skip = 3;
    Utf8ToWide(reinterpret_cast<const char*>(b) + skip, length - skip, wide);
    scanner_.Reset(wide.data(), wide.data() + wide.size());
    ParseDocument();
    return;
  }
  scanner_.Reset(wide.data(), wide.data() + wide.size());
  scanner_.NextChar();  // the byte-order mark
  ParseDocument();
}

void XmlParser::ParseDocument() {
  root_.reset();
  try {
    if (handler_) handler_->StartDocument();
    ParseProlog();
    if (scanner_.PeekChar() != u'<' || !ParseXmlElement(nullptr, 1)) RaiseParseError();
    ParseMisc();
    if (handler_) handler_->EndDocument();
  } catch (...) {
    root_.reset();  // a handler's exception leaves no half-built tree behind either
    throw;
  }
}

void XmlParser::RaiseParseError() {
  const int line = scanner_.Line();
  if (handler_) handler_->ParseError(line);
  root_.reset();
  throw line;
}

void XmlParser::ParseProlog() {
  ParseMisc();
  while (XmlParseDoctype()) ParseMisc();
}

void XmlParser::ParseMisc() {
  for (;;) {
    scanner_.SkipSpaces();
    if (!XmlParseComment() && !XmlParseProcessingInstruction()) return;
  }
}

bool XmlParser::XmlParseComment() {
  if (!scanner_.MatchString(u"<!--")) return false;
  for (;;) {
    scanner_.ScanRun([](char16_t c) { return c == u'-' || c == 0; });
    if (scanner_.PeekChar() == 0) RaiseParseError();
    if (scanner_.MatchString(u"--")) {
      if (!scanner_.MatchChar(u'>')) RaiseParseError();
      return true;
    }
    scanner_.NextChar();  // a single '-'
  }
}

bool XmlParser::XmlParseProcessingInstruction() {
  if (!scanner_.MatchString(u"<?")) return false;
  std::u16string_view target;
  if (!scanner_.ScanName(&target)) RaiseParseError();
  scanner_.SkipSpaces();
  const char16_t* data = scanner_.Position();
  for (;;) {
    scanner_.ScanRun([](char16_t c) { return c == u'?' || c == 0; });
    if (scanner_.PeekChar() == 0) RaiseParseError();
    if (scanner_.PeekChar(1) == u'>') break;
    scanner_.NextChar();
  }
  const std::u16string_view data_view(data, size_t(scanner_.Position() - data));
  scanner_.MatchString(u"?>");
  if (handler_) handler_->ProcessingInstruction(target, data_view);
  return true;
}

bool XmlParser::XmlParseDoctype() {
  const XmlScanner::Mark start = scanner_.SaveMark();
  if (!scanner_.MatchString(u"<!DOCTYPE")) return false;
  scanner_.SkipSpaces();
  std::u16string_view name;
  if (!scanner_.ScanName(&name)) {
    scanner_.RestoreMark(start);  // the root's start tag then fails on "<!"
    return false;
  }
  scanner_.SkipSpaces();
  for (;;) {
    const char16_t c = scanner_.NextChar();
    if (c == 0) RaiseParseError();
    if (c == u'>') return true;
    if (c == u'<' && scanner_.MatchChar(u'!')) {
      // A markup declaration of the internal subset: skipped to its '>'.
      for (char16_t d = scanner_.NextChar(); d != u'>'; d = scanner_.NextChar()) {
        if (d == 0) RaiseParseError();
      }
    }
  }
}

XmlElement* XmlParser::ParseXmlElement(XmlElement* parent, int depth) {
  if (depth > kMaxNestingDepth) RaiseParseError();
  scanner_.NextChar();  // '<', checked by the caller
  std::u16string_view qualified_name;
  if (!scanner_.ScanName(&qualified_name)) RaiseParseError();
  auto owned = std::make_unique<XmlElement>(std::u16string(qualified_name));
  XmlElement* element = owned.get();
  if (parent) {
    parent->AppendChild(std::move(owned));
  } else {
    root_ = std::move(owned);
  }

  pending_.clear();
  // Not clear(): it costs the bucket count, which one huge tag makes large,
  // on every later tag. A fresh set costs what this tag's names cost.
  if (!seen_names_.empty()) seen_names_ = {};
  do {
    scanner_.SkipSpaces();
  } while (ParseAttribute());
  if (!ResolveNamespaces(*element, parent)) RaiseParseError();
  pending_.clear();

  SendStartPrefixMappings(*element, parent);
  if (scanner_.MatchChar(u'/')) {
    if (!scanner_.MatchChar(u'>')) RaiseParseError();
    if (handler_) {
      handler_->StartElement(element->namespace_uri_, element->local_name_,
                             element->qualified_name_, element->GetAttributes(), *element);
    }
  } else if (scanner_.MatchChar(u'>')) {
    if (handler_) {
      handler_->StartElement(element->namespace_uri_, element->local_name_,
                             element->qualified_name_, element->GetAttributes(), *element);
    }
    XmlParseContent(*element, depth);
    if (handler_ && !element->GetText().empty()) handler_->Characters(element->GetText());
  } else {
    RaiseParseError();
  }
  if (handler_) {
    handler_->EndElement(element->namespace_uri_, element->local_name_, element->qualified_name_,
                         *element);
    SendEndPrefixMappings(*element, parent);
  }
  return element;
}

bool XmlParser::ParseAttribute() {
  std::u16string_view name;
  if (!scanner_.ScanName(&name)) return false;
  scanner_.SkipSpaces();
  if (!scanner_.MatchChar(u'=')) RaiseParseError();
  scanner_.SkipSpaces();
  std::u16string value;
  if (!ParseAttValue(value)) RaiseParseError();
  if (IsDuplicateAttribute(name)) RaiseParseError();
  pending_.push_back({name, std::move(value)});
  return true;
}

bool XmlParser::IsDuplicateAttribute(std::u16string_view name) {
  if (pending_.size() < kLinearDuplicateScan) {
    for (const PendingAttribute& a : pending_) {
      if (a.name == name) return true;
    }
    return false;
  }
  if (seen_names_.empty()) {
    for (const PendingAttribute& a : pending_) seen_names_.insert(a.name);
  }
  return !seen_names_.insert(name).second;
}

bool XmlParser::ParseAttValue(std::u16string& value) {
  const char16_t quote = scanner_.PeekChar();
  if (quote != u'"' && quote != u'\'') return false;
  scanner_.NextChar();
  for (;;) {
    value.append(scanner_.ScanRun(
        [quote](char16_t c) { return c == quote || c == u'<' || c == u'&' || c == 0; }));
    const char16_t c = scanner_.PeekChar();
    if (c == quote) {
      scanner_.NextChar();
      return true;
    }
    if (c != u'&') RaiseParseError();  // '<', a NUL or the end of input
    scanner_.NextChar();
    ParseReference(value);
  }
}

bool XmlParser::ResolveNamespaces(XmlElement& element, const XmlElement* parent) {
  if (parent) {
    element.ShareScope(*parent);
    element.default_namespace_ = parent->default_namespace_;
  } else {
    element.SetScope(RootScope());
  }

  // Declarations first: they apply to the element's own name and attributes.
  std::shared_ptr<NamespaceMap> declared;
  size_t remaining = 0;
  for (PendingAttribute& a : pending_) {
    std::u16string_view prefix;
    if (!IsNamespaceDeclaration(a.name, &prefix)) {
      ++remaining;
      continue;
    }
    if (a.name.size() > 5) {
      // "xmlns:" needs a plain prefix, and a prefix cannot be unbound.
      if (prefix.empty() || prefix.find(u':') != prefix.npos || a.value.empty()) return false;
    }
    if (!declared) declared = std::make_shared<NamespaceMap>(element.GetNamespaceScope());
    if (a.name.size() == 5) element.default_namespace_ = a.value;
    declared->insert_or_assign(std::u16string(prefix), std::move(a.value));
    a.name = {};  // taken
  }
  if (declared) element.SetScope(std::move(declared));

  std::u16string_view qualified_name = element.qualified_name_;
  const size_t colon = qualified_name.find(u':');
  if (colon == qualified_name.npos || colon == 0) {
    element.namespace_uri_ = element.default_namespace_;
    element.local_name_ = element.qualified_name_;
  } else {
    const std::u16string* uri = element.LookupNamespace(qualified_name.substr(0, colon));
    std::u16string_view local = qualified_name.substr(colon + 1);
    if (!uri || local.find(u':') != local.npos) return false;
    element.namespace_uri_ = *uri;
    element.local_name_ = local;
  }
  if (remaining == 0) return true;

  AttributeMap& attributes = element.GetAttributes();
  for (PendingAttribute& a : pending_) {
    if (a.name.empty()) continue;
    auto attribute = std::make_unique<XmlAttribute>(std::u16string(a.name), std::move(a.value));
    AttributeKey key;
    const size_t attribute_colon = a.name.find(u':');
    if (attribute_colon == a.name.npos) {
      attribute->SetLocalName(std::u16string(a.name));
      attribute->SetElementName(element.local_name_);
      attribute->SetElementNamespace(element.namespace_uri_);
      key.joined.reserve(element.namespace_uri_.size() + element.local_name_.size() +
                         a.name.size());
      key.joined.append(element.namespace_uri_).append(element.local_name_).append(a.name);
    } else {
      if (attribute_colon == 0) return false;
      const std::u16string* uri = element.LookupNamespace(a.name.substr(0, attribute_colon));
      std::u16string_view local = a.name.substr(attribute_colon + 1);
      if (!uri || local.find(u':') != local.npos) return false;
      attribute->SetNamespaceURI(*uri);
      attribute->SetLocalName(std::u16string(local));
      key.joined.reserve(uri->size() + local.size());
      key.joined.append(*uri).append(local);
      key.ns = *uri;
    }
    if (!attributes.emplace(std::move(key), std::move(attribute)).second) return false;
  }
  return true;
}

void XmlParser::SendStartPrefixMappings(const XmlElement& element, const XmlElement* parent) {
  if (!handler_) return;
  if (!parent || element.default_namespace_ != parent->default_namespace_) {
    handler_->StartPrefixMapping(u"", element.default_namespace_);
  }
  if (parent && element.SharesScopeWith(*parent)) return;
  for (const auto& [prefix, uri] : element.GetNamespaceScope()) {
    if (!parent || !parent->LookupNamespace(prefix)) handler_->StartPrefixMapping(prefix, uri);
  }
}

void XmlParser::SendEndPrefixMappings(const XmlElement& element, const XmlElement* parent) {
  if (!handler_) return;
  if (!parent || element.default_namespace_ != parent->default_namespace_) {
    handler_->EndPrefixMapping(u"");
  }
  if (parent && element.SharesScopeWith(*parent)) return;
  for (const auto& [prefix, uri] : element.GetNamespaceScope()) {
    if (!parent || !parent->LookupNamespace(prefix)) handler_->EndPrefixMapping(prefix);
  }
}

void XmlParser::XmlParseContent(XmlElement& element, int depth) {
  std::u16string& text = element.text_;
  for (;;) {
    text.append(scanner_.ScanRun(
        [](char16_t c) { return c == u'<' || c == u'&' || c == u']' || c == 0; }));
    switch (scanner_.PeekChar()) {
      case u'<':
        switch (scanner_.PeekChar(1)) {
          case u'/':
            XmlParseEndTag(element);
            return;
          case u'!':
            if (!XmlParseComment() && !XmlParseCData(element)) RaiseParseError();
            break;
          case u'?':
            XmlParseProcessingInstruction();
            break;
          default:
            ParseXmlElement(&element, depth + 1);
            break;
        }
        break;
      case u'&':
        scanner_.NextChar();
        ParseReference(text);
        break;
      case u']':
        if (scanner_.MatchString(u"]]>")) RaiseParseError();
        scanner_.NextChar();
        text.push_back(u']');
        break;
      default:  // the end of input, or a NUL
        RaiseParseError();
    }
  }
}

bool XmlParser::XmlParseCData(XmlElement& element) {
  if (!scanner_.MatchString(u"<![CDATA[")) return false;
  std::u16string& text = element.text_;
  for (;;) {
    text.append(scanner_.ScanRun([](char16_t c) {
      return c == u']' || (text::IsCntrl(c) && c != u'\r' && c != u'\n' && c != u'\t');
    }));
    if (scanner_.MatchString(u"]]>")) return true;
    if (scanner_.PeekChar() != u']') RaiseParseError();  // a control character or the end
    scanner_.NextChar();
    text.push_back(u']');
  }
}

void XmlParser::XmlParseEndTag(const XmlElement& element) {
  scanner_.MatchString(u"</");
  std::u16string_view name;
  if (!scanner_.ScanName(&name) || name != element.qualified_name_) RaiseParseError();
  scanner_.SkipSpaces();
  if (!scanner_.MatchChar(u'>')) RaiseParseError();
}

void XmlParser::ParseReference(std::u16string& out) {
  if (scanner_.MatchChar(u'#')) {
    uint32_t value = 0;
    const bool digits = scanner_.MatchChar(u'x') ? scanner_.ScanHex(&value)
                                                 : scanner_.ScanDecimal(&value);
    if (!digits || !scanner_.MatchChar(u';')) RaiseParseError();
    // NUL would cut the text short wherever it is used as a C string.
    if (value == 0 || (value >= 0xD800 && value <= 0xDFFF) ||
        value > XmlScanner::kMaxCodePoint) {
      RaiseParseError();
    }
    text::AppendUtf16(value, out);
    return;
  }
  std::u16string_view name;
  if (!scanner_.ScanName(&name) || !scanner_.MatchChar(u';')) RaiseParseError();
  const char16_t c = LookupEntity(name);
  if (c == 0) RaiseParseError();
  out.push_back(c);
}

char16_t XmlParser::LookupEntity(std::u16string_view name) {
  if (name == u"lt") return u'<';
  if (name == u"gt") return u'>';
  if (name == u"amp") return u'&';
  if (name == u"apos") return u'\'';
  if (name == u"quot") return u'"';
  return 0;
}

}  // namespace xml
