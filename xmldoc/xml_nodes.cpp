#include "xmldoc/xml_nodes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/com/bstr.h"
#include "platform/file/atomic_file.h"
#include "platform/text/text.h"
#include "xml/xml_parser.h"
#include "xml/xml_writer.h"

namespace xmldoc {

// ---- Typed accessors ----------------------------------------------------------

bool GetNodeText(std::u16string* text, const XmlElement& element) {
  *text = element.GetText();
  return true;
}

bool GetNodeTextNarrow(std::string* text, const XmlElement& element) {
  *text = text::Narrow(element.GetText());
  return true;
}

bool SetNodeTextNarrow(std::string_view text, XmlElement& element) {
  element.SetText(text::Widen(text));
  return true;
}

bool GetNodeInt(int* value, const XmlElement& element) {
  *value = text::WToI(element.GetText());
  return true;
}

bool SetNodeInt(int value, XmlElement& element) {
  std::u16string t = text::WFormat("%d", value);
  if (t.empty()) return false;
  element.SetText(std::move(t));
  return true;
}

bool GetNodeULong(uint32_t* value, const XmlElement& element) {
  *value = text::WcsToUL(element.GetText());
  return true;
}

bool SetNodeULong(uint32_t value, XmlElement& element) {
  std::u16string t = text::WFormat("%u", value);
  if (t.empty()) return false;
  element.SetText(std::move(t));
  return true;
}

bool GetNodeBool(bool* value, const XmlElement& element) {
  const std::u16string& t = element.GetText();
  if (t == u"1" || t == u"true") {
    *value = true;
    return true;
  }
  if (t == u"0" || t == u"false") {
    *value = false;
    return true;
  }
  return false;
}

bool SetNodeBool(bool value, XmlElement& element) {
  element.SetText(value ? u"true" : u"false");
  return true;
}

// ---- Creation -------------------------------------------------------------------

namespace {

XmlElementPtr NewElement(std::u16string_view namespaceURI, std::u16string_view prefix,
                         std::u16string_view localName) {
  std::u16string qname;
  if (!namespaceURI.empty() && !prefix.empty()) {
    qname.append(prefix).append(u":");
  }
  qname.append(localName);
  auto e = std::make_unique<XmlElement>(std::move(qname), std::u16string(namespaceURI),
                                        std::u16string(localName));
  if (!namespaceURI.empty()) {
    e->AddNamespace(prefix, namespaceURI);
    if (prefix.empty()) e->SetDefaultNamespace(std::u16string(namespaceURI));
  }
  return e;
}

}  // namespace

XmlElement* CreateRootElement(XmlElementPtr& root, std::u16string_view namespaceURI,
                              std::u16string_view prefix, std::u16string_view localName) {
  root = NewElement(namespaceURI, prefix, localName);
  return root.get();
}

XmlElement* CreateChildElement(XmlElement* parent, std::u16string_view namespaceURI,
                               std::u16string_view prefix, std::u16string_view localName) {
  XmlElementPtr e = NewElement(namespaceURI, prefix, localName);
  if (parent == nullptr) return e.release();
  return parent->AppendChild(std::move(e));
}

// ---- Selection --------------------------------------------------------------------

const XmlElement* FindChildNamed(const XmlElement& parent, std::u16string_view localName) {
  return parent.FindChild(localName, u"");
}

std::vector<const XmlElement*> ChildrenNamed(const XmlElement& parent,
                                             std::u16string_view localName) {
  std::vector<const XmlElement*> found;
  for (const XmlElementPtr& c : parent.GetChildList()) {
    if (c->GetLocalName() == localName && c->GetNamespaceURI().empty()) found.push_back(c.get());
  }
  return found;
}

// ---- Writing -----------------------------------------------------------------------

namespace {

void AppendAttributeValue(std::u16string_view value, std::u16string& out) {
  std::u16string v(value);
  xml::EscapeXmlAttribute(v);
  out += u"=\"";
  out += v;
  out += u'"';
}

void AppendLineStart(int level, int indent, std::u16string& out) {
  out += u"\r\n";
  out.append(static_cast<size_t>(std::max(level, 0)) * static_cast<size_t>(std::max(indent, 0)),
             u' ');
}

}  // namespace

void WriteXmlIndented(XmlElement& element, const XmlElement* parent, std::u16string& out, int level,
                      int indent) {
  AppendLineStart(level, indent, out);
  out += u'<';
  out += element.GetQualifiedName();
  for (const auto& [key, attribute] : element.GetAttributes()) {
    out += u' ';
    out += attribute->GetQualifiedName();
    AppendAttributeValue(attribute->GetValue(), out);
  }
  for (const auto& [prefix, uri] : element.GetNamespaceScope()) {
    if (prefix == u"xml") continue;
    if (parent != nullptr) {
      const std::u16string* inherited = parent->LookupNamespace(prefix);
      if (inherited != nullptr && *inherited == uri) continue;
    }
    out += prefix.empty() ? u" xmlns" : u" xmlns:";
    out += prefix;
    AppendAttributeValue(uri, out);
  }
  const bool hasChildren = element.GetChildCount() != 0;
  if (!hasChildren && element.GetText().empty()) {
    out += u" />";
    return;
  }
  // Text beside children is only the spacing read between them.
  if (hasChildren) element.SetText(std::u16string());
  out += u'>';
  std::u16string text = element.GetText();
  xml::EscapeXmlText(text);
  out += text;
  for (const XmlElementPtr& child : element.GetChildList()) {
    WriteXmlIndented(*child, &element, out, level + 1, 4);
  }
  if (hasChildren) AppendLineStart(level, indent, out);
  out += u"</";
  out += element.GetQualifiedName();
  out += u'>';
}

namespace {

std::u16string SerializeWide(XmlElement& root, bool indented) {
  std::u16string wide;
  if (indented) {
    WriteXmlIndented(root, nullptr, wide, 0, 4);
  } else {
    xml::WriteXmlElement(root, nullptr, wide);
  }
  return wide;
}

}  // namespace

std::string SerializeDocument(XmlElement* root, bool indented) {
  if (root == nullptr) return {};
  return text::Narrow(SerializeWide(*root, indented));
}

bool SerializeDocumentToBstr(XmlElement* root, bool indented, BSTR* out) {
  *out = nullptr;
  if (root == nullptr) return false;
  *out = SysAllocString(SerializeWide(*root, indented));
  return *out != nullptr;
}

std::string DocumentFileText(XmlElement& root) {
  return kXmlDeclarationLine + SerializeDocument(&root, /*indented=*/true);
}

BSTR ElementToBSTR(const XmlElement& element, const XmlElement* parent) {
  std::u16string wide;
  xml::WriteXmlElement(element, parent, wide);
  return SysAllocString(wide);
}

BSTR IndentedElementToBSTR(XmlElement& element, const XmlElement* parent, int level, int indent) {
  std::u16string wide;
  WriteXmlIndented(element, parent, wide, level, indent);
  return SysAllocString(wide);
}

// ---- Loading -----------------------------------------------------------------------

namespace {

void SetError(std::string* error, std::string message) {
  if (error != nullptr) *error = std::move(message);
}

}  // namespace

std::string FileUrlToPath(const std::string& url) {
  // Only a prefix: a directory whose name merely contains the scheme is real.
  static constexpr std::string_view kScheme = "file://";
  if (url.starts_with(kScheme)) return url.substr(kScheme.size());
  return url;
}

bool WriteDocumentToFile(const std::string& path, XmlElement& root) {
  return file::ReplaceFile(FileUrlToPath(path), DocumentFileText(root)) == 0;
}

XmlElementPtr LoadXmlFile(const std::string& url, size_t maxBytes, std::string* error) {
  const std::string path = FileUrlToPath(url);

  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, "cannot open " + path + ": " + std::strerror(errno));
    return nullptr;
  }
  std::string bytes;
  char buffer[16384];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetError(error, "cannot read " + path + ": " + std::strerror(errno));
      ok = false;
      break;
    }
    if (n == 0) break;
    if (static_cast<size_t>(n) > maxBytes - bytes.size()) {
      SetError(error, text::Format("%s is larger than %zu bytes", path.c_str(), maxBytes));
      ok = false;
      break;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (!ok) return nullptr;

  xml::XmlParser parser;
  try {
    parser.ParseXmlBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                          nullptr);
  } catch (int line) {
    SetError(error, text::Format("%s: XML error at line %d", path.c_str(), line));
    return nullptr;
  }
  XmlElementPtr root = parser.DetachRoot();
  if (!root) SetError(error, path + ": no root element");
  return root;
}

}  // namespace xmldoc
