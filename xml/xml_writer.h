// The XML writer: element trees to text, without indentation or line breaks.
// Attributes are written in key order before the namespace declarations, and
// an element's text always comes before its children.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/com/bstr.h"
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

// `element` written as by WriteXmlElement with no parent, in a new BSTR that
// the caller frees; null when it cannot be allocated.
BSTR SerializeElementToBSTR(const XmlElement& element);

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

// UTF-8 text growing in one buffer from malloc, for writers that stream a
// document instead of building its tree. UTF-16 input is converted as
// WriteXmlDocument converts it: a valid surrogate pair becomes one four-byte
// sequence, a lone surrogate three bytes. A failed allocation empties the
// buffer and marks it failed; later appends do nothing.
class Utf8Buffer {
 public:
  Utf8Buffer() = default;
  ~Utf8Buffer();
  Utf8Buffer(const Utf8Buffer&) = delete;
  Utf8Buffer& operator=(const Utf8Buffer&) = delete;

  void Append(std::string_view bytes);
  void Append(char c);
  void AppendWide(std::u16string_view text);
  // Escaped as EscapeXmlText / EscapeXmlAttribute escape.
  void AppendEscaped(std::u16string_view text, bool attribute);

  size_t size() const { return size_; }
  bool failed() const { return failed_; }
  // The bytes (null when none or failed) for the caller to free; the buffer is
  // left empty.
  char* Release(size_t* length);

 private:
  // Room for `more` bytes past the end; false when it cannot be had.
  bool Ensure(size_t more);

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

// The pieces of WriteXmlElement, for a writer that streams children of its own
// between an element's tags. The start tag is left without its closing
// character: the caller writes '>' before the element's content, or " />" in
// place of the end tag when there is none. Returns the default namespace in
// force for the element's children (a view into `element` or `in_force`).
std::u16string_view WriteStartTag(const XmlElement& element, const XmlElement* parent,
                                  std::u16string_view in_force, Utf8Buffer& out);
// The whole element under `parent`, with `in_force` the default namespace its
// ancestors declared.
void WriteXmlElement(const XmlElement& element, const XmlElement* parent,
                     std::u16string_view in_force, Utf8Buffer& out);

}  // namespace xml
