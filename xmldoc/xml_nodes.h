// The server's narrow layer over the XML element tree: typed reads and writes
// of element text, element creation with a namespace, child selection by name,
// the indented writer used for the configuration file, and loading and saving
// whole documents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/base.h"
#include "xml/xml_element.h"

namespace xmldoc {

using xml::XmlElement;
using xml::XmlElementPtr;

// ---- Typed accessors; each takes the element last ---------------------------

bool GetNodeText(std::u16string* text, const XmlElement& element);
// The text encoded as UTF-8.
bool GetNodeTextNarrow(std::string* text, const XmlElement& element);
// The text decoded from UTF-8 replaces the element's text. Always true.
bool SetNodeTextNarrow(std::string_view text, XmlElement& element);
// _wtoi of the text: 0 for text that is no number.
bool GetNodeInt(int* value, const XmlElement& element);
// False, with the text unchanged, only when formatting fails.
bool SetNodeInt(int value, XmlElement& element);
// wcstoul of the text in base 10.
bool GetNodeULong(uint32_t* value, const XmlElement& element);
bool SetNodeULong(uint32_t value, XmlElement& element);
// "1" or "true" give true, "0" or "false" false (exact case); any other text
// returns false and leaves *value alone.
[[nodiscard]] bool GetNodeBool(bool* value, const XmlElement& element);
// Writes "true" or "false". Always true.
bool SetNodeBool(bool value, XmlElement& element);

// ---- Creation ----------------------------------------------------------------

// Replaces *root with a new element. It is named prefix ":" localName when
// both `namespaceURI` and `prefix` are non-empty, else localName; a non-empty
// `namespaceURI` is declared on it (under `prefix`, or as the default
// namespace). Returns the new root.
XmlElement* CreateRootElement(XmlElementPtr& root, std::u16string_view namespaceURI,
                              std::u16string_view prefix, std::u16string_view localName);
// The same naming and declaration; the element is appended as the last child
// of `parent` when one is given (and is then owned by it). With no parent the
// caller owns the result.
XmlElement* CreateChildElement(XmlElement* parent, std::u16string_view namespaceURI,
                               std::u16string_view prefix, std::u16string_view localName);

// ---- Selection -----------------------------------------------------------------

// The first child with this local name in no namespace, or null.
const XmlElement* FindChildNamed(const XmlElement& parent, std::u16string_view localName);
// Every child with this local name in no namespace, in document order.
std::vector<const XmlElement*> ChildrenNamed(const XmlElement& parent,
                                             std::u16string_view localName);

// ---- Writing -------------------------------------------------------------------

inline constexpr char kXmlDeclarationLine[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";

// Appends `element` to `out`: each element on a line of its own ("\r\n" then
// level x indent blanks), text only on leaves, " />" for an empty element.
// An element with children loses its text (in `out` and in the element), so
// rewriting a file never accumulates the spacing read between elements.
// Declarations that `parent` makes with the same URI are not repeated.
void WriteXmlIndented(XmlElement& element, const XmlElement* parent, std::u16string& out, int level,
                      int indent);
// The root in UTF-8, indented (level 0, indent 4) or compact; empty for no root.
std::string SerializeDocument(XmlElement* root, bool indented);
// The same as a new BSTR the caller frees: false and *out null when there is
// no root (or no memory).
bool SerializeDocumentToBstr(XmlElement* root, bool indented, BSTR* out);
// The declaration line followed by the indented document, in UTF-8.
std::string DocumentFileText(XmlElement& root);
// The element in the compact form as a new BSTR the caller frees; null when
// out of memory.
BSTR ElementToBSTR(const XmlElement& element, const XmlElement* parent);
// WriteXmlIndented of the element at `level` with `indent` blanks a level, as
// a new BSTR the caller frees; null when out of memory.
BSTR IndentedElementToBSTR(XmlElement& element, const XmlElement* parent, int level, int indent);

// Replaces the file at `path` (a leading "file://" is dropped) with
// DocumentFileText(root), whole: on any failure the old file is kept and the
// result is false.
bool WriteDocumentToFile(const std::string& path, XmlElement& root);

// ---- Loading -------------------------------------------------------------------

// `url` without a leading "file://"; anything else is a path as it stands.
std::string FileUrlToPath(const std::string& url);

// Reads `path` (a leading "file://" is dropped) and parses it. Null when the
// file cannot be read, is larger than `maxBytes`, or is no well-formed XML;
// *error (when given) then says why.
XmlElementPtr LoadXmlFile(const std::string& path, size_t maxBytes, std::string* error = nullptr);

}  // namespace xmldoc
