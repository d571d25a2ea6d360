// The connection's state machine: its states, the events that actions return,
// the named actions, and the one transition table that carries an HTTP
// exchange from its first bytes to the close. The numbers are those of the
// server's design tables, so a trace can be read against them.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace server {

enum class ConnState : uint16_t {
  ReadingHead = 10,  // request line and headers (after accept)
  ReadingBody = 11,
  NoVersion = 12,  // request without an HTTP version
  Handling = 13,   // request parsed and being handled
  SocketLost = 14,
  ErrorPage = 15,      // error page queued
  InternalError = 16,  // internal-error page queued
  Sending = 17,
  Sent = 18,
  Closed = 19,
  Draining = 20,         // an error page sent: reading what the client still sends, then closing
  SendingContinue = 21,  // the interim "100 Continue" going out before the body is read
  AwaitingMemory = 22,   // a whole request waiting, with nothing posted, for working memory
};

// What an action reports; the table picks the next action from it.
enum class Event : uint16_t {
  None = 0,                  // wait for the next completion
  SocketClosed = 10,         // socket closed or failed
  IoComplete = 11,           // a receive or send completed
  NoVersion = 20,            // request line without "HTTP/"
  HeadersReceived = 21,      // request line and all headers received
  BodyIncomplete = 22,       // body incomplete, a receive is posted
  RequestComplete = 23,      // request complete
  ContinueSent = 24,         // the interim answer is posted; the body follows it
  WorkingMemoryBusy = 25,    // the request waits for working memory; a wake brings it back
  ResponseQueued = 30,       // a reply is queued: start sending
  BadRequest = 31,           // 400
  MethodNotAllowed = 32,     // 405
  VersionNotSupported = 33,  // 505
  NotFound = 35,             // 404
  ServiceUnavailable = 36,   // 503
  Forbidden = 37,            // 403
  BodyComplete = 40,
  ResponseReady = 50,  // a reply is queued: start sending
  AllSent = 51,        // every queued buffer sent
  InternalError = 60,  // 500
  RequestLogged = 70,
  ErrorPageLogged = 71,  // logged, and the reply was an error page: drain before closing
  InputDrained = 72,     // the client closed, or the drain reached its limits
};

// The actions of the table. Several numbers share one deed (the 400 page, the
// lost socket, sending); each keeps its own name so a row says where it runs.
enum class Action : uint16_t {
  ParseRequest = 10,
  RefuseVersionless = 11,  // a versionless request is answered with the 505 page
  QueueBadRequestLine = 12,
  AnalyseHeaders = 13,
  LoseSocketReadingHead = 14,
  QueueBadVersionlessRequest = 20,
  QueueVersionlessNotSupported = 21,
  QueueMethodNotAllowed = 40,
  QueueBadRequest = 41,
  QueueNotFound = 42,
  QueueServiceUnavailable = 43,
  QueueForbidden = 44,
  QueueVersionNotSupported = 45,
  QueueInternalError = 46,
  LoseSocketHandling = 47,
  DispatchMethod = 50,
  SendReply = 51,
  AwaitBody = 52,
  SendQueuedReply = 53,  // a reply queued while handling, as the 304 page
  ReceiveBody = 60,
  DispatchAfterBody = 61,
  LoseSocketReadingBody = 62,
  AwaitContinueSent = 63,
  ReceiveAfterContinue = 64,
  LoseSocketSendingContinue = 65,
  AwaitWorkingMemory = 66,
  DispatchWithWorkingMemory = 67,
  LoseSocketAwaitingMemory = 68,
  SendErrorPage = 81,
  SendInternalErrorPage = 82,
  SendNext = 90,
  LogRequest = 91,
  LoseSocketSending = 92,
  Close = 95,
  CloseLostSocket = 96,
  ShutdownAndDrain = 97,  // stop sending and start reading what is still coming
  DrainInput = 98,
};

// Runs the action a transition names and says what happened.
class ActionRunner {
 public:
  virtual Event RunAction(Action action) = 0;

 protected:
  ~ActionRunner() = default;
};

// Transitions keyed by (event << 16) + state. A key added twice keeps its
// first row.
class StateMachine {
 public:
  struct Row {
    ConnState state;
    ConnState next;
    Event event;
    Action action;
  };

  // A machine holding the connection's table, in state Closed.
  static StateMachine ForConnection();

  void SetState(ConnState state) { state_ = state; }
  ConnState State() const { return state_; }
  void AddTransition(const Row& row);
  const Row* Find(ConnState state, Event event) const;
  // Runs actions until one returns Event::None. False when an event had no
  // row for the current state (the chain stopped there).
  [[nodiscard]] bool PostEvent(Event event, ActionRunner& runner);

 private:
  std::vector<std::pair<uint32_t, Row>> rows_;  // sorted by key
  ConnState state_ = ConnState::Closed;
};

}  // namespace server
