// The default configuration of a fresh installation: the server settings, the
// endpoint records and the MIME rows that `cuvrel` writes beside itself, built
// as a document for the indented file writer.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "xml/xml_element.h"

namespace configgen {

inline constexpr char kConfigFileName[] = "brevla-config.xml";

// One default endpoint, in the fields the file names.
struct EndpointRecord {
  std::string requestURI;
  std::string wsdlDocURL;
  std::u16string wsdlService;
  std::u16string wsdlPort;
  std::u16string bodyProgId;
  std::vector<std::u16string> headerProgIds;
  std::u16string nextHopURL;
  std::vector<std::u16string> roles;
  std::u16string nodeURI;
  bool enabled = true;
  bool explicitTyping = false;
  bool nodeType = false;
};

// Keyed by request URI in byte order ("/QVSOAPSvrCP" before "/digauthtest"),
// which is the order the file lists them in.
using EndpointMap = std::map<std::string, EndpointRecord>;
// Extension (with its dot, upper case) to media type, in extension order.
using MimeMap = std::map<std::u16string, std::u16string>;

// The text of `executablePath` before its last '/' (empty when there is none,
// or for an executable in "/").
std::string InstallDirectory(std::string_view executablePath);
// "file://" + installDir + "/docroot/wsdl/".
std::string WsdlBase(std::string_view installDir);

// True when `installDir` can stand in the file and be read back as the same
// bytes: valid UTF-8 (no encoded surrogates) without control characters,
// U+FFFE or U+FFFF.
// Anything else would name another directory, or make the file unreadable.
bool IsWritableInstallDirectory(std::string_view installDir);

// The fourteen default endpoints, their WSDL documents under `wsdlBase`.
EndpointMap DefaultEndpoints(std::string_view wsdlBase);
// The eighteen default MIME rows.
MimeMap DefaultMimeMap();

// The whole document for `installDir`, which the caller has checked with
// IsWritableInstallDirectory.
xml::XmlElementPtr BuildDefaultConfig(std::string_view installDir);

}  // namespace configgen
