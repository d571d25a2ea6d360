// The WS-Routing header processor, class hastrel2. One object per request:
// the request leg reads the path header, decides whether this node is the
// addressed receiver or an intermediary and, as an intermediary, names the
// next hop for the server to forward to; the response leg rewrites the
// answer's path header and, at the receiver, may post the answer along the
// reverse path itself. Every routing error becomes a routing fault.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "interfaces/hastrel.h"
#include "interfaces/quenlin.h"
#include "platform/com/object.h"
#include "plugins/routing/routing_path.h"

namespace routing {

// Case-sensitive "http://" prefix: "https://" and "HTTP://" are not ours.
bool IsHttpURL(std::u16string_view uri);

class Hastrel2Impl final : public com::ComObject<Hastrel2Impl, com::Dispatch<Ihastrel2>> {
 public:
  // Posts an answer along the reverse path; replaceable for tests.
  using Poster = std::function<bool(std::u16string_view url, Iquenlin2* message)>;

  Hastrel2Impl();
  explicit Hastrel2Impl(Poster poster) : poster_(std::move(poster)) {}

  HRESULT OnProcessHeader(VARIANT SOAPMsgInterface, VARIANT_BOOL* pResult) override;
  HRESULT OnTestMUHeaderBlock(BSTR bstrNamespace, BSTR bstrLocalName,
                              VARIANT_BOOL* pResult) override;

 private:
  bool ProcessRequestPhase(Iquenlin2* message);
  bool ProcessResponsePhase(Iquenlin2* message);
  bool IsThisNode(Iquenlin2* message, std::u16string_view uri) const;
  // Takes the path block out of the message and reads it. In the response
  // leg a block that is the one this object added counts as none.
  bool ReadPathHeader(Iquenlin2* message);
  bool BuildForwardPath(Iquenlin2* message);
  bool RelayReversePath(Iquenlin2* message);
  bool BuildResponsePath(Iquenlin2* message);
  bool SetRoutingFault(Iquenlin2* message, int code);
  // `written` (when given) receives the block's text.
  bool AddBlock(Iquenlin2* message, const PathBlock& block, bool faultList,
                std::u16string* written = nullptr);
  // The children an intermediary passes on as read (all but rp:to).
  PathBlock PassedOn() const;

  Poster poster_;
  RoutingPath path_;
  std::u16string currentVia_, ownVia_;
  std::u16string forwardBlock_;  // the block this object put on the forwarded request
  bool faultRaised_ = false;
  bool omitFromInFault_ = true;
  bool noContentOnResponse_ = false;
  bool stopChain_ = false;
};

}  // namespace routing
