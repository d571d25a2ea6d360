// The WS-Routing path header: its model, the reader of a literal rp:path
// block, the writer of the block's four outgoing forms, and the table of
// routing fault codes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace routing {

struct RoutingFaultInfo {
  std::u16string code;
  std::u16string reason;
  std::u16string endpoint;
  std::vector<std::u16string> found;
  std::u16string maxsize, maxtime, retryAfter;
  bool hasEndpoint = false, hasFound = false, hasMaxsize = false, hasMaxtime = false,
       hasRetryAfter = false;

  void ClearDetailFlags() {
    hasEndpoint = hasFound = hasMaxsize = hasMaxtime = hasRetryAfter = false;
  }
};

struct RoutingPath {
  std::u16string action, to, from, id, relatesTo;
  std::vector<std::u16string> fwd, rev;  // first hop first
  RoutingFaultInfo fault;
  bool hasAction = false, hasTo = false, hasFwd = false, hasRev = false, hasFrom = false,
       hasId = false, hasRelatesTo = false, hasFault = false;
};

// Fills `path` from the text of an rp:path block. False, and `path`
// untouched, when the text does not parse (nesting deeper than
// xml::kMaxNestingDepth included). A child that is absent keeps its old
// value with its flag cleared; a via list is replaced only when present, and
// the fault's `at` entries are appended to what it held.
bool ReadPathText(std::u16string_view literal, RoutingPath& path);

// What one outgoing block carries: each absent child is not written, except
// rp:action, which always is.
struct PathBlock {
  std::u16string action;
  const std::u16string* to = nullptr;
  const std::vector<std::u16string>* fwd = nullptr;
  const std::vector<std::u16string>* rev = nullptr;
  const std::u16string* from = nullptr;
  const std::u16string* id = nullptr;
  const std::u16string* relatesTo = nullptr;
  const RoutingFaultInfo* fault = nullptr;
};

// The block as the literal text handed to the message: rp:path targeted at
// the next actor (SOAP 1.1) or role (SOAP 1.2), mustUnderstand, then the
// children in the header's fixed order.
std::u16string WritePathBlock(const PathBlock& block, bool soap11);

// One row of the routing fault table. Codes outside it read "000" /
// "Invalid Fault Code", on the side their number gives.
struct RoutingFaultRow {
  std::u16string_view code;
  std::u16string_view reason;
  bool receiver;  // the SOAP fault blames the receiver, else the sender
};
RoutingFaultRow LookupRoutingFault(int code);

inline constexpr std::u16string_view kSenderFaultText = u"WS-Routing Sender fault.";
inline constexpr std::u16string_view kReceiverFaultText = u"WS-Routing Receiver fault.";

}  // namespace routing
