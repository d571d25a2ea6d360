#include "client/header_handler_chain.h"

namespace client {

bool HeaderHandlerChain::CreateHandlers(const std::vector<std::u16string>& progIds,
                                        Iquenlin2* message) {
  return message::CreateHeaderProcessors(*this, progIds, message);
}

bool HeaderHandlerChain::ProcessHeaders(Iquenlin2* message) {
  return message::ProcessHeaderBlocks(*this, message, message::MissingBlocks::Refuse);
}

bool HeaderHandlerChain::CheckMustUnderstand(Iquenlin2* message) {
  return message::TestMustUnderstandBlocks(*this, message, message::MissingBlocks::Refuse);
}

bool HeaderHandlerChain::CallOnTestMUHeaderBlock(IDispatch* handler, std::u16string_view ns,
                                                 std::u16string_view localName) {
  return message::InvokeOnTestMUHeaderBlock(handler, ns, localName);
}

bool HeaderHandlerChain::CallOnProcessHeader(IDispatch* handler, Iquenlin2* message) {
  return message::InvokeOnProcessHeader(handler, message);
}

}  // namespace client
