// XmlDocument: one owned element tree with slash-path queries, typed reads
// and deep copies. The loader that fetches documents from files and over
// HTTP derives from it. A document belongs to one thread at a time.
//
// Paths: "/" selects the root; otherwise "/a/b" selects, from the root's
// children, the children named a and then their children named b. A step is
// "*" (any element), "name" (an element in no namespace, whatever the
// document's default namespace), or "p:name" with p mapped by the caller; it
// may end in "[n]" (the n-th match, from 1).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "xml/xml_element.h"

namespace xmldoc {

// The caller's prefixes for query paths, independent of the document's own.
using QueryNamespaces = std::map<std::u16string, std::u16string, std::less<>>;

class XmlDocument {
 public:
  XmlDocument() = default;
  virtual ~XmlDocument() = default;
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Replaces the tree with a deep copy of `element` (which may belong to any
  // tree, this document's included). Clears the query results.
  void CopyOfNode(const xml::XmlElement& element);

  // Deletes the old tree and the query results, then parses `bytes` (any of
  // the encodings the parser detects). True when a root was obtained; false
  // for a parse error, leaving the document without a root.
  bool LoadFromBuffer(const void* bytes, size_t length);
  // The same for a document already decoded to UTF-16 (a BSTR's
  // SysStringLen characters, embedded NULs included).
  bool LoadFromText(std::u16string_view text);

  // Frees the old tree and takes `root` (may be null) as the new one. Clears
  // the query results.
  void SetRoot(xml::XmlElementPtr&& root);

  // Replaces the results with the elements `path` selects and puts the
  // cursor on the first. True when the path is valid and selected at least
  // one element.
  bool Query(std::u16string_view path, const QueryNamespaces& namespaces);
  // The same relative to `element` (any element of this tree): `path` has no
  // leading '/' and its first step matches `element`'s children.
  bool QueryFrom(const xml::XmlElement& element, std::u16string_view path,
                 const QueryNamespaces& namespaces);
  // The element under the cursor, advancing it; null after the last. Results
  // point into the tree: a load or a copy clears them.
  xml::XmlElement* NextNode();
  size_t GetResultCount() const { return results_.size(); }

  // Appends the elements `path` selects to `results`. False for a path not
  // beginning with '/', a document without root, or a failing step (see
  // SelectNodesByPath); results appended before a failure stay.
  bool SelectNodes(std::u16string_view path, std::vector<xml::XmlElement*>& results,
                   const QueryNamespaces& namespaces) const;

  xml::XmlElement* GetRoot() const { return root_.get(); }

 protected:
  void ClearResults();

 private:
  xml::XmlElementPtr root_;
  std::vector<xml::XmlElement*> results_;  // into root_'s tree, not owned
  size_t cursor_ = 0;
};

// Evaluates a relative path (no leading '/') from `element`'s children. False
// for an empty step, an unmapped prefix, a position below 1 or without ']',
// or a position beyond the matches; at an inner step without position, the
// first child whose rest of the path fails makes the whole step fail.
bool SelectNodesByPath(const xml::XmlElement& element, std::u16string_view path,
                       std::vector<xml::XmlElement*>& results,
                       const QueryNamespaces& namespaces);

}  // namespace xmldoc
