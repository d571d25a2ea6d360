// One client slot of the server: the connection object made at start and
// reused for every connection of its slot, with the table-driven state
// machine that carries one HTTP request from its first bytes to the close.
//
// Locks: `mu_` (the connection lock) is held over a completion's whole action
// chain; `sock_mu_` is a leaf guarding the socket id and the generation, which
// change only with both held, so the watchdog can read them without waiting
// for a busy worker.
#pragma once

#include <netinet/in.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/net/completion_port.h"
#include "platform/net/unique_fd.h"
#include "server/config.h"
#include "server/http_request.h"
#include "server/http_response.h"

namespace dime {
class DimeMessage;
}

namespace server {

class ServerCore;
class ClientConnection;
struct SoapAnswer;

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
};

// Transitions keyed by (event << 16) + state. A key added twice keeps its
// first row.
class StateMachine {
 public:
  struct Row {
    uint16_t state;
    uint16_t next;
    uint16_t event;
    uint16_t action;
  };
  using Action = Event (ClientConnection::*)(int action);

  void SetState(ConnState state, ClientConnection* owner) {
    state_ = static_cast<uint16_t>(state);
    owner_ = owner;
  }
  ConnState State() const { return static_cast<ConnState>(state_); }
  bool AddTransition(ConnState state, ConnState next, Event event, int action);
  const Row* Find(uint16_t state, Event event) const;
  // Runs actions until one returns Event::None. False when an event had no
  // row for the current state (the chain stopped there).
  [[nodiscard]] bool PostEvent(Event event, Action run);

 private:
  std::vector<std::pair<uint32_t, Row>> rows_;  // sorted by key
  uint16_t state_ = static_cast<uint16_t>(ConnState::Closed);
  ClientConnection* owner_ = nullptr;
};

// What "Internal Error: %d!" reports.
enum class InternalErrorCode : int {
  None = 0,
  NoSoapDispatch = 1,     // no SOAP processing (no WSDL reader) for the endpoint
  MissingSoapAction = 2,  // SOAP 1.1 POST without SOAPAction
  NoResponse = 3,         // the SOAP processing gave no answer
  FileStat = 4,           // a static file's size or time could not be read
  ReplyFailed = 5,        // a reply could not be built or queued
  OutOfMemory = 6,
};

class ClientConnection {
 public:
  ClientConnection(ServerCore& core, uint32_t slot);
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Adds the 28 rows; false when one could not be added.
  [[nodiscard]] bool BuildTransitionTable();

  // Under the connection lock: starts serving an accepted socket (the port
  // takes it). False when the port refused it (the socket is then closed).
  [[nodiscard]] bool ResetClient(net::UniqueFd socket, const sockaddr_in& peer);
  // A completion from the port for this slot; stale generations are dropped.
  void OnIoComplete(const net::Completion& completion);

  // The watchdog's pass over this slot. Collect: the generation when the
  // socket is open and older than `timeoutSeconds`. Expire: closes the
  // connection when its lock is free, else shuts the socket down so the busy
  // worker's next transfer fails into the normal close. True when the
  // generation still matched.
  [[nodiscard]] bool TimedOut(int timeoutSeconds, uint32_t* generation) const;
  bool Expire(uint32_t generation);

  // Releases everything the connection holds without returning its slot;
  // for the server's stop, after the workers have ended.
  void Discard();

  uint32_t Slot() const { return slot_; }
  // Capacity of the buffers kept between requests.
  size_t RetainedBytesForTest();

 private:
  // Actions of the table; each returns the next event.
  Event RunAction(int action);
  Event ParseRequest();
  Event AnalyseRequestHeaders();
  Event ReceiveBody();
  Event DispatchMethod();
  Event HandleGet();
  Event HandleHead();
  Event HandlePost();
  Event HandleSoapPost(const EndpointInfo& endpoint);
  Event HandleSoapGet(const EndpointInfo& endpoint);
  Event SendAnswer(SoapAnswer& answer, bool soapGet);
  Event ServeStaticFile(bool headOnly);
  Event SendEndpointPage();
  Event SendStatusPage(int status, std::string_view argument);
  Event SendNext();
  Event LogRequest();
  Event InternalError(InternalErrorCode code);
  void CloseConnection();

  Event PostReceive();
  // Appends a part of the reply; parts before sending starts share a buffer.
  void Queue(std::string_view bytes);
  void QueueFile(net::UniqueFd file, uint64_t size);
  // Drops every queued part and what they added to the bytes sent.
  void DiscardQueue();
  void ClearRequest();
  ReplyContext MakeReply() const;
  bool HeadRequest() const { return line_.method == Method::Head; }

  ServerCore& core_;
  const uint32_t slot_;
  StateMachine machine_;

  // The connection lock.
  std::mutex mu_;
  // Leaf: the socket and its generation. Written with mu_ and sock_mu_ held.
  mutable std::mutex sock_mu_;
  net::SocketId socket_;
  uint32_t generation_ = 0;
  std::chrono::steady_clock::time_point acceptedAt_;

  // Guarded by mu_ from here on.
  char receive_[kMaxReceiveBytes];
  size_t lastBytes_ = 0;

  // Request record for the logs.
  std::string peer_;
  time_t requestTime_ = 0;
  std::string requestLine_;
  int status_ = 200;
  uint64_t bytesSent_ = 0;

  // The request as parsed.
  ConfigSnapshotPtr config_;  // taken at accept, held to the close
  HeaderBlockReader head_;
  bool requestLineParsed_ = false;
  RequestLine line_;  // views into requestLine_
  std::string versionText_;
  RequestHeaders headers_;
  BodyInfo body_;
  std::string bodyBytes_;  // XML bodies
  uint64_t bodyCount_ = 0;
  std::unique_ptr<dime::DimeMessage> dimeRequest_;
  int soapVersion_ = 12;
  std::string path_;
  std::string query_;
  std::string endpointUri_;
  std::string extraPath_;
  InternalErrorCode errorCode_ = InternalErrorCode::None;

  // The reply, in parts, sent one per completion.
  struct Part {
    std::vector<char> bytes;
    net::UniqueFd file;  // when valid: `fileSize` bytes of it
    uint64_t fileSize = 0;
    bool dime = false;  // records of dimeReply_, one per send
  };
  std::deque<Part> queue_;
  std::string scratch_;  // reply text being built; keeps its capacity
  std::unique_ptr<dime::DimeMessage> dimeReply_;
};

}  // namespace server
