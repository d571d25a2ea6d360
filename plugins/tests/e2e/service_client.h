// What the end-to-end tests of the test services share: a braskel copy
// serving them on a loopback port, requests written by hand (SOAP and DIME),
// and answers read back as element trees and DIME records.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/braskel/testing/braskel_process.h"
#include "xml/xml_parser.h"

namespace testsvc_e2e {

inline constexpr char kSoap11[] = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr char kSoap12[] = "http://www.w3.org/2003/05/soap-envelope";

// ---- DIME, written and read here without the server's library ----

struct DimeRecord {
  std::string id, type;
  uint8_t tnf = 0;
  std::string options;  // the OPTIONS field as sent
  std::string data;
  bool operator==(const DimeRecord&) const = default;
};

// One unchunked record per entry, MB on the first and ME on the last.
std::string WriteDime(const std::vector<DimeRecord>& records);

// The records of a whole message, chunks joined; nothing when the bytes are
// not exactly one. The flags of each first record are kept in `flags`.
struct ReadDimeResult {
  std::vector<DimeRecord> records;
  std::vector<uint8_t> flags;  // MB 4, ME 2 (of the record's last chunk)
};
std::optional<ReadDimeResult> ReadDime(std::string_view wire);

// ---- HTTP ----

struct Reply {
  std::string raw;
  std::string StatusLine() const;
  std::string Header(std::string_view name) const;  // "" when absent
  std::string Body() const;
};

// An element tree read back from UTF-8 text.
class Parsed {
 public:
  explicit Parsed(const std::string& text);
  bool Ok() const { return root_ != nullptr; }
  const xml::XmlElement* Root() const { return root_; }
  // The Envelope's Body element, or null.
  const xml::XmlElement* Body() const;

 private:
  xml::XmlParser parser_;
  const xml::XmlElement* root_ = nullptr;
};

// "{ns}local" then attributes as " {ns}name=value" in key order (namespace
// declarations left out), then "(text)" when there is text, then the
// children in braces.
std::string Describe(const xml::XmlElement& element);

class ServicesTest : public server_testing::BraskelProcessTest {
 protected:
  // Registers the components, writes the configuration with the endpoints
  // and a document root holding the shipped descriptions, and starts the
  // copy; `env` adds variables.
  void SetUp() override;
  void TearDown() override;
  void StartServer(const std::vector<std::string>& env = {});

  // The whole exchange for `request`.
  Reply Exchange(const std::string& request) const;
  Reply Post(const std::string& path, const std::string& contentType, const std::string& body,
             const std::string& soapAction = "\"\"") const;
  Reply Soap(int version, const std::string& path, const std::string& bodyContent,
             const std::string& soapAction = "\"\"") const;
  Reply Get(const std::string& target) const;

  // An envelope of `version` (11 or 12) whose Body holds `bodyContent`;
  // `envelopeDeclarations` go on the Envelope.
  static std::string Envelope(int version, const std::string& bodyContent,
                              const std::string& envelopeDeclarations = "");

  uint16_t port_ = 0;
  std::filesystem::path www_;
};

}  // namespace testsvc_e2e
