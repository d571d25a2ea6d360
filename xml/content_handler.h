// XmlContentHandler: the events the parser reports while it builds a tree.
// Every operation but StartElement has a default that does nothing, so a
// handler implements only what it needs. Views passed to a handler are valid
// for the duration of the call; the element itself lives as long as the tree.
#pragma once

#include <string_view>

#include "xml/xml_element.h"

namespace xml {

class XmlContentHandler {
 public:
  virtual ~XmlContentHandler() = default;

  virtual void StartDocument() {}
  virtual void EndDocument() {}
  // Sent once the start tag is read and its names resolved; `element` has its
  // attributes but no content yet.
  virtual void StartElement(std::u16string_view uri, std::u16string_view local_name,
                            std::u16string_view qualified_name, const AttributeMap& attributes,
                            XmlElement& element) = 0;
  // The result is the handler's own business; the parser ignores it.
  virtual bool EndElement(std::u16string_view uri, std::u16string_view local_name,
                          std::u16string_view qualified_name, XmlElement& element) {
    (void)uri, (void)local_name, (void)qualified_name, (void)element;
    return true;
  }
  // The element's whole text, once, after the events of all its children and
  // just before its EndElement; not sent for an element without text. Where
  // the text stands unchanged in the input as one run, `text` views the input.
  virtual void Characters(std::u16string_view text) { (void)text; }
  // Sent before the parse leaves by a thrown line number.
  virtual void ParseError(int line) { (void)line; }
  virtual void ProcessingInstruction(std::u16string_view target, std::u16string_view data) {
    (void)target, (void)data;
  }
  // False spares the parse working out the prefix events below: a handler
  // that reads no prefixes takes none. Asked once per parse.
  virtual bool WantsPrefixMappings() const { return true; }
  virtual void StartPrefixMapping(std::u16string_view prefix, std::u16string_view uri) {
    (void)prefix, (void)uri;
  }
  virtual void EndPrefixMapping(std::u16string_view prefix) { (void)prefix; }
};

}  // namespace xml
