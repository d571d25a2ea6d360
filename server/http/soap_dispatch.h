// The seam between the connection and the SOAP POST and GET processing: what
// a request on an endpoint hands over, and the answer it gets back. The
// server core calls it on the worker that runs the request, under that
// connection's lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/http/config.h"
#include "server/http/http_request.h"

namespace dime {
class DimeMessage;
}

namespace server {

class RequestBudget;

struct SoapCall {
  const EndpointInfo* endpoint = nullptr;  // from the request's snapshot
  std::string_view endpointUri;            // the key that matched
  std::string_view extraPath;              // behind a wildcard endpoint
  std::string_view queryString;
  std::string_view soapAction;
  int soapVersion = 12;  // 11 or 12
  ContentKind kind = ContentKind::None;
  std::string_view body;              // XML bodies
  dime::DimeMessage* dime = nullptr;  // DIME bodies, complete
  bool traceEnabled = false;
  // The client's own time-out: outbound waits for this request end by then.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  // The server's budget, which what the request brings in from next hops is
  // charged to as its body was; null: none.
  RequestBudget* budget = nullptr;
  // Run before the processing waits on the network (a forward, a post along
  // a reverse path): the request gives up what it holds only while it
  // computes (its working-memory share), so that the request it waits for,
  // a next hop on this server, can be processed. Empty: nothing.
  std::function<void()> beforeOutboundWait;
};

struct SoapAnswer {
  int status = 0;    // 200, 204, 400, 500, ...
  std::string body;  // the response envelope
  // When set, the answer goes out as this DIME message (the envelope in its
  // first record) and `body` is unused.
  std::unique_ptr<dime::DimeMessage> dime;
  // SOAP 1.1 (11) or 1.2 (12): picks the content type of an XML answer.
  int soapVersion = 12;
  // The SOAP trace record of the exchange; written when tracing is on.
  std::string traceRecord;
};

// The rule every implementation keeps: nothing but std::bad_alloc leaves
// ProcessSoapPost or ProcessSoapGet. Faults of the processing become answers
// (a SOAP fault, a status) or a false result; the connection answers
// bad_alloc with the 500 page ("Internal Error: 6!").
class SoapDispatch {
 public:
  virtual ~SoapDispatch() = default;
  // False: no answer could be made (the 500 page follows).
  virtual bool ProcessSoapPost(const SoapCall& call, SoapAnswer* answer) = 0;
  // False: no answer; the "SOAP Endpoint Found" page follows.
  virtual bool ProcessSoapGet(const SoapCall& call, SoapAnswer* answer) = 0;
  // The watchdog's tick, on the service thread.
  virtual void OnWatchdog() {}
  // The server has gone idle after a load: memory kept for the next requests
  // is given back before the allocator's free pages are.
  virtual void OnIdleTrim() {}
};

// What the watchdog empties once no connection is open: the SOAP half's WSDL
// cache, which this half knows only by this.
class IdleFlush {
 public:
  virtual ~IdleFlush() = default;
  // Flushes when a flush is pending and nothing is active.
  virtual void FlushIfPending(uint64_t activeConnections) = 0;
};

}  // namespace server
