// The authentication configuration: default realm, nonce life, the realm of
// each SOAP service and the users of each realm, read once from
// "auth-config.xml" in a directory the host names. Read-only after Load, so
// lookups need no lock. Every text is held as UTF-8 and compared as exact
// bytes.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace digestauth {

inline constexpr char kAuthConfigFileName[] = "auth-config.xml";
// The nonce life of a file without nonceLife.
inline constexpr int kDefaultNonceLife = 120;

class AuthConfig {
 public:
  // Reads `directory` + "/auth-config.xml". False when the directory is
  // empty (the host could not name it), or the file cannot be read or does
  // not parse; the tables then keep their defaults (empty realm, nonce
  // life 0, no services, no users). The first entry wins for a repeated
  // service name or (realm, user) pair; entries lacking a required
  // attribute are skipped. Call once, before any lookup.
  bool Load(const std::string& directory);

  // The file read by the last successful Load; empty before.
  const std::string& Path() const { return path_; }
  const std::string& DefaultRealm() const { return default_realm_; }
  int NonceLife() const { return nonce_life_; }
  // The service's realm, or the default realm for a service not listed.
  const std::string& ServiceRealm(std::string_view service) const;
  // The password of `user` in `realm`; null when there is no such user.
  const std::string* FindPassword(std::string_view realm, std::string_view user) const;

  size_t ServiceCountForTest() const { return services_.size(); }
  size_t UserCountForTest() const { return users_.size(); }

 private:
  std::string path_;
  std::string default_realm_;
  int nonce_life_ = 0;
  std::map<std::string, std::string, std::less<>> services_;
  // Keyed by the pair itself: realm "a:b" with user "c" and realm "a" with
  // user "b:c" are two users.
  std::map<std::pair<std::string, std::string>, std::string> users_;
};

}  // namespace digestauth
