// SaxDispatcher: a content handler that drives a stack of NodeHandlers, one
// per open element. The owner sets a root handler, which is asked for the
// document element's handler; each handler then picks its children's
// handlers. Elements no handler wants are skipped by IgnoreHandlers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "xml/content_handler.h"
#include "xml/node_handler.h"

namespace xml {

class SaxDispatcher : public XmlContentHandler {
 public:
  SaxDispatcher() = default;
  // Deletes the IgnoreHandlers still on the stack after an abandoned parse,
  // those a handler returned included; other handlers are never touched, so
  // they may be gone.
  ~SaxDispatcher() override;
  SaxDispatcher(const SaxDispatcher&) = delete;
  SaxDispatcher& operator=(const SaxDispatcher&) = delete;

  // Not owned; must outlive the parses it serves. Null skips whole documents.
  void SetRootHandler(NodeHandler* root) { root_handler_ = root; }
  NodeHandler* GetRootHandler() const { return root_handler_; }

  // Clears what an earlier (possibly abandoned) parse left, then pushes the
  // root handler, or an IgnoreHandler when none is set.
  void StartDocument() override;
  void StartElement(std::u16string_view uri, std::u16string_view local_name,
                    std::u16string_view qualified_name, const AttributeMap& attributes,
                    XmlElement& element) override;
  // Pops the top handler when its EndElement returns true; it is not deleted
  // (an IgnoreHandler deletes itself). Always returns true.
  bool EndElement(std::u16string_view uri, std::u16string_view local_name,
                  std::u16string_view qualified_name, XmlElement& element) override;
  void Characters(std::u16string_view text) override;
  void StartPrefixMapping(std::u16string_view prefix, std::u16string_view uri) override;
  void EndPrefixMapping(std::u16string_view prefix) override;

  bool WantsPrefixMappings() const override { return keep_prefix_map_; }
  // The prefixes mapped by the open elements; always empty when the map is
  // not kept.
  const NamespaceMap& GetPrefixMap() const { return prefix_map_; }
  // An owner that never reads the map spares every parse keeping it.
  void SetKeepPrefixMap(bool keep) { keep_prefix_map_ = keep; }
  size_t GetStackDepthForTest() const { return stack_.size(); }

 private:
  void ClearStack();

  struct Entry {
    NodeHandler* handler;
    bool owned;  // an IgnoreHandler; nothing else is touched
  };

  // Top at the back. A vector: a deque allocates on construction, and many
  // dispatchers (the response side of every message's) never parse.
  std::vector<Entry> stack_;
  NamespaceMap prefix_map_;
  NodeHandler* root_handler_ = nullptr;
  bool keep_prefix_map_ = true;
};

}  // namespace xml
