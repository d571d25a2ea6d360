// The digest-authentication header processor, class jorvex2. One object per
// request: the request leg checks the credential block and, when it cannot
// verify it, answers with a Challenge (or an InitChallenge's NextChallenge)
// and the authentication fault; the response leg of a verified request adds
// the NextChallenge. The message is reached only through Iquenlin2, struct
// values only through ISoapStruct.
#pragma once

#include <optional>
#include <string>

#include "interfaces/jorvex.h"
#include "interfaces/quenlin.h"
#include "interfaces/soapstruct.h"
#include "platform/com/activation.h"
#include "platform/com/object.h"
#include "plugins/digestauth/digest_context.h"
#include "plugins/digestauth/protocol.h"

namespace digestauth {

class Jorvex2Impl final : public com::ComObject<Jorvex2Impl, com::Dispatch<Ijorvex2>> {
 public:
  explicit Jorvex2Impl(DigestContextPtr context) : context_(std::move(context)) {}

  HRESULT OnProcessHeader(VARIANT SOAPMsgInterface, VARIANT_BOOL* pResult) override;
  HRESULT OnTestMUHeaderBlock(BSTR bstrNamespace, BSTR bstrLocalName,
                              VARIANT_BOOL* pResult) override;

 private:
  enum class Block { None, ClientAuth, InitChallenge };

  bool RequestLeg(Iquenlin2* message);
  bool ResponseLeg(Iquenlin2* message);
  // Takes the block named `name` when its content is a non-null object;
  // `content` then holds it.
  static bool TakeBlock(Iquenlin2* message, std::u16string_view name, ComPtr<IDispatch>* content);
  // False when the content is no struct.
  bool ReadMembers(IDispatch* content, Block block);
  bool Verify(Iquenlin2* message);
  // The realm and user checks; on success user_hash_ is set.
  bool CheckRealmAndUser(Iquenlin2* message);
  std::string ServiceRealm(Iquenlin2* message) const;
  void AddChallenge(Iquenlin2* message);
  bool AddInitChallengeAnswer(Iquenlin2* message);
  // Status, Nonce and, for a client nonce, ClientNonce and ServerAuth.
  bool FillNextChallenge(ISoapStruct* s);
  static void SetAuthFault(Iquenlin2* message);
  void Log(std::string_view text) const;

  const DigestContextPtr context_;

  // Per request, reset by each request leg.
  std::string status_;
  std::optional<std::string> nonce_, user_id_, realm_, client_nonce_;
  std::u16string client_nonce_wide_;  // echoed as it came
  bool auth_present_ = false;
  std::optional<Digest> auth_;  // set only for an Auth of the right form
  std::string user_hash_;
  bool authenticated_ = false;
};

// The class object: each creation makes a new jorvex2 over `context`.
// LockServer counts in the local server's module lock.
class Jorvex2Factory final : public com::ComObject<Jorvex2Factory, IClassFactory> {
 public:
  explicit Jorvex2Factory(DigestContextPtr context) : context_(std::move(context)) {}
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  HRESULT LockServer(BOOL lock) override;

 private:
  const DigestContextPtr context_;
};

}  // namespace digestauth
