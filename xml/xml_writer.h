// The XML writer: element trees to text, without indentation or line breaks.
// Attributes are written in key order before the namespace declarations, and
// an element's text always comes before its children.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "xml/xml_element.h"

namespace xml {

inline constexpr std::u16string_view kXmlDeclaration =
    u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// Appends the text form of `element` and its subtree to `out`. `parent`, when
// given, is the element this one is written under: a scope entry that the
// parent binds to the same URI is not declared again. The "xml" prefix is
// declared only where a document bound it to another URI or back from one
// (no reader needs its usual binding). An unprefixed element in no namespace gets xmlns="" when a
// default namespace declared on an ancestor written by this call would
// otherwise capture it.
void WriteXmlElement(const XmlElement& element, const XmlElement* parent, std::u16string& out);

// Writes kXmlDeclaration and the tree under `root` as UTF-8 (no byte-order
// mark) into a new buffer from malloc that the caller frees; returns the byte
// count, or 0 (and *out null) when the conversion fails.
size_t WriteXmlDocument(const XmlElement& root, char** out);

// In place: '&' and '<' become references, and '>' too in text; in attribute
// values the apostrophe and the double quote instead of '>'. CR becomes a
// character reference in both, and so do TAB and LF in attribute values, so
// that a reader gets them back instead of a normalised line end or blank.
void EscapeXmlText(std::u16string& text);
void EscapeXmlAttribute(std::u16string& value);

}  // namespace xml
