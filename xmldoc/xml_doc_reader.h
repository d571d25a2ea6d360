// XmlDocReader: an XmlDocument that loads itself from a URL: a local file
// named directly or by a file:// URL, or a document fetched with one HTTP GET
// that may follow one redirect.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "xmldoc/document_source.h"
#include "xmldoc/xml_document.h"

namespace xmldoc {

// The identity a reader gives its users.
inline constexpr std::string_view kDocReaderName = "Quorvel XML DocReader/1.1";

class XmlDocReader : public XmlDocument {
 public:
  XmlDocReader();
  ~XmlDocReader() override;

  // An http:// URL (at the start, after white space) is fetched with the
  // reader's time-out; otherwise the text after "file://", or the whole URL,
  // names a file. True when a document was loaded; see the two loaders below
  // for what a failure leaves.
  bool LoadDocumentFromUrl(std::string_view url);
  // Reads the whole file and parses it. A file that cannot be read leaves
  // the old tree; a parse error leaves none. Either clears the query results.
  bool LoadDocumentFromFile(const std::string& path);
  // GET with at most one redirect, then parses the body. A failed fetch
  // leaves the old tree; a parse error leaves none. Either clears the query
  // results.
  bool FetchDocumentOverHttp(std::string_view host, std::string_view path, int port,
                             uint32_t timeout_ms);

  const std::string& GetName() const { return name_; }
  uint32_t GetTimeout() const { return timeout_ms_; }

 private:
  uint32_t timeout_ms_ = kDocumentTimeoutMs;
  std::string name_;
};

}  // namespace xmldoc
