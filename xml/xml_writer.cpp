#include "xml/xml_writer.h"

#include "xml/namespaces.h"
#include "xml/utf8.h"
#include "xml/xml_parser.h"

namespace xml {

namespace {

// Appends `s` with the characters that `attribute` selects escaped, in runs.
void AppendEscaped(std::u16string& out, std::u16string_view s, bool attribute) {
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    std::u16string_view replacement;
    switch (s[i]) {
      case u'&':
        replacement = u"&amp;";
        break;
      case u'<':
        replacement = u"&lt;";
        break;
      case u'>':
        if (!attribute) replacement = u"&gt;";
        break;
      case u'\'':
        if (attribute) replacement = u"&apos;";
        break;
      case u'"':
        if (attribute) replacement = u"&quot;";
        break;
      // A reader turns raw line ends into LF, and raw spacing in attribute
      // values into blanks: references keep the characters as they are.
      case u'\r':
        replacement = u"&#13;";
        break;
      case u'\n':
        if (attribute) replacement = u"&#10;";
        break;
      case u'\t':
        if (attribute) replacement = u"&#9;";
        break;
      default:
        break;
    }
    if (replacement.empty()) continue;
    out.append(s.substr(run, i - run)).append(replacement);
    run = i + 1;
  }
  out.append(s.substr(run));
}

void AppendDeclaration(std::u16string& out, std::u16string_view prefix, std::u16string_view uri) {
  out.append(prefix.empty() ? u" xmlns" : u" xmlns:").append(prefix).append(u"=\"");
  AppendEscaped(out, uri, /*attribute=*/true);
  out.push_back(u'"');
}

// `in_force` is the default namespace declared by the ancestors written so far.
void WriteElement(const XmlElement& element, const XmlElement* parent,
                  std::u16string_view in_force, std::u16string& out) {
  const std::u16string& name = element.GetQualifiedName();
  out.push_back(u'<');
  out.append(name);
  for (const auto& [key, attribute] : element.GetAttributes()) {
    out.push_back(u' ');
    out.append(attribute->GetQualifiedName()).append(u"=\"");
    AppendEscaped(out, attribute->GetValue(), /*attribute=*/true);
    out.push_back(u'"');
  }
  bool declared_default = false;
  const NamespaceScope* scope = element.GetScope();
  if (scope && (!parent || !element.SharesScopeWith(*parent))) {
    // Only the levels the parent does not share can bind anything new.
    for (const auto& [prefix, uri] : scope->BindingsSince(parent ? parent->GetScope() : nullptr)) {
      const std::u16string* bound = parent ? parent->LookupNamespace(prefix) : nullptr;
      if (bound && *bound == uri) continue;
      // Every reader binds "xml" by itself; a document that rebound it keeps
      // its declarations, or rereading would change the names under it.
      if (prefix == u"xml" && uri == kXmlNamespace && !bound) continue;
      AppendDeclaration(out, prefix, uri);
      if (prefix.empty()) {
        declared_default = true;
        in_force = uri;
      }
    }
  }
  // Only an element whose names were resolved is known to be in no
  // namespace; one built from a qualified name alone is written as given.
  if (!declared_default && !in_force.empty() && !element.GetLocalName().empty() &&
      element.GetNamespaceURI().empty() && name.find(u':') == name.npos) {
    // Without this a reader would put the element in the inherited namespace.
    AppendDeclaration(out, u"", u"");
    in_force = {};
  }
  const ChildList& children = element.GetChildList();
  if (element.GetText().empty() && children.empty()) {
    out.append(u" />");
    return;
  }
  out.push_back(u'>');
  AppendEscaped(out, element.GetText(), /*attribute=*/false);
  for (const XmlElementPtr& child : children) WriteElement(*child, &element, in_force, out);
  out.append(u"</").append(name).push_back(u'>');
}

}  // namespace

void WriteXmlElement(const XmlElement& element, const XmlElement* parent, std::u16string& out) {
  WriteElement(element, parent, {}, out);
}

size_t WriteXmlDocument(const XmlElement& root, char** out) {
  std::u16string text(kXmlDeclaration);
  WriteXmlElement(root, nullptr, text);
  return WideToUtf8Buffer(text.data(), text.size(), out);
}

size_t XmlParser::WriteXmlDocument(char** out) const {
  if (!root_) {
    *out = nullptr;
    return 0;
  }
  return xml::WriteXmlDocument(*root_, out);
}

void EscapeXmlText(std::u16string& text) {
  std::u16string escaped;
  AppendEscaped(escaped, text, /*attribute=*/false);
  text.swap(escaped);
}

void EscapeXmlAttribute(std::u16string& value) {
  std::u16string escaped;
  AppendEscaped(escaped, value, /*attribute=*/true);
  value.swap(escaped);
}

}  // namespace xml
