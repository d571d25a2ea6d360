#include "xml/xml_writer.h"

#include <stdlib.h>
#include <string.h>

#include "platform/text/text.h"
#include "xml/namespaces.h"
#include "xml/utf8.h"
#include "xml/xml_parser.h"

namespace xml {

namespace {

// The reference written for `c` in text (or, with `attribute`, in an attribute
// value); empty where `c` stands for itself.
std::string_view ReferenceFor(char16_t c, bool attribute) {
  switch (c) {
    case u'&':
      return "&amp;";
    case u'<':
      return "&lt;";
    case u'>':
      return attribute ? "" : "&gt;";
    case u'\'':
      return attribute ? "&apos;" : "";
    case u'"':
      return attribute ? "&quot;" : "";
    // A reader turns raw line ends into LF, and raw spacing in attribute
    // values into blanks: references keep the characters as they are.
    case u'\r':
      return "&#13;";
    case u'\n':
      return attribute ? "&#10;" : "";
    case u'\t':
      return attribute ? "&#9;" : "";
    default:
      return "";
  }
}

// Appends `s` with the characters that `attribute` selects escaped, in runs.
void AppendEscaped(std::u16string& out, std::u16string_view s, bool attribute) {
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const std::string_view replacement = ReferenceFor(s[i], attribute);
    if (replacement.empty()) continue;
    out.append(s.substr(run, i - run)).append(replacement.begin(), replacement.end());
    run = i + 1;
  }
  out.append(s.substr(run));
}

// Where the tree writer puts its text: UTF-16 in a string, or UTF-8.
struct WideOut {
  std::u16string& s;
  void Raw(std::u16string_view text) { s.append(text); }
  void Raw(char16_t c) { s.push_back(c); }
  void Escaped(std::u16string_view text, bool attribute) { AppendEscaped(s, text, attribute); }
};
struct Utf8Out {
  Utf8Buffer& b;
  void Raw(std::u16string_view text) { b.AppendWide(text); }
  void Raw(char16_t c) { b.Append(char(c)); }  // the writer's own marks, all ASCII
  void Escaped(std::u16string_view text, bool attribute) { b.AppendEscaped(text, attribute); }
};

template <typename Out>
void AppendDeclaration(Out& out, std::u16string_view prefix, std::u16string_view uri) {
  out.Raw(prefix.empty() ? u" xmlns" : u" xmlns:");
  out.Raw(prefix);
  out.Raw(u"=\"");
  out.Escaped(uri, /*attribute=*/true);
  out.Raw(u'"');
}

// Everything of the start tag but its closing character; returns the default
// namespace in force below the element. `in_force` is the default namespace
// declared by the ancestors written so far.
template <typename Out>
std::u16string_view StartTag(const XmlElement& element, const XmlElement* parent,
                             std::u16string_view in_force, Out& out) {
  const std::u16string& name = element.GetQualifiedName();
  out.Raw(u'<');
  out.Raw(name);
  for (const auto& [key, attribute] : element.GetAttributes()) {
    out.Raw(u' ');
    out.Raw(attribute->GetQualifiedName());
    out.Raw(u"=\"");
    out.Escaped(attribute->GetValue(), /*attribute=*/true);
    out.Raw(u'"');
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
        // The scope, and so the text, lives as long as the element.
        in_force = uri.str();
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
  return in_force;
}

template <typename Out>
void WriteElement(const XmlElement& element, const XmlElement* parent,
                  std::u16string_view in_force, Out& out) {
  in_force = StartTag(element, parent, in_force, out);
  const ChildList& children = element.GetChildList();
  if (element.GetText().empty() && children.empty()) {
    out.Raw(u" />");
    return;
  }
  out.Raw(u'>');
  out.Escaped(element.GetText(), /*attribute=*/false);
  for (const XmlElementPtr& child : children) WriteElement(*child, &element, in_force, out);
  out.Raw(u"</");
  out.Raw(element.GetQualifiedName());
  out.Raw(u'>');
}

}  // namespace

void WriteXmlElement(const XmlElement& element, const XmlElement* parent, std::u16string& out) {
  WideOut wide{out};
  WriteElement(element, parent, {}, wide);
}

BSTR SerializeElementToBSTR(const XmlElement& element) {
  std::u16string out;
  WriteXmlElement(element, nullptr, out);
  return SysAllocStringLen(out.data(), static_cast<UINT>(out.size()));
}

std::u16string_view WriteStartTag(const XmlElement& element, const XmlElement* parent,
                                  std::u16string_view in_force, Utf8Buffer& out) {
  Utf8Out utf8{out};
  return StartTag(element, parent, in_force, utf8);
}

void WriteXmlElement(const XmlElement& element, const XmlElement* parent,
                     std::u16string_view in_force, Utf8Buffer& out) {
  Utf8Out utf8{out};
  WriteElement(element, parent, in_force, utf8);
}

size_t WriteXmlDocument(const XmlElement& root, char** out) {
  Utf8Buffer text;
  text.AppendWide(kXmlDeclaration);
  WriteXmlElement(root, nullptr, {}, text);
  size_t length = 0;
  *out = text.Release(&length);
  return length;
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

// ---- Utf8Buffer -------------------------------------------------------------

namespace {

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// One UTF-16 unit or pair at text[i] as UTF-8 at `o`; returns the units read.
size_t EncodeAt(std::u16string_view text, size_t i, char*& o) {
  char32_t c = text[i];
  size_t units = 1;
  if (IsHigh(char16_t(c)) && i + 1 < text.size() && IsLow(text[i + 1])) {
    c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
    units = 2;
  }
  o += text::Utf8EncodeOne(c, o);
  return units;
}

}  // namespace

Utf8Buffer::~Utf8Buffer() { free(data_); }

bool Utf8Buffer::Ensure(size_t more) {
  if (failed_) return false;
  if (capacity_ - size_ >= more) return true;
  size_t capacity = capacity_ ? capacity_ * 2 : 256;
  if (capacity - size_ < more) capacity = size_ + more;
  char* grown = static_cast<char*>(realloc(data_, capacity));
  if (!grown) {
    free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
    failed_ = true;
    return false;
  }
  data_ = grown;
  capacity_ = capacity;
  return true;
}

void Utf8Buffer::Append(std::string_view bytes) {
  if (bytes.empty() || !Ensure(bytes.size())) return;
  memcpy(data_ + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
}

void Utf8Buffer::Append(char c) {
  if (!Ensure(1)) return;
  data_[size_++] = c;
}

void Utf8Buffer::AppendWide(std::u16string_view text) {
  // Three bytes a unit covers every form (a pair's four bytes are two units).
  if (text.empty() || !Ensure(text.size() * 3)) return;
  char* o = data_ + size_;
  for (size_t i = 0; i < text.size();) {
    if (text[i] < 0x80) {
      *o++ = char(text[i++]);
    } else {
      i += EncodeAt(text, i, o);
    }
  }
  size_ = size_t(o - data_);
}

void Utf8Buffer::AppendEscaped(std::u16string_view text, bool attribute) {
  if (text.empty() || !Ensure(text.size() * 3)) return;
  char* o = data_ + size_;
  for (size_t i = 0; i < text.size();) {
    const char16_t c = text[i];
    if (c >= 0x80) {
      i += EncodeAt(text, i, o);
      continue;
    }
    const std::string_view replacement = ReferenceFor(c, attribute);
    ++i;
    if (replacement.empty()) {
      *o++ = char(c);
      continue;
    }
    // The reference takes more room than the three bytes counted for it.
    size_ = size_t(o - data_);
    if (!Ensure(replacement.size() + (text.size() - i) * 3)) return;
    o = data_ + size_;
    memcpy(o, replacement.data(), replacement.size());
    o += replacement.size();
  }
  size_ = size_t(o - data_);
}

char* Utf8Buffer::Release(size_t* length) {
  *length = 0;
  char* data = nullptr;
  if (!failed_ && size_ != 0) {
    // The text outlives the writer: an exact block for it, not the slack of
    // the last growth.
    data = static_cast<char*>(malloc(size_));
    if (data) {
      memcpy(data, data_, size_);
      *length = size_;
    }
  }
  free(data_);
  data_ = nullptr;
  size_ = capacity_ = 0;
  return data;
}

}  // namespace xml
