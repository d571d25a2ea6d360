#include "plugins/digestauth/auth_config.h"

#include <vector>

#include "platform/text/text.h"
#include "xmldoc/xml_doc_reader.h"

namespace digestauth {
namespace {

const xmldoc::QueryNamespaces kNoPrefixes;

bool Attribute(const xml::XmlElement& element, std::u16string_view name, std::string* out) {
  std::u16string value;
  if (!element.GetAttributeValue(u"", name, &value)) return false;
  *out = text::Narrow(value);
  return true;
}

}  // namespace

bool AuthConfig::Load(const std::string& directory) {
  if (directory.empty()) return false;
  const std::string path = directory + "/" + kAuthConfigFileName;
  xmldoc::XmlDocReader doc;
  if (!doc.LoadDocumentFromFile(path)) return false;
  path_ = path;

  if (doc.Query(u"/defaultRealm", kNoPrefixes)) {
    default_realm_ = text::Narrow(doc.NextNode()->GetText());
  }
  nonce_life_ = doc.Query(u"/nonceLife", kNoPrefixes) ? text::WToI(doc.NextNode()->GetText())
                                                       : kDefaultNonceLife;

  if (doc.Query(u"/soapServices/service", kNoPrefixes)) {
    while (const xml::XmlElement* service = doc.NextNode()) {
      std::string name, realm;
      if (Attribute(*service, u"name", &name) && Attribute(*service, u"realm", &realm)) {
        services_.try_emplace(std::move(name), std::move(realm));
      }
    }
  }

  std::vector<xml::XmlElement*> realms;
  if (doc.SelectNodes(u"/authRealms/realm", realms, kNoPrefixes)) {
    for (const xml::XmlElement* realm : realms) {
      std::string realmName;
      if (!Attribute(*realm, u"name", &realmName)) continue;
      std::vector<xml::XmlElement*> users;
      xmldoc::SelectNodesByPath(*realm, u"users/user", users, kNoPrefixes);
      for (const xml::XmlElement* user : users) {
        std::string id, password;
        if (Attribute(*user, u"userId", &id) && Attribute(*user, u"password", &password)) {
          users_.try_emplace({realmName, std::move(id)}, std::move(password));
        }
      }
    }
  }
  return true;
}

const std::string& AuthConfig::ServiceRealm(std::string_view service) const {
  const auto it = services_.find(service);
  return it == services_.end() ? default_realm_ : it->second;
}

const std::string* AuthConfig::FindPassword(std::string_view realm, std::string_view user) const {
  const auto it = users_.find({std::string(realm), std::string(user)});
  return it == users_.end() ? nullptr : &it->second;
}

}  // namespace digestauth
