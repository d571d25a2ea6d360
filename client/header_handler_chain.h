// The client's header handlers: COM objects named by ProgID, created for one
// exchange and called around it exactly as the server calls its header
// processors. Every step is the shared contract's (message/plugin_contract.h);
// this class gives the client's names and its one rule of its own: a message
// object that offers no array of mandatory blocks stops the check.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "interfaces/quenlin.h"
#include "message/plugin_contract.h"

namespace client {

class HeaderHandlerChain : public message::HeaderHandlerChain {
 public:
  HeaderHandlerChain() = default;
  virtual ~HeaderHandlerChain() = default;

  // One handler per ProgID, in order. False after recording the fault of the
  // first that cannot be made; those made before stay until ReleaseAll.
  bool CreateHandlers(const std::vector<std::u16string>& progIds, Iquenlin2* message);
  // CheckMustUnderstand, then OnProcessHeader on each handler until one
  // answers other than true. A handler's failure is recorded as a fault.
  bool ProcessHeaders(Iquenlin2* message);
  // False (with a MustUnderstand fault) at the first mandatory block no
  // handler understands; false without a fault when the message gives no
  // two-dimensional array of blocks.
  bool CheckMustUnderstand(Iquenlin2* message);
  // A call that cannot be made counts as "not understood".
  static bool CallOnTestMUHeaderBlock(IDispatch* handler, std::u16string_view ns,
                                      std::u16string_view localName);
  // Throws xml::QVSOAPFault* when the call cannot be made.
  static bool CallOnProcessHeader(IDispatch* handler, Iquenlin2* message);
};

}  // namespace client
