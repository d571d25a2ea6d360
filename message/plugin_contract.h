// How the server talks to its plug-ins: each is created anew per request from
// its ProgID and called only through IDispatch, by method name with named
// arguments, its result read as a 16-bit boolean. The header processors of
// one request form a chain that runs the mustUnderstand test and then
// OnProcessHeader in each phase. Failures are recorded as SOAP faults in the
// message, with texts that say which stage failed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/quenlin.h"
#include "platform/base/base.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "xml/soap_fault.h"

namespace message {

// Fault code indices of xml::QVSOAPFault used by the dispatch.
inline constexpr int kFaultClient = 3;  // Client / Sender
inline constexpr int kFaultServer = 4;  // Server / Receiver

// Where the 16-bit result must be exactly VARIANT_TRUE, or only not zero.
enum class ResultRule { ExactlyTrue, NotZero };

enum class CallStatus { Ok, NamesFailed, InvokeFailed };

struct CallOutcome {
  CallStatus status = CallStatus::Ok;
  HRESULT hr = S_OK;
  bool result = false;  // the rule applied to the result; false unless Ok
};

// Calls `method` on `target` by name; args[i] goes with argNames[i]. The
// arguments stay the caller's.
CallOutcome CallByName(IDispatch* target, std::u16string_view method,
                       std::span<const std::u16string_view> argNames, std::span<VARIANT> args,
                       ResultRule rule);

// Owning variants seen as the VARIANT array a call takes (same layout).
inline std::span<VARIANT> AsVariants(Variant* v, size_t n) { return {static_cast<VARIANT*>(v), n}; }

enum class CreateStatus { Ok, ProgIdUnknown, NotCreatable };

// Where a caller that keeps its plug-in classes resolved makes them from;
// without one, each ProgID is looked up in the registry.
class PluginSource {
 public:
  virtual ~PluginSource() = default;
  virtual CreateStatus Create(std::u16string_view progId, ComPtr<IDispatch>* plugin,
                              HRESULT* hr) const = 0;
};

// Resolves the ProgID and creates the object for IDispatch; *hr receives the
// failing HRESULT. With `classes`, the endpoint's resolved classes are used.
CreateStatus CreatePlugin(std::u16string_view progId, ComPtr<IDispatch>* plugin, HRESULT* hr,
                          const PluginSource* classes = nullptr);

// Records `fault` in the message as a SOAP 1.1 or 1.2 fault, by the message's
// own version.
void RecordFault(Iquenlin2* message, const xml::QVSOAPFault& fault);
// Takes a thrown fault: records it (and, when `withDetail`, its detail) and
// deletes it.
void RecordThrownFault(Iquenlin2* message, xml::QVSOAPFault* fault, bool withDetail);

class HeaderHandlerChain {
 public:
  HeaderHandlerChain() = default;
  HeaderHandlerChain(const HeaderHandlerChain&) = delete;
  HeaderHandlerChain& operator=(const HeaderHandlerChain&) = delete;

  void Append(ComPtr<IDispatch> processor) { processors_.push_back(std::move(processor)); }
  void ReleaseAll() { processors_.clear(); }
  const std::vector<ComPtr<IDispatch>>& Processors() const { return processors_; }

 private:
  std::vector<ComPtr<IDispatch>> processors_;
};

// Creates one processor per ProgID in order. False after recording the fault
// of the first that cannot be made (those made before stay in the chain).
bool CreateHeaderProcessors(HeaderHandlerChain& chain, const std::vector<std::u16string>& progIds,
                            Iquenlin2* message, const PluginSource* classes = nullptr);
// What the mustUnderstand test answers, without a fault, when the message
// gives no two-dimensional VARIANT array of mandatory blocks: the server lets
// the message through, the client stops.
enum class MissingBlocks { Pass, Refuse };

// The mustUnderstand test, then OnProcessHeader on each processor until one
// fails. False when the pass fails; a processor that answers false without
// throwing leaves the message as it left it.
bool ProcessHeaderBlocks(HeaderHandlerChain& chain, Iquenlin2* message,
                         MissingBlocks missing = MissingBlocks::Pass);
// Offers every mandatory header block to the processors in order; the first
// block none accepts is recorded as a MustUnderstand fault (SOAP 1.2 adds a
// NotUnderstood header block) and ends the test with false.
bool TestMustUnderstandBlocks(HeaderHandlerChain& chain, Iquenlin2* message,
                              MissingBlocks missing = MissingBlocks::Pass);
bool InvokeOnTestMUHeaderBlock(IDispatch* processor, std::u16string_view ns,
                               std::u16string_view localName);
// Throws xml::QVSOAPFault* when the call cannot be made.
bool InvokeOnProcessHeader(IDispatch* processor, Iquenlin2* message);

// The literal of the SOAP 1.2 NotUnderstood header block for a block.
Bstr NotUnderstoodLiteral(std::u16string_view ns, std::u16string_view localName);

}  // namespace message
