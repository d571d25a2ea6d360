// One HTTP exchange on a client slot: the request as it arrives, its body, the
// reply queue (text, a static file or a DIME message) and the record the logs
// get, driven by the connection's state machine. It owns no socket: receives,
// sends and the close go through ExchangeIo, so an exchange runs in a test
// without one. The slot's lock is held over every call.
#pragma once

#include <netinet/in.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/unique_fd.h"
#include "server/http/config.h"
#include "server/http/connection_host.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"
#include "server/http/internal/connection_machine.h"
#include "server/http/request_budget.h"

namespace dime {
class DimeMessage;
}

namespace server {

// How long a connection may wait on its client before the server's sweep
// closes it, whatever the client time-out: a few slow clients must not hold
// the slots or the budget that everyone else needs.
inline constexpr std::chrono::seconds kHeadDeadline{5};        // from accept to the head's end
inline constexpr std::chrono::seconds kBodyStallDeadline{10};  // between bytes of a body
inline constexpr std::chrono::seconds kDrainDeadline{5};       // draining after an error page

struct SoapAnswer;
struct SoapCall;

// The transfers of an exchange. Post* start one transfer, whose completion
// comes back through Exchange::OnTransfer; false when it could not start.
class ExchangeIo {
 public:
  virtual bool PostReceive(char* buffer, size_t size) = 0;
  virtual bool PostSend(std::vector<char> bytes) = 0;
  virtual bool PostSendFile(net::UniqueFd file, uint64_t size) = 0;
  // Ends the sending side only; receives go on.
  virtual bool ShutdownSend() = 0;
  // A transfer of no bytes, completed on the server's large-message thread:
  // the wake of an exchange that waits with nothing posted. Called from any
  // thread, the exchange's own too (the wake then waits for its lock).
  virtual bool PostWake() = 0;
  // Ends the connection: closes the socket and frees the slot. The exchange
  // is cleared meanwhile (Exchange::Clear).
  virtual void Close() = 0;

 protected:
  ~ExchangeIo() = default;
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
  Exception = 7,  // something the request's handling threw; logged with its text
};

class Exchange final : private ActionRunner {
 public:
  Exchange(ExchangeHost& host, ExchangeIo& io);
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Starts reading a request under `config`, held to the close; `peer` is the
  // client as the logs name it. False when the first receive could not be
  // posted (the caller closes).
  // `address` is the peer's own: the management endpoint answers only
  // loopback peers.
  [[nodiscard]] bool Start(ConfigSnapshotPtr config, std::string peer, const sockaddr_in& address,
                           time_t requestTime);
  // A finished transfer: a failed one ends the exchange as a lost socket.
  // False when no transition took the event (the caller closes).
  [[nodiscard]] bool OnTransfer(bool ok, size_t bytes);

  // The log record names `peer` by its host name ("0.0.0.0" when it has
  // none), looked up when the record is written, on the worker's thread.
  void NamePeerWhenLogging(const sockaddr_in& peer);

  // Drops the request and the reply, keeping modest buffers for the next one.
  void Clear();
  // Clear, and frees what the slot would otherwise keep for its next request.
  void Release();

  ConnState State() const { return machine_.State(); }
  // Capacity of the buffers kept between requests.
  size_t RetainedBytes() const;

 private:
  Event RunAction(Action action) override;
  Event ParseRequest();
  Event AnalyseRequestHeaders();
  Event ReceiveBody();
  // Takes the request's share of the server's budget for the first `count`
  // bytes of its body, beyond what it holds; false (logged, nothing more
  // taken) when that does not fit. Charged as the bytes arrive, so bodies
  // announced but never sent hold nothing.
  bool TakeBudget(uint64_t count);
  // False (logged) when the announced body could not fit even alone.
  bool BodyCouldFit();
  void LogBudgetRefusal(const char* budget);
  void ReturnBudget();
  // The request's share of the working memory of requests being processed:
  // true for a body small enough to go without; for a large one false, and
  // PostWake brings it back holding its share.
  bool TakeWorkingShare();
  void ReturnWorkingShare();
  bool WantsContinue() const;
  Event DispatchMethod();
  Event HandleGet();
  Event HandleHead();
  Event HandlePost();
  Event HandleSoapPost(const EndpointInfo& endpoint);
  Event HandleSoapGet(const EndpointInfo& endpoint);
  // Outbound waits of the request end when the client's time-out would.
  void SetDeadline(SoapCall* call) const;
  Event SendAnswer(SoapAnswer& answer, bool soapGet);
  Event ServeStaticFile(bool headOnly);
  Event SendEndpointPage();
  Event SendStatusPage(int status, std::string_view argument);
  // The 500 page holding a SOAP 1.1 fault of our own, for a request refused
  // before any message object saw it.
  Event SendFaultPage(std::string_view code, std::string_view text);
  // True when `endpoint` is the management class's and the peer is not on
  // loopback: the request is refused with a Client fault and an event line.
  bool RefuseManagementCall(const EndpointInfo& endpoint);
  Event SendNext();
  Event LogRequest();
  Event InternalError(InternalErrorCode code);
  // An exception out of `action`: logged and counted; the 500 page when the
  // request is still being handled, else the connection closes.
  Event Thrown(Action action, const char* what);
  Event LoseSocket();
  Event ShutdownAndDrain();
  Event DrainInput();

  Event PostReceive();
  // A receive into the large buffer of bodies and drains.
  Event PostLargeReceive();
  // The next receive of the body: an XML body's straight into its buffer.
  Event PostBodyReceive();
  // Appends a part of the reply; parts before sending starts share a buffer.
  void Queue(std::string_view bytes);
  void QueueFile(net::UniqueFd file, uint64_t size);
  // Drops every queued part and what they added to the bytes sent.
  void DiscardQueue();
  ReplyContext MakeReply() const;
  bool HeadRequest() const { return line_.method == Method::Head; }

  ExchangeHost& host_;
  ExchangeIo& io_;
  StateMachine machine_;

  char receive_[kMaxReceiveBytes];
  // Bodies that do not go straight into their buffer, and drains, are read
  // in large pieces: a system call per few KiB costs more than the bytes.
  std::unique_ptr<char[]> largeReceive_;
  const char* received_ = receive_;  // where the pending receive puts its bytes
  size_t lastBytes_ = 0;

  // Request record for the logs.
  std::string peer_;
  std::optional<sockaddr_in> peerToName_;
  sockaddr_in address_{};  // the peer's, for the management guard
  time_t requestTime_ = 0;
  std::chrono::steady_clock::time_point started_;  // at Start: the client's time-out runs from here
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
  bool bodyDirect_ = false;  // the pending receive is into bodyBytes_
  std::unique_ptr<dime::DimeMessage> dimeRequest_;
  uint64_t memoryTaken_ = 0;  // of host_.Budget(), returned as the exchange ends
  uint64_t diskTaken_ = 0;
  WorkingShare working_;         // of host_.Budget(), while the request is processed
  bool inWorkingBudget_ = false;  // working_ waits or holds
  int soapVersion_ = 12;
  std::string path_;
  std::string query_;
  std::string endpointUri_;
  std::string extraPath_;
  InternalErrorCode errorCode_ = InternalErrorCode::None;
  bool errorPage_ = false;  // the reply is an error page: drain before closing
  uint64_t drained_ = 0;
  uint64_t drainLimit_ = 0;
  std::chrono::steady_clock::time_point drainStart_;

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
