#include "xml/xml_parser.h"

#include <bit>
#include <cstdint>
#include <memory>

#include "platform/com/bstr.h"
#include "platform/text/text.h"
#include "xml/namespaces.h"
#include "xml/utf8.h"

namespace xml {

namespace {

// Below this many attributes on one tag a linear search for a repeated name
// is cheapest; above it a set keeps hostile tags from costing n squared.
constexpr size_t kLinearDuplicateScan = 16;

// The scope every root starts from: "xml" bound without a declaration.
const NamespaceScope::Ptr& RootScope() {
  static const auto scope = std::make_shared<const NamespaceScope>(
      nullptr, NamespaceMap{{u"xml", std::u16string(kXmlNamespace)}});
  return scope;
}

// A local part or prefix that Namespaces admits: it starts a name. (A colon
// inside was refused before; a pair of surrogates is a name start.)
bool IsNcName(std::u16string_view part) {
  return !part.empty() && part[0] != u':' && scanner_internal::IsNameStart(part[0]);
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

// The bindings `element` has in force beyond the scope it shares with `parent`
// (all of them for the root), in order of prefix.
NamespaceMap DeclaredBindings(const XmlElement& element, const XmlElement* parent) {
  const NamespaceScope* scope = element.GetScope();
  if (!scope) return {};
  return scope->BindingsSince(parent ? parent->GetScope() : nullptr);
}

}  // namespace

void XmlParser::Parse(std::u16string_view text, XmlContentHandler* handler) {
  handler_ = handler;
  scanner_.Reset(text.data(), text.data() + text.size());
  ParseDocument();
}

namespace {

template <typename Wide>
std::u16string_view DecodeBytes(const void* bytes, size_t length, Wide& wide) {
  const auto* b = static_cast<const unsigned char*>(bytes);
  if (length >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    const size_t units = length / 2;
    if constexpr (std::endian::native == std::endian::little) {
      if (reinterpret_cast<uintptr_t>(b) % alignof(char16_t) == 0) {
        return std::u16string_view(reinterpret_cast<const char16_t*>(b), units).substr(1);
      }
    }
    wide.resize(units);
    for (size_t i = 0; i < units; ++i) wide[i] = char16_t(b[2 * i] | (b[2 * i + 1] << 8));
    return std::u16string_view(wide).substr(1);
  }
  if (length >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
    const size_t units = length / 2;
    wide.resize(units);
    for (size_t i = 0; i < units; ++i) wide[i] = char16_t((b[2 * i] << 8) | b[2 * i + 1]);
    return std::u16string_view(wide).substr(1);
  }
  size_t skip = 0;
  if (length >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) skip = 3;
  Utf8ToWide(reinterpret_cast<const char*>(b) + skip, length - skip, wide);
  return wide;
}

}  // namespace

std::u16string_view XmlParser::DecodeXmlBytes(const void* bytes, size_t length,
                                              std::u16string& wide) {
  return DecodeBytes(bytes, length, wide);
}

std::u16string_view XmlParser::DecodeXmlBytes(const void* bytes, size_t length,
                                              std::pmr::u16string& wide) {
  return DecodeBytes(bytes, length, wide);
}

void XmlParser::ParseFragment(std::u16string_view text, const NamespaceScope* inherited) {
  inherited_ = inherited;
  struct Restore {
    XmlParser& parser;
    ~Restore() { parser.inherited_ = nullptr; }
  } restore{*this};
  Parse(text, nullptr);
}

void XmlParser::ParseBstr(BSTR text, XmlContentHandler* handler) {
  Parse(BstrView(text), handler);
}

void XmlParser::ParseXmlBuffer(const void* bytes, size_t length, XmlContentHandler* handler) {
  std::u16string wide;
  Parse(DecodeXmlBytes(bytes, length, wide), handler);
}

void XmlParser::ParseXmlBytes(std::string&& bytes, XmlContentHandler* handler) {
  std::string held = std::move(bytes);
  std::u16string wide;
  const std::u16string_view text = DecodeXmlBytes(held.data(), held.size(), wide);
  // A decoded copy is all the parse reads: the bytes need not stay beside it.
  const auto at = reinterpret_cast<uintptr_t>(text.data());
  const auto first = reinterpret_cast<uintptr_t>(held.data());
  if (at < first || at > first + held.size()) std::string().swap(held);
  Parse(text, handler);
}

void XmlParser::ParseDocument() {
  root_.reset();
  had_doctype_ = false;
  // Views into the input and a big tag's buckets must not outlive the parse.
  struct Cleanup {
    XmlParser& parser;
    ~Cleanup() {
      parser.seen_names_ = decltype(parser.seen_names_)();
      parser.names_.Reset();
      parser.flattened_ = decltype(parser.flattened_)();
      parser.transient_ = decltype(parser.transient_)();
      parser.spare_attributes_ = decltype(parser.spare_attributes_)();
      parser.pending_ = decltype(parser.pending_)();
      parser.pending_count_ = 0;
    }
  } cleanup{*this};
  prefix_events_ = handler_ && handler_->WantsPrefixMappings();
  try {
    if (handler_) handler_->StartDocument();
    ParseProlog();
    if (scanner_.PeekChar() != u'<' || !ParseXmlElement(nullptr, 1)) RaiseParseError();
    ParseMisc();
    // Only spacing, comments and processing instructions may follow the root.
    if (!scanner_.AtEnd()) RaiseParseError();
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
    scanner_.ScanCharData(u'-', u'-', u'-');
    if (scanner_.PeekChar() != u'-') {
      if (!scanner_.TakeSpecial(nullptr)) RaiseParseError();
    } else if (scanner_.MatchString(u"--")) {
      if (!scanner_.MatchChar(u'>')) RaiseParseError();
      return true;
    } else {
      scanner_.NextChar();  // a single '-'
    }
  }
}

bool XmlParser::XmlParseProcessingInstruction(bool report) {
  if (!scanner_.MatchString(u"<?")) return false;
  std::u16string_view target;
  if (!scanner_.ScanName(&target)) RaiseParseError();
  scanner_.SkipSpaces();
  const char16_t* data = scanner_.Position();
  for (;;) {
    scanner_.ScanCharData(u'?', u'?', u'?');
    if (scanner_.PeekChar() != u'?') {
      if (!scanner_.TakeSpecial(nullptr)) RaiseParseError();
    } else if (scanner_.PeekChar(1) == u'>') {
      break;
    } else {
      scanner_.NextChar();
    }
  }
  const std::u16string_view data_view(data, size_t(scanner_.Position() - data));
  scanner_.MatchString(u"?>");
  if (report && handler_) handler_->ProcessingInstruction(target, data_view);
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
  had_doctype_ = true;
  // The external identifier: keywords and quoted literals, which may hold
  // '>' and '['.
  for (;;) {
    scanner_.SkipSpaces();
    std::u16string_view keyword;
    if (scanner_.ScanName(&keyword)) continue;
    if (SkipQuotedLiteral()) continue;
    break;
  }
  if (scanner_.MatchChar(u'[')) {
    SkipInternalSubset();
    scanner_.SkipSpaces();
  }
  if (!scanner_.MatchChar(u'>')) RaiseParseError();
  return true;
}

bool XmlParser::SkipQuotedLiteral() {
  const char16_t quote = scanner_.PeekChar();
  if (quote != u'"' && quote != u'\'') return false;
  scanner_.NextChar();
  for (;;) {
    scanner_.ScanCharData(quote, quote, quote);
    if (scanner_.MatchChar(quote)) return true;
    if (!scanner_.TakeSpecial(nullptr)) RaiseParseError();
  }
}

void XmlParser::SkipInternalSubset() {
  // Declarations are not interpreted, only stepped over, but by their syntax:
  // a '>' or ']' inside a literal, a comment or a PI ends nothing.
  for (;;) {
    scanner_.SkipSpaces();
    if (scanner_.MatchChar(u']')) return;
    if (XmlParseComment() || XmlParseProcessingInstruction(/*report=*/false)) continue;
    if (scanner_.MatchString(u"<!")) {
      std::u16string_view keyword;
      if (!scanner_.ScanName(&keyword)) RaiseParseError();
      for (;;) {
        scanner_.ScanCharData(u'>', u'"', u'\'');
        if (scanner_.MatchChar(u'>')) break;
        if (SkipQuotedLiteral()) continue;
        if (!scanner_.TakeSpecial(nullptr)) RaiseParseError();
      }
      continue;
    }
    if (scanner_.MatchChar(u'%')) {  // a parameter-entity reference
      std::u16string_view name;
      if (!scanner_.ScanName(&name) || !scanner_.MatchChar(u';')) RaiseParseError();
      continue;
    }
    RaiseParseError();
  }
}

XmlElement* XmlParser::NewElement(XmlElement* parent, int depth,
                                  std::u16string_view qualified_name) {
  if (!parent || depth <= tree_depth_) {
    auto owned = std::make_unique<XmlElement>(std::u16string(qualified_name));
    XmlElement* element = owned.get();
    if (parent) {
      parent->AppendChild(std::move(owned));
    } else {
      root_ = std::move(owned);
    }
    return element;
  }
  const size_t slot = size_t(depth - tree_depth_ - 1);
  if (slot == transient_.size()) {
    transient_.push_back(std::make_unique<XmlElement>(std::u16string(qualified_name)));
    return transient_.back().get();
  }
  // The last element at this depth has ended: its node and the space its
  // strings hold serve this one.
  XmlElement& element = *transient_[slot];
  element.qualified_name_.assign(qualified_name);
  element.namespace_uri_ = {};
  element.local_name_ = {};
  element.text_.clear();
  while (!element.attributes_.empty()) {
    spare_attributes_.push_back(element.attributes_.extract(element.attributes_.begin()));
  }
  element.scope_.reset();
  element.default_namespace_ = {};
  return &element;
}

XmlElement* XmlParser::ParseXmlElement(XmlElement* parent, int depth) {
  if (depth > kMaxNestingDepth) RaiseParseError();
  const char16_t* const begin = scanner_.Position();
  scanner_.NextChar();  // '<', checked by the caller
  std::u16string_view qualified_name;
  if (!scanner_.ScanName(&qualified_name)) RaiseParseError();
  XmlElement* element = NewElement(parent, depth, qualified_name);

  pending_count_ = 0;
  // Not clear(): it costs the bucket count, which one huge tag makes large,
  // on every later tag. A fresh set costs what this tag's names cost. (Not
  // "= {}" either: that is the initializer-list assignment, which clears.)
  if (!seen_names_.empty()) seen_names_ = decltype(seen_names_)();
  do {
    scanner_.SkipSpaces();
  } while (ParseAttribute());
  if (!ResolveNamespaces(*element, parent, depth > tree_depth_)) RaiseParseError();
  pending_count_ = 0;

  SendStartPrefixMappings(*element, parent);
  if (scanner_.MatchChar(u'/')) {
    if (!scanner_.MatchChar(u'>')) RaiseParseError();
    if (handler_) {
      element_begin_ = begin;
      handler_->StartElement(element->namespace_uri_, element->local_name_,
                             element->qualified_name_, element->GetAttributes(), *element);
    }
  } else if (scanner_.MatchChar(u'>')) {
    if (handler_) {
      element_begin_ = begin;
      handler_->StartElement(element->namespace_uri_, element->local_name_,
                             element->qualified_name_, element->GetAttributes(), *element);
    }
    TextRun run;
    XmlParseContent(*element, depth, run);
    const std::u16string& text = element->GetText();
    if (handler_ && !text.empty()) {
      handler_->Characters(run.contiguous ? std::u16string_view(run.begin, text.size())
                                          : std::u16string_view(text));
    }
  } else {
    RaiseParseError();
  }
  if (handler_) {
    element_begin_ = begin;
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
  // Entries past the count keep their value's space for later tags.
  if (pending_count_ == pending_.size()) pending_.emplace_back();
  PendingAttribute& attribute = pending_[pending_count_];
  attribute.value.clear();
  if (!ParseAttValue(attribute.value)) RaiseParseError();
  if (IsDuplicateAttribute(name)) RaiseParseError();
  attribute.name = name;
  ++pending_count_;
  return true;
}

bool XmlParser::IsDuplicateAttribute(std::u16string_view name) {
  if (pending_count_ < kLinearDuplicateScan) {
    for (const PendingAttribute& a : Pending()) {
      if (a.name == name) return true;
    }
    return false;
  }
  if (seen_names_.empty()) {
    for (const PendingAttribute& a : Pending()) seen_names_.insert(a.name);
  }
  return !seen_names_.insert(name).second;
}

bool XmlParser::ParseAttValue(std::u16string& value) {
  const char16_t quote = scanner_.PeekChar();
  if (quote != u'"' && quote != u'\'') return false;
  scanner_.NextChar();
  for (;;) {
    value.append(scanner_.ScanCharData(quote, u'<', u'&'));
    const char16_t c = scanner_.PeekChar();
    if (c == quote) {
      scanner_.NextChar();
      return true;
    }
    if (c == u'&') {
      scanner_.NextChar();
      ParseReference(value);
    } else if (c == u'<' || !scanner_.TakeSpecial(&value)) {
      RaiseParseError();  // '<', a character XML refuses or the end of input
    }
  }
}

bool XmlParser::ResolveNamespaces(XmlElement& element, const XmlElement* parent, bool transient) {
  if (parent) {
    element.ShareScope(*parent);
    element.default_namespace_ = parent->default_namespace_;
  } else if (inherited_) {
    // One flat level: the fragment's root declares, on writing, every
    // binding it had where it stood.
    element.SetScope(std::make_shared<const NamespaceScope>(nullptr, inherited_->Flatten()));
    if (const SharedString* uri = inherited_->Find(u"")) element.default_namespace_ = *uri;
  } else {
    element.SetScope(RootScope());
  }

  // Declarations first: they apply to the element's own name and attributes.
  NamespaceMap declared;
  size_t remaining = 0;
  for (PendingAttribute& a : Pending()) {
    std::u16string_view prefix;
    if (!IsNamespaceDeclaration(a.name, &prefix)) {
      ++remaining;
      continue;
    }
    if (a.name.size() > 5) {
      // "xmlns:" needs a plain prefix, and a prefix cannot be unbound.
      if (!IsNcName(prefix) || prefix.find(u':') != prefix.npos || a.value.empty()) return false;
    }
    if (a.value.size() > kMaxNamespaceUriLength) return false;
    SharedString uri = names_.Intern(a.value);
    if (a.name.size() == 5) element.default_namespace_ = uri;
    // A raw name is never repeated, so neither is a prefix here.
    declared.emplace(names_.Intern(prefix), std::move(uri));
    if (declared.size() > kMaxNamespaceBindings) return false;
    a.name = {};  // taken
  }
  if (!declared.empty()) {
    // Only this element's own bindings: the rest is shared with the parent.
    auto scope = std::make_shared<const NamespaceScope>(ChainBase(element.scope_),
                                                        std::move(declared));
    if (scope->GetBindingCount() > kMaxNamespaceBindings) return false;
    element.SetScope(std::move(scope));
  }

  std::u16string_view qualified_name = element.qualified_name_;
  const size_t colon = qualified_name.find(u':');
  if (colon == qualified_name.npos || colon == 0) {
    element.namespace_uri_ = element.default_namespace_;
    element.local_name_ = names_.Intern(qualified_name);
  } else {
    const SharedString* uri = element.FindBinding(qualified_name.substr(0, colon));
    std::u16string_view local = qualified_name.substr(colon + 1);
    if (!uri || !IsNcName(local) || local.find(u':') != local.npos) return false;
    element.namespace_uri_ = *uri;
    element.local_name_ = names_.Intern(local);
  }
  if (remaining == 0) return true;

  AttributeMap& attributes = element.GetAttributes();
  for (PendingAttribute& a : Pending()) {
    if (a.name.empty()) continue;
    // A transient element takes the nodes an earlier one left, with the
    // space of their strings: its attributes then cost no allocation.
    AttributeMap::node_type node;
    std::unique_ptr<XmlAttribute> fresh;
    XmlAttribute* attribute;
    if (transient && !spare_attributes_.empty()) {
      node = std::move(spare_attributes_.back());
      spare_attributes_.pop_back();
      attribute = node.mapped().get();
      attribute->qualified_name_.assign(a.name);
      attribute->value_.assign(a.value);
      attribute->namespace_uri_ = {};
      attribute->element_name_ = {};
      attribute->element_namespace_ = {};
    } else {
      fresh = std::make_unique<XmlAttribute>(std::u16string(a.name), std::move(a.value));
      attribute = fresh.get();
    }
    AttributeKey key;
    const size_t attribute_colon = a.name.find(u':');
    if (attribute_colon == a.name.npos) {
      SharedString name = names_.Intern(a.name);
      attribute->SetLocalName(name);
      attribute->SetElementName(element.local_name_);
      attribute->SetElementNamespace(element.namespace_uri_);
      key = {element.namespace_uri_, element.local_name_, std::move(name), {}};
    } else {
      if (attribute_colon == 0) return false;
      const SharedString* uri = element.FindBinding(a.name.substr(0, attribute_colon));
      std::u16string_view local = a.name.substr(attribute_colon + 1);
      if (!uri || !IsNcName(local) || local.find(u':') != local.npos) return false;
      SharedString name = names_.Intern(local);
      attribute->SetNamespaceURI(*uri);
      attribute->SetLocalName(name);
      key = {*uri, {}, std::move(name), *uri};
    }
    if (!node) {
      if (!attributes.emplace(std::move(key), std::move(fresh)).second) return false;
      continue;
    }
    node.key() = std::move(key);
    auto inserted = attributes.insert(std::move(node));
    if (!inserted.inserted) {
      spare_attributes_.push_back(std::move(inserted.node));
      return false;
    }
  }
  return true;
}

NamespaceScope::Ptr XmlParser::ChainBase(const NamespaceScope::Ptr& inherited) {
  if (!inherited || inherited->GetDepth() < NamespaceScope::kMaxDepth) return inherited;
  // One flattened copy per deep level, shared by all its declaring children:
  // a copy per child would cost what sharing the chain saves.
  auto& [level, flat] = flattened_[inherited.get()];
  if (!flat) {
    level = inherited;  // held, so that its address names it for the whole parse
    flat = std::make_shared<const NamespaceScope>(nullptr, inherited->Flatten());
  }
  return flat;
}

void XmlParser::SendStartPrefixMappings(const XmlElement& element, const XmlElement* parent) {
  if (!prefix_events_) return;
  if (!parent || element.default_namespace_ != parent->default_namespace_) {
    handler_->StartPrefixMapping(u"", element.default_namespace_);
  }
  if (parent && element.SharesScopeWith(*parent)) return;
  for (const auto& [prefix, uri] : DeclaredBindings(element, parent)) {
    if (!parent || !parent->LookupNamespace(prefix)) handler_->StartPrefixMapping(prefix, uri);
  }
}

void XmlParser::SendEndPrefixMappings(const XmlElement& element, const XmlElement* parent) {
  if (!prefix_events_) return;
  if (!parent || element.default_namespace_ != parent->default_namespace_) {
    handler_->EndPrefixMapping(u"");
  }
  if (parent && element.SharesScopeWith(*parent)) return;
  for (const auto& [prefix, uri] : DeclaredBindings(element, parent)) {
    if (!parent || !parent->LookupNamespace(prefix)) handler_->EndPrefixMapping(prefix);
  }
}

void XmlParser::AppendRun(std::u16string& text, std::u16string_view piece, TextRun& run) {
  if (piece.empty()) return;
  // A text begun by a reference or a line end has no run in the input to
  // extend: `run.begin` is then unset and must not be offset.
  if (text.empty()) {
    run.begin = piece.data();
  } else if (run.contiguous && piece.data() != run.begin + text.size()) {
    run.contiguous = false;
  }
  text.append(piece);
}

void XmlParser::XmlParseContent(XmlElement& element, int depth, TextRun& run) {
  std::u16string& text = element.text_;
  for (;;) {
    AppendRun(text, scanner_.ScanCharData(u'<', u'&', u']'), run);
    switch (scanner_.PeekChar()) {
      case u'<':
        switch (scanner_.PeekChar(1)) {
          case u'/':
            XmlParseEndTag(element);
            return;
          case u'!':
            if (!XmlParseComment() && !XmlParseCData(element, run)) RaiseParseError();
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
        run.contiguous = false;
        ParseReference(text);
        break;
      case u']':
        if (scanner_.MatchString(u"]]>")) RaiseParseError();
        AppendRun(text, {scanner_.Position(), 1}, run);
        scanner_.NextChar();
        break;
      default: {  // a line end, other character data, or what XML refuses
        const char16_t* at = scanner_.Position();
        if (scanner_.PeekChar() == u'\r') run.contiguous = false;  // read as a LF
        const size_t before = text.size();
        if (!scanner_.TakeSpecial(&text)) RaiseParseError();
        if (text.size() > before && run.contiguous) {
          if (before == 0) {
            run.begin = at;
          } else if (at != run.begin + before) {
            run.contiguous = false;
          }
        }
        break;
      }
    }
  }
}

bool XmlParser::XmlParseCData(XmlElement& element, TextRun& run) {
  if (!scanner_.MatchString(u"<![CDATA[")) return false;
  std::u16string& text = element.text_;
  for (;;) {
    // CDATA refuses every control but tab and line ends, DEL and C1 included.
    AppendRun(text, scanner_.ScanCharData</*stop_at_c1=*/true>(u']', u']', u']'), run);
    if (scanner_.MatchString(u"]]>")) return true;
    const char16_t c = scanner_.PeekChar();
    if (c == u']') {
      AppendRun(text, {scanner_.Position(), 1}, run);
      scanner_.NextChar();
    } else if ((text::IsCntrl(c) && c != u'\r') || !scanner_.TakeSpecial(&text)) {
      RaiseParseError();  // a control character, one XML refuses, or the end
    } else {
      run.contiguous = false;  // a line end read as a LF, or a character past U+D7FF
    }
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
    // Only characters XML admits: never NUL (it would cut the text short
    // wherever it is used as a C string), a surrogate or another control.
    if (!scanner_internal::IsXmlChar(value)) RaiseParseError();
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
