// XmlParser: the system's one XML reader. A hand-written recursive-descent
// parser over a UTF-16 buffer that builds the namespace-resolved element tree
// and reports events to an optional XmlContentHandler as it goes. It checks
// well-formedness as far as the tree needs and validates nothing. A handler
// that keeps its own records of deep elements can have the tree stop at a
// depth (SetTreeDepth): elements below it are reported but not kept.
//
// Failure: every parse error sends ParseError(line) to the handler, deletes
// the partly built tree and leaves by a thrown `int`, the true line number of
// the error. An exception thrown by a handler passes through unchanged, also
// after the partly built tree is deleted.
#pragma once

#include <climits>
#include <cstddef>
#include <memory>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/base/base.h"
#include "xml/content_handler.h"
#include "xml/shared_string.h"
#include "xml/xml_element.h"
#include "xml/xml_scanner.h"

namespace xml {

// Deepest element nesting accepted; deeper input is a parse error. It bounds
// the parser's recursion and every recursive walk over a parsed tree.
inline constexpr int kMaxNestingDepth = 1000;

// Longest namespace URI a document may declare, in UTF-16 units; a longer one
// is a parse error. Far above real URIs; it bounds what comparing names costs.
inline constexpr size_t kMaxNamespaceUriLength = 8192;

// Most prefix bindings in force on one element, the default namespace and
// "xml" included; more is a parse error. It bounds what looking up a prefix
// and reporting a scope cost.
inline constexpr size_t kMaxNamespaceBindings = 64;

class XmlParser {
 public:
  XmlParser() = default;
  ~XmlParser() = default;
  XmlParser(const XmlParser&) = delete;
  XmlParser& operator=(const XmlParser&) = delete;

  // Parses a UTF-16 document; `handler` may be null (no events) and is
  // stored until the next parse. Throws the line number on a parse error.
  void Parse(std::u16string_view text, XmlContentHandler* handler);
  // Parses one element taken out of a document, with no handler, as if it
  // stood where `inherited` (null: nothing) is in force: its names resolve,
  // and the root's scope holds, every binding of `inherited` besides its own.
  void ParseFragment(std::u16string_view text, const NamespaceScope* inherited);
  // Parse over the string's SysStringLen characters: an embedded NUL is
  // parsed (and refused) as any other character; a null BSTR is the empty
  // document.
  void ParseBstr(BSTR text, XmlContentHandler* handler);

  // Parses bytes whose first bytes decide the encoding (the declaration's
  // encoding is never consulted): FF FE is UTF-16LE, parsed in place when the
  // buffer is suitably aligned; FE FF is UTF-16BE; anything else is UTF-8,
  // after an optional EF BB BF. UTF-8 is decoded up to the first malformed
  // sequence, so a bad sequence usually ends in a parse error. The buffer must
  // stay valid for the call. Throws the line number on a parse error (an
  // empty input fails at line 1).
  void ParseXmlBuffer(const void* bytes, size_t length, XmlContentHandler* handler);
  // The text ParseXmlBuffer parses, its byte-order mark left out: the bytes
  // themselves when they are UTF-16LE that can be read in place, else `wide`,
  // their decoded copy.
  static std::u16string_view DecodeXmlBytes(const void* bytes, size_t length, std::u16string& wide);
  static std::u16string_view DecodeXmlBytes(const void* bytes, size_t length,
                                            std::pmr::u16string& wide);
  // As ParseXmlBuffer, for bytes the parser takes over: they are freed as soon
  // as the text is decoded, so that a large document is not held twice during
  // its parse. `bytes` is left empty.
  void ParseXmlBytes(std::string&& bytes, XmlContentHandler* handler);

  // Elements nested deeper than `depth` (the root is at 1) are reported to
  // the handler but left out of the tree: each is built in a place that the
  // next element at its depth reuses, so it is valid only from its
  // StartElement to its EndElement, and its parent lists no children. Every
  // element is kept by default; the root always is.
  void SetTreeDepth(int depth) { tree_depth_ = depth < 1 ? 1 : depth; }

  // Valid in a handler's StartElement and EndElement: the element's markup
  // read so far, from its '<' (up to and including its end tag in
  // EndElement), in the text being parsed.
  std::u16string_view CurrentMarkup() const {
    return {element_begin_, size_t(scanner_.Position() - element_begin_)};
  }

  // The tree of the last successful parse (or of SetRoot); null when none.
  XmlElement* GetRoot() const { return root_.get(); }
  // Hands the tree to the caller; the parser then holds none.
  XmlElementPtr DetachRoot() { return std::move(root_); }
  // Replaces (and deletes) the tree held, e.g. to write a tree built by code.
  void SetRoot(XmlElementPtr&& root) { root_ = std::move(root); }

  // Writes the held tree as a UTF-8 document (see xml_writer.h) into a new
  // buffer from malloc that the caller frees; returns its byte count, or 0
  // (and *out null) when there is no root or the conversion fails.
  size_t WriteXmlDocument(char** out) const;

  // True when the last parse met a DOCTYPE declaration (set as soon as it is
  // read, so also when the parse failed later). Callers that refuse documents
  // with one, such as SOAP messages, check it.
  bool HadDoctype() const { return had_doctype_; }

  // Buckets of the repeated-attribute set; read from a handler mid-parse.
  size_t DuplicateSetBucketCountForTest() const { return seen_names_.bucket_count(); }

 private:
  struct PendingAttribute {
    std::u16string_view name;  // points into the input buffer
    std::u16string value;
  };

  void ParseDocument();
  void ParseProlog();
  void ParseMisc();
  bool XmlParseComment();
  // `report`: send the handler's ProcessingInstruction (not inside a DOCTYPE).
  bool XmlParseProcessingInstruction(bool report = true);
  bool XmlParseDoctype();
  bool SkipQuotedLiteral();
  void SkipInternalSubset();
  // Where a character-data run of the text being read started, while the
  // text is still one unchanged run of the input; then a handler gets that
  // run instead of a copy.
  struct TextRun {
    const char16_t* begin = nullptr;
    bool contiguous = true;
  };
  static void AppendRun(std::u16string& text, std::u16string_view piece, TextRun& run);
  XmlElement* ParseXmlElement(XmlElement* parent, int depth);
  // The element for a start tag at `depth`: a new tree node, or a reused one
  // below the tree depth.
  XmlElement* NewElement(XmlElement* parent, int depth, std::u16string_view qualified_name);
  bool ParseAttribute();
  bool ParseAttValue(std::u16string& value);
  bool IsDuplicateAttribute(std::u16string_view name);
  // `transient`: the element is below the tree depth.
  bool ResolveNamespaces(XmlElement& element, const XmlElement* parent, bool transient);
  // What a new level declared under `inherited` chains to: `inherited`, or a
  // flattened copy of it once its chain is NamespaceScope::kMaxDepth long.
  NamespaceScope::Ptr ChainBase(const NamespaceScope::Ptr& inherited);
  void SendStartPrefixMappings(const XmlElement& element, const XmlElement* parent);
  void SendEndPrefixMappings(const XmlElement& element, const XmlElement* parent);
  void XmlParseContent(XmlElement& element, int depth, TextRun& run);
  bool XmlParseCData(XmlElement& element, TextRun& run);
  void XmlParseEndTag(const XmlElement& element);
  void ParseReference(std::u16string& out);
  static char16_t LookupEntity(std::u16string_view name);
  [[noreturn]] void RaiseParseError();

  XmlScanner scanner_;
  XmlContentHandler* handler_ = nullptr;
  // The handler takes the prefix events; set at the start of each parse.
  bool prefix_events_ = false;
  XmlElementPtr root_;
  bool had_doctype_ = false;
  int tree_depth_ = INT_MAX;
  // The scope a fragment's root inherits (ParseFragment); null otherwise.
  const NamespaceScope* inherited_ = nullptr;
  const char16_t* element_begin_ = nullptr;
  // The reused elements below the tree depth, by depth below it.
  std::vector<XmlElementPtr> transient_;
  // Attributes of the start tag being read: the first pending_count_ entries.
  // Entries stay between tags, so that their values reuse their space.
  std::vector<PendingAttribute> pending_;
  size_t pending_count_ = 0;
  std::span<PendingAttribute> Pending() { return {pending_.data(), pending_count_}; }
  // Attribute nodes of ended transient elements, for the next ones.
  std::vector<AttributeMap::node_type> spare_attributes_;
  // Names already seen on a start tag with many attributes.
  std::unordered_set<std::u16string_view> seen_names_;
  // URIs, prefixes and local names of the parse under way, each kept once
  // however many nodes carry it.
  StringInterner names_;
  // Flattened copies of deep scope levels made by the parse under way, by
  // level, so that siblings share them.
  std::unordered_map<const NamespaceScope*, std::pair<NamespaceScope::Ptr, NamespaceScope::Ptr>>
      flattened_;
};

}  // namespace xml
