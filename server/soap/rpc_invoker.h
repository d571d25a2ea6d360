// The body of a request at its final node: an RPC call made on the
// endpoint's service object with the decoded parameters as named arguments
// (the return value and [out] parameters written back into the message), or
// a document handed whole to the endpoint's body handler.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "interfaces/quenlin.h"
#include "platform/base/base.h"
#include "platform/com/variant.h"

namespace server {

class PluginClasses;

// The namespace of the server's own fault detail elements.
inline constexpr std::u16string_view kServerFaultNamespace = u"urn:quorvel:soap-server:faults";

class RpcInvoker {
 public:
  RpcInvoker() = default;
  RpcInvoker(const RpcInvoker&) = delete;
  RpcInvoker& operator=(const RpcInvoker&) = delete;

  // Calls the message's method on a new object of `progId` and writes the
  // results back. Throws xml::QVSOAPFault* when the call cannot be made.
  bool Invoke(std::u16string_view progId, Iquenlin2* message,
              const PluginClasses* classes = nullptr);

 private:
  // Kept until the request ends.
  ComPtr<IDispatch> object_;
};

// Runs the invoker; a thrown fault is recorded in the message with its
// detail. False when a fault was recorded.
bool ProcessRpcBody(RpcInvoker& invoker, std::u16string_view progId, Iquenlin2* message,
                    const PluginClasses* classes = nullptr);
// Document bodies: SOAP 1.1 through OnProcessBody; SOAP 1.2 through
// OnProcessSoapPost, falling back to OnProcessBody when that is false.
// False when a fault was recorded.
bool InvokeBodyHandler(std::u16string_view progId, Iquenlin2* message,
                       const PluginClasses* classes = nullptr);
bool InvokeBodyHandler12(std::u16string_view progId, Iquenlin2* message,
                         std::u16string_view serviceUri, std::u16string_view extraPath,
                         const PluginClasses* classes = nullptr);
bool InvokeOnProcessBody(IDispatch* handler, IDispatch* message);
bool InvokeOnProcessSoapPost(IDispatch* handler, IDispatch* message, std::u16string_view serviceUri,
                             std::u16string_view extraPath);

}  // namespace server
