#include "xmldoc/xml_doc_reader.h"

namespace xmldoc {

XmlDocReader::XmlDocReader() : name_(kDocReaderName) {}

XmlDocReader::~XmlDocReader() = default;

bool XmlDocReader::LoadDocumentFromUrl(std::string_view url) {
  if (IsHttpUrl(url)) {
    HttpUrl parts;
    if (!ParseHttpUrl(url, &parts)) {
      ClearResults();
      return false;
    }
    return FetchDocumentOverHttp(parts.host, parts.path, parts.port, timeout_ms_);
  }
  if (const size_t at = url.find("file://"); at != std::string_view::npos) {
    url.remove_prefix(at + 7);
  }
  return LoadDocumentFromFile(std::string(url));
}

bool XmlDocReader::LoadDocumentFromFile(const std::string& path) {
  ClearResults();
  std::string bytes;
  if (!ReadDocumentFile(path, &bytes)) return false;
  return LoadFromBuffer(bytes.data(), bytes.size());
}

bool XmlDocReader::FetchDocumentOverHttp(std::string_view host, std::string_view path, int port,
                                         uint32_t timeout_ms) {
  ClearResults();
  return xmldoc::FetchDocumentOverHttp(host, path, port, timeout_ms, [this](std::string_view body) {
    return LoadFromBuffer(body.data(), body.size());
  });
}

}  // namespace xmldoc
