// What a connection needs of the server that runs it, kept narrow so that an
// exchange or a connection can be tested without a running core.
//
// ExchangeHost serves one request's handling: the SOAP processing, the logs,
// the operational event line and the counters. ConnectionHost adds what the
// slot needs: the completion port, the snapshot taken at accept, the name
// lookup switch and the free-slot queue. ServerCore implements both.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/net/completion_port.h"
#include "server/http/config.h"

namespace server {

class RequestBudget;
class RequestLogger;
class SoapDispatch;

// Event lines that may come thousands of times a second under an attack.
enum class RepeatedEvent { BudgetRefusal };

class ExchangeHost {
 public:
  // The SOAP processing of endpoints; null when there is none.
  virtual SoapDispatch* Dispatch() const = 0;
  // The server and user-agent logs; null when there are none.
  virtual RequestLogger* Logger() const = 0;
  // One operational line for the event reporter.
  virtual void LogEvent(const std::string& line) const = 0;
  // One of `kind`'s lines: the host may fold repeats into a count.
  virtual void LogRepeatedEvent(RepeatedEvent kind, const std::string& line) {
    (void)kind;
    LogEvent(line);
  }
  virtual void AddBytesSent(uint64_t n) = 0;
  virtual void CountHTTPError() = 0;
  virtual void CountInternalError() = 0;
  virtual void CountNetError() = 0;
  // What the server holds of requests at once; null: no bound beyond each
  // request's own.
  virtual RequestBudget* Budget() { return nullptr; }
  // How long a client may take from accept to close; zero: no bound.
  virtual std::chrono::seconds ClientTimeout() const { return std::chrono::seconds(0); }

 protected:
  ~ExchangeHost() = default;
};

class ConnectionHost : public ExchangeHost {
 public:
  virtual net::CompletionPort& Port() = 0;
  // The snapshot a new connection holds to its close.
  virtual ConfigSnapshotPtr Config() const = 0;
  // Whether peers are logged by host name rather than address.
  virtual bool EnableNameLookup() const = 0;
  // Puts a closed connection's slot back in the free queue.
  virtual void ReleaseClientSlot(uint32_t slot) = 0;
  // Runs `work` on the large-message thread, after what was handed to it
  // before; false when the server stops (it never runs).
  virtual bool RunOnLargeMessageThread(std::function<void()> work) = 0;

 protected:
  ~ConnectionHost() = default;
};

}  // namespace server
