// Test support: a canonical one-line dump of a resolved element tree (names
// with their namespace URIs, attributes in key order, text, children), so that
// tests can compare trees made from different inputs.
#pragma once

#include <string>

#include "platform/text/text.h"
#include "xml/xml_element.h"

namespace xml::testing {

inline std::string DumpTree(const XmlElement& e) {
  std::string s = "{" + text::Narrow(e.GetNamespaceURI()) + "}" + text::Narrow(e.GetLocalName());
  for (const auto& [key, a] : e.GetAttributes()) {
    s += " {" + text::Narrow(a->GetNamespaceURI()) + "}" + text::Narrow(a->GetLocalName()) + "=" +
         text::Narrow(a->GetValue());
  }
  s += "[" + text::Narrow(e.GetText()) + "]";
  for (const auto& c : e.GetChildList()) s += "(" + DumpTree(*c) + ")";
  return s;
}

}  // namespace xml::testing
