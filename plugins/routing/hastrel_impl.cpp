#include "plugins/routing/hastrel_impl.h"

#include <new>

#include "dime/soap_dime.h"
#include "platform/com/bstr.h"
#include "platform/text/text.h"
#include "plugins/routing/from_uri.h"
#include "plugins/routing/poster.h"
#include "xml/codecs.h"
#include "xml/namespaces.h"

namespace routing {
namespace {

constexpr std::u16string_view kRp = xml::kWsRoutingNamespace;

bool Soap11(Iquenlin2* message) {
  LONG version = 0;
  message->GetSOAPVersion(&version);
  return version == 11;
}

bool Flag(Iquenlin2* message, HRESULT (Iquenlin2::*query)(VARIANT_BOOL*)) {
  VARIANT_BOOL b = VARIANT_FALSE;
  return SUCCEEDED((message->*query)(&b)) && b == VARIANT_TRUE;
}

// The server says so on the message itself when its forward to the next
// hop failed; the wording of its fault is its own.
bool ForwardFailed(Iquenlin2* message) {
  auto status = com::QueryInterfacePtr<IquenlinForwardStatus>(message);
  VARIANT_BOOL failed = VARIANT_FALSE;
  return status && SUCCEEDED(status->IsForwardFailed(&failed)) && failed == VARIANT_TRUE;
}

// The object a header processor is handed: only an interface, never a
// string or a null one taken as such.
IUnknown* MessageObjectOf(const VARIANT& value) {
  const VARIANT* v = &value;
  if (v->vt == (VT_BYREF | VT_VARIANT)) {
    if (v->pvarVal == nullptr) return nullptr;
    v = v->pvarVal;
  }
  switch (v->vt) {
    case VT_DISPATCH:
      return v->pdispVal;
    case VT_UNKNOWN:
      return v->punkVal;
    case VT_BYREF | VT_DISPATCH:
      return v->ppdispVal ? *v->ppdispVal : nullptr;
    case VT_BYREF | VT_UNKNOWN:
      return v->ppunkVal ? *v->ppunkVal : nullptr;
    default:
      return nullptr;
  }
}

}  // namespace

bool IsHttpURL(std::u16string_view uri) { return uri.starts_with(u"http://"); }

Hastrel2Impl::Hastrel2Impl()
    : poster_([](std::u16string_view url, Iquenlin2* message) {
        return ForwardToNextHop(url, message);
      }) {}

HRESULT Hastrel2Impl::OnTestMUHeaderBlock(BSTR bstrNamespace, BSTR bstrLocalName,
                                          VARIANT_BOOL* pResult) {
  if (pResult == nullptr) return E_POINTER;
  const bool ours = BstrView(bstrNamespace) == kRp && BstrView(bstrLocalName) == u"path";
  *pResult = ours ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT Hastrel2Impl::OnProcessHeader(VARIANT SOAPMsgInterface, VARIANT_BOOL* pResult) {
  if (pResult == nullptr) return E_POINTER;
  stopChain_ = false;
  *pResult = VARIANT_TRUE;
  IUnknown* object = MessageObjectOf(SOAPMsgInterface);
  if (object == nullptr) return E_FAIL;
  ComPtr<Iquenlin2> message;
  if (FAILED(object->QueryInterface(Iquenlin2::kIid, message.ReceiveVoid())) || !message) {
    return E_FAIL;
  }
  bool ok = false;
  try {
    ok = Flag(message.Get(), &Iquenlin2::IsRequestPhase) ? ProcessRequestPhase(message.Get())
                                                         : ProcessResponsePhase(message.Get());
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) {
    try {
      SetRoutingFault(message.Get(), 800);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  if (stopChain_) *pResult = VARIANT_FALSE;
  return S_OK;
}

bool Hastrel2Impl::IsThisNode(Iquenlin2* message, std::u16string_view uri) const {
  Bstr node;
  if (FAILED(message->GetNodeURI(node.Receive()))) return false;
  return node.View() == uri;
}

bool Hastrel2Impl::ReadPathHeader(Iquenlin2* message) {
  Bstr ns(kRp), name(u"path"), literal;
  VARIANT_BOOL found = VARIANT_FALSE;
  if (FAILED(message->GetHeaderElemLiteral(ns.Get(), name.Get(), literal.Receive(), &found)) ||
      found != VARIANT_TRUE) {
    return false;
  }
  // After a failed forward the server leaves the request's headers in place:
  // the block read back would be our own, not the next hop's answer.
  if (!forwardBlock_.empty() && !Flag(message, &Iquenlin2::IsRequestPhase) &&
      literal.View() == forwardBlock_) {
    return false;
  }
  return ReadPathText(literal.View(), path_);
}

bool Hastrel2Impl::AddBlock(Iquenlin2* message, const PathBlock& block, bool faultList,
                            std::u16string* written) {
  const bool soap11 = Soap11(message);
  const std::u16string text = WritePathBlock(block, soap11);
  if (written) *written = text;
  Bstr ns(kRp), name(u"path"), literal(text),
      actor(soap11 ? xml::kSoap11NextActor : xml::kSoap12NextRole), encoding;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const HRESULT hr =
      faultList ? message->AddFaultHeaderElemLiteral(ns.Get(), name.Get(), literal.Get(),
                                                     VARIANT_TRUE, actor.Get(), encoding.Get(), &ok)
                : message->AddHeaderElemLiteral(ns.Get(), name.Get(), literal.Get(), VARIANT_TRUE,
                                                actor.Get(), encoding.Get(), &ok);
  return SUCCEEDED(hr) && ok == VARIANT_TRUE;
}

bool Hastrel2Impl::ProcessRequestPhase(Iquenlin2* message) {
  faultRaised_ = false;
  omitFromInFault_ = true;
  noContentOnResponse_ = false;
  if (!ReadPathHeader(message)) {
    SetRoutingFault(message, 701);
    return true;
  }
  if (path_.hasFault || path_.action == xml::kWsRoutingFaultAction) {
    message->SetNoContentResponse(VARIANT_TRUE);
    stopChain_ = true;
    return true;
  }
  if (!path_.hasRev) noContentOnResponse_ = true;
  if (!path_.hasId || !path_.hasAction) {
    SetRoutingFault(message, 700);
    return true;
  }
  if (path_.hasFwd && !path_.fwd.empty()) {
    currentVia_ = path_.fwd.front();
    path_.fwd.erase(path_.fwd.begin());
    if (!IsThisNode(message, currentVia_)) {
      SetRoutingFault(message, 700);
      return true;
    }
    if (!path_.fwd.empty() || path_.hasTo) {
      ownVia_ = currentVia_;
      return BuildForwardPath(message);
    }
    omitFromInFault_ = false;
    return true;
  }
  if (!path_.hasTo) {
    SetRoutingFault(message, 700);
    return true;
  }
  omitFromInFault_ = false;
  if (!IsThisNode(message, path_.to)) {
    SetRoutingFault(message, 700);
    return true;
  }
  currentVia_ = path_.to;
  return true;
}

bool Hastrel2Impl::BuildForwardPath(Iquenlin2* message) {
  currentVia_ = path_.fwd.empty() ? path_.to : path_.fwd.front();
  // A hop that is not plain http, or that could not be sent to safely, is
  // one this node does not support.
  if (!IsHttpURL(currentVia_) || !dime::IsUsableNextHopUrl(text::Narrow(currentVia_))) {
    SetRoutingFault(message, 712);
    return true;
  }
  Bstr hop(currentVia_);
  message->SetNextHopURL(hop.Get());
  if (path_.hasRev) path_.rev.insert(path_.rev.begin(), std::u16string());
  PathBlock block = PassedOn();
  if (path_.hasTo) block.to = &path_.to;
  return AddBlock(message, block, /*faultList=*/false, &forwardBlock_);
}

// The answer's first forward via was taken off by the caller.
bool Hastrel2Impl::RelayReversePath(Iquenlin2* message) {
  if (path_.hasRev) path_.rev.insert(path_.rev.begin(), ownVia_);
  return AddBlock(message, PassedOn(), Flag(message, &Iquenlin2::IsSOAPFault));
}

PathBlock Hastrel2Impl::PassedOn() const {
  PathBlock block;
  block.action = path_.action;
  if (path_.hasFwd) block.fwd = &path_.fwd;
  if (path_.hasRev) block.rev = &path_.rev;
  if (path_.hasFrom) block.from = &path_.from;
  if (path_.hasId) block.id = &path_.id;
  if (path_.hasRelatesTo) block.relatesTo = &path_.relatesTo;
  if (path_.hasFault) block.fault = &path_.fault;
  return block;
}

bool Hastrel2Impl::BuildResponsePath(Iquenlin2* message) {
  std::vector<std::u16string> rev = path_.fwd;
  rev.insert(rev.begin(), path_.hasTo ? path_.to : currentVia_);
  const std::u16string from = ReadFromURI();
  std::u16string id;
  if (!xml::MakeMessageId(id)) return false;
  PathBlock block;
  block.action = path_.action;
  if (path_.hasRev) block.fwd = &path_.rev;
  block.rev = &rev;
  block.from = &from;
  block.id = &id;
  block.relatesTo = &path_.id;
  if (path_.hasFault) block.fault = &path_.fault;
  return AddBlock(message, block, Flag(message, &Iquenlin2::IsSOAPFault));
}

bool Hastrel2Impl::SetRoutingFault(Iquenlin2* message, int code) {
  path_.fault.ClearDetailFlags();
  const bool soap11 = Soap11(message);
  const RoutingFaultRow row = LookupRoutingFault(code);
  path_.fault.code = std::u16string(row.code);
  path_.fault.reason = std::u16string(row.reason);

  static const std::vector<std::u16string> kNoVias;
  std::u16string id;
  if (!xml::MakeMessageId(id)) return false;
  std::u16string from;
  PathBlock block;
  block.action = std::u16string(xml::kWsRoutingFaultAction);
  block.fwd = path_.hasRev ? &path_.rev : &kNoVias;
  if (!omitFromInFault_) {
    from = ReadFromURI();
    block.from = &from;
  }
  block.id = &id;
  block.relatesTo = &path_.id;
  block.fault = &path_.fault;
  if (!AddBlock(message, block, /*faultList=*/true)) return false;

  const std::u16string_view text = row.receiver ? kReceiverFaultText : kSenderFaultText;
  Bstr reason(text);
  VARIANT_BOOL ok = VARIANT_FALSE;
  HRESULT hr;
  if (soap11) {
    Bstr faultCode(row.receiver ? u"Server" : u"Client"), ns(xml::kSoap11EnvelopeNamespace);
    hr = message->SetSOAPFault(faultCode.Get(), ns.Get(), reason.Get(), VARIANT_FALSE, &ok);
  } else {
    Bstr faultCode(row.receiver ? u"Receiver" : u"Sender"), ns(xml::kSoap12EnvelopeNamespace),
        none, lang(u"en");
    hr = message->SetSOAP12Fault(faultCode.Get(), ns.Get(), none.Get(), none.Get(), reason.Get(),
                                 lang.Get(), &ok);
  }
  faultRaised_ = true;
  return SUCCEEDED(hr) && ok == VARIANT_TRUE;
}

bool Hastrel2Impl::ProcessResponsePhase(Iquenlin2* message) {
  if (noContentOnResponse_) {
    message->SetNoContentResponse(VARIANT_TRUE);
    return true;
  }
  if (faultRaised_) return true;
  if (!Flag(message, &Iquenlin2::IsIntermediary)) {
    if (!BuildResponsePath(message)) SetRoutingFault(message, 800);
    if (path_.rev.empty() || path_.rev.front().empty() || !IsHttpURL(path_.rev.front())) {
      return true;
    }
    return poster_(path_.rev.front(), message);
  }
  if (ReadPathHeader(message)) {
    if (!path_.hasId || !path_.hasAction) {
      SetRoutingFault(message, 700);
      return true;
    }
    if (!path_.hasFwd || path_.fwd.empty()) return RelayReversePath(message);
    currentVia_ = path_.fwd.front();
    path_.fwd.erase(path_.fwd.begin());
    if (currentVia_.empty()) return RelayReversePath(message);
    SetRoutingFault(message, 700);
    return true;
  }
  if (Flag(message, &Iquenlin2::IsSOAPFault) && ForwardFailed(message)) {
    if (path_.hasRev && !path_.rev.empty()) path_.rev.erase(path_.rev.begin());
    SetRoutingFault(message, 820);
  }
  return true;
}

}  // namespace routing
