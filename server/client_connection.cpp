#include "server/client_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "dime/exception.h"
#include "dime/message.h"
#include "dime/serializer.h"
#include "platform/net/listener.h"
#include "server/request_log.h"
#include "server/server_core.h"
#include "server/soap_dispatch.h"

namespace server {

namespace {

constexpr char kSoap11EnvelopeNamespace[] = "http://schemas.xmlsoap.org/soap/envelope/";
// Body buffers are reserved up to this much ahead of the bytes themselves.
constexpr size_t kBodyReserve = 64 * 1024;

uint32_t Key(uint16_t state, Event event) { return (static_cast<uint32_t>(event) << 16) + state; }

}  // namespace

// ---- StateMachine -------------------------------------------------------------

bool StateMachine::AddTransition(ConnState state, ConnState next, Event event, int action) {
  const uint16_t s = static_cast<uint16_t>(state);
  const uint32_t key = Key(s, event);
  auto it = std::lower_bound(rows_.begin(), rows_.end(), key,
                             [](const auto& row, uint32_t k) { return row.first < k; });
  if (it != rows_.end() && it->first == key) return true;  // the first row stays
  rows_.insert(it, {key, Row{s, static_cast<uint16_t>(next), static_cast<uint16_t>(event),
                             static_cast<uint16_t>(action)}});
  return true;
}

const StateMachine::Row* StateMachine::Find(uint16_t state, Event event) const {
  const uint32_t key = Key(state, event);
  auto it = std::lower_bound(rows_.begin(), rows_.end(), key,
                             [](const auto& row, uint32_t k) { return row.first < k; });
  return it != rows_.end() && it->first == key ? &it->second : nullptr;
}

bool StateMachine::PostEvent(Event event, Action run) {
  while (event != Event::None) {
    const Row* row = Find(state_, event);
    if (row == nullptr) return false;
    event = (owner_->*run)(row->action);
    state_ = row->next;
  }
  return true;
}

// ---- ClientConnection -----------------------------------------------------------

ClientConnection::ClientConnection(ServerCore& core, uint32_t slot) : core_(core), slot_(slot) {}

ClientConnection::~ClientConnection() = default;

bool ClientConnection::BuildTransitionTable() {
  using S = ConnState;
  using E = Event;
  struct R {
    S state, next;
    E event;
    int action;
  };
  static constexpr R kRows[] = {
      {S::ReadingHead, S::ReadingHead, E::IoComplete, 10},
      {S::ReadingHead, S::NoVersion, E::NoVersion, 11},
      {S::ReadingHead, S::Handling, E::HeadersReceived, 13},
      {S::ReadingHead, S::ErrorPage, E::BadRequest, 12},
      {S::Handling, S::Handling, E::RequestComplete, 50},
      {S::NoVersion, S::ErrorPage, E::BadRequest, 20},
      {S::NoVersion, S::ErrorPage, E::VersionNotSupported, 21},
      {S::Handling, S::ErrorPage, E::BadRequest, 41},
      {S::Handling, S::ErrorPage, E::MethodNotAllowed, 40},
      {S::Handling, S::ErrorPage, E::NotFound, 42},
      {S::Handling, S::ErrorPage, E::ServiceUnavailable, 43},
      {S::Handling, S::ErrorPage, E::VersionNotSupported, 45},
      {S::Handling, S::ErrorPage, E::Forbidden, 44},
      {S::ReadingHead, S::SocketLost, E::SocketClosed, 14},
      {S::ReadingBody, S::SocketLost, E::SocketClosed, 62},
      {S::Handling, S::SocketLost, E::SocketClosed, 47},
      {S::Sending, S::SocketLost, E::SocketClosed, 92},
      {S::Handling, S::InternalError, E::InternalError, 46},
      {S::Handling, S::Sending, E::ResponseReady, 51},
      {S::Sending, S::Sending, E::IoComplete, 90},
      {S::ErrorPage, S::Sending, E::ResponseQueued, 81},
      {S::InternalError, S::Sending, E::ResponseQueued, 82},
      {S::Handling, S::ReadingBody, E::BodyIncomplete, 52},
      {S::ReadingBody, S::ReadingBody, E::IoComplete, 60},
      {S::ReadingBody, S::Handling, E::BodyComplete, 61},
      {S::Sending, S::Sent, E::AllSent, 91},
      {S::Sent, S::Closed, E::RequestLogged, 95},
      {S::SocketLost, S::Closed, E::ResponseQueued, 96},
  };
  for (const R& r : kRows) {
    if (!machine_.AddTransition(r.state, r.next, r.event, r.action)) return false;
  }
  return true;
}

Event ClientConnection::RunAction(int action) {
  try {
    switch (action) {
      case 10:
        return ParseRequest();
      case 11:
        return Event::VersionNotSupported;
      case 12:
      case 20:
      case 41:
        core_.CountHTTPError();
        return SendStatusPage(400, {});
      case 13:
        return AnalyseRequestHeaders();
      case 14:
      case 47:
      case 62:
      case 92:
        core_.LogEvent("Unexpected Socket Closure!");
        core_.CountNetError();
        return Event::ResponseQueued;
      case 21:
      case 45:
        core_.CountHTTPError();
        return SendStatusPage(505, versionText_);
      case 40:
        core_.CountHTTPError();
        return SendStatusPage(405, line_.methodText);
      case 42:
        return SendStatusPage(404, path_);
      case 43:
        return SendStatusPage(503, {});
      case 44:
        return SendStatusPage(403, {});
      case 46: {
        char text[64];
        std::snprintf(text, sizeof text, "Internal Error: %d!", static_cast<int>(errorCode_));
        core_.LogEvent(text);
        core_.CountInternalError();
        return SendStatusPage(500, {});
      }
      case 50:
      case 61:
        return DispatchMethod();
      case 51:
      case 81:
      case 82:
      case 90:
        return SendNext();
      case 52:
        return Event::None;
      case 60:
        return ReceiveBody();
      case 91:
        return LogRequest();
      case 95:
      case 96:
        CloseConnection();
        return Event::None;
    }
  } catch (const std::bad_alloc&) {
    // Every state that runs actions has a way out on a lost socket, or the
    // caller closes the connection when it has none.
    return Event::SocketClosed;
  }
  return Event::None;
}

ReplyContext ClientConnection::MakeReply() const {
  ReplyContext r;
  r.versionText = versionText_.empty() ? std::string_view("HTTP/0.9") : versionText_;
  r.major = line_.major;
  r.minor = line_.minor;
  r.headOnly = HeadRequest();
  r.now = time(nullptr);
  return r;
}

void ClientConnection::ClearRequest() {
  queue_.clear();
  dimeReply_.reset();
  if (dimeRequest_) dimeRequest_->Clear();
  head_.Reset();
  headers_.Clear();
  requestLineParsed_ = false;
  line_ = RequestLine();
  versionText_.clear();
  requestLine_.clear();
  body_ = BodyInfo();
  if (bodyBytes_.capacity() > kBodyReserve) {
    std::string().swap(bodyBytes_);
  } else {
    bodyBytes_.clear();
  }
  bodyCount_ = 0;
  soapVersion_ = 12;
  path_.clear();
  query_.clear();
  endpointUri_.clear();
  extraPath_.clear();
  errorCode_ = InternalErrorCode::None;
  config_.reset();
  lastBytes_ = 0;
}

bool ClientConnection::ResetClient(net::UniqueFd socket, const sockaddr_in& peer) {
  std::lock_guard<std::mutex> lock(mu_);
  ClearRequest();
  machine_.SetState(ConnState::ReadingHead, this);
  {
    std::lock_guard<std::mutex> sock(sock_mu_);
    const net::SocketId id = core_.Port().Associate(std::move(socket), slot_, generation_);
    if (!id.Valid()) return false;
    socket_ = id;
    acceptedAt_ = std::chrono::steady_clock::now();
  }
  requestTime_ = time(nullptr);
  status_ = 200;
  bytesSent_ = 0;
  config_ = core_.Config();

  // The peer as the logs show it; "0.0.0.0" when it cannot be named.
  peer_ = net::FormatIPv4(peer);
  if (core_.Settings().enableNameLookup) {
    if (peer_ == "127.0.0.1") {
      peer_ = "loopback";
    } else {
      char host[NI_MAXHOST];
      if (getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, host, sizeof host,
                      nullptr, 0, NI_NAMEREQD) == 0) {
        peer_ = host;
      } else {
        peer_ = "0.0.0.0";
      }
    }
  }
  if (PostReceive() != Event::None) CloseConnection();
  return true;
}

void ClientConnection::OnIoComplete(const net::Completion& completion) {
  std::lock_guard<std::mutex> lock(mu_);
  if (completion.generation != generation_ || !socket_.Valid()) return;  // an earlier connection's
  // A failed transfer ends the exchange as a lost socket, freeing the slot now.
  lastBytes_ = completion.ok ? completion.bytes : 0;
  const Event event = completion.ok ? Event::IoComplete : Event::SocketClosed;
  if (!machine_.PostEvent(event, &ClientConnection::RunAction)) {
    // No transition takes the event: close rather than strand the slot.
    CloseConnection();
  }
}

bool ClientConnection::TimedOut(int timeoutSeconds, uint32_t* generation) const {
  std::lock_guard<std::mutex> sock(sock_mu_);
  if (!socket_.Valid()) return false;
  const auto age = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::steady_clock::now() - acceptedAt_);
  if (age.count() <= timeoutSeconds) return false;
  *generation = generation_;
  return true;
}

bool ClientConnection::Expire(uint32_t generation) {
  std::unique_lock<std::mutex> lock(mu_, std::try_to_lock);
  if (lock.owns_lock()) {
    {
      std::lock_guard<std::mutex> sock(sock_mu_);
      if (generation != generation_ || !socket_.Valid()) return false;
    }
    CloseConnection();
    return true;
  }
  // A worker is inside this connection's request: make its next transfer fail.
  std::lock_guard<std::mutex> sock(sock_mu_);
  if (generation != generation_ || !socket_.Valid()) return false;
  core_.Port().ShutdownSocket(socket_);
  return true;
}

void ClientConnection::Discard() {
  std::lock_guard<std::mutex> lock(mu_);
  {
    std::lock_guard<std::mutex> sock(sock_mu_);
    if (socket_.Valid()) core_.Port().CloseSocket(socket_);
    socket_ = {};
    ++generation_;
  }
  ClearRequest();
  dimeRequest_.reset();
}

size_t ClientConnection::RetainedBytesForTest() {
  std::lock_guard<std::mutex> lock(mu_);
  return scratch_.capacity() + bodyBytes_.capacity() + requestLine_.capacity() +
         head_.CapacityForTest();
}

void ClientConnection::CloseConnection() {
  bool closed = false;
  {
    std::lock_guard<std::mutex> sock(sock_mu_);
    if (socket_.Valid()) {
      core_.Port().CloseSocket(socket_);
      socket_ = {};
      ++generation_;
      closed = true;
    }
  }
  ClearRequest();
  // Only the close that actually closed the socket gives the slot back.
  if (closed) core_.ReleaseClientSlot(slot_);
}

// ---- Receiving ---------------------------------------------------------------------

Event ClientConnection::PostReceive() {
  return core_.Port().PostReceive(socket_, receive_, sizeof receive_) ? Event::None
                                                                      : Event::SocketClosed;
}

Event ClientConnection::ParseRequest() {
  if (lastBytes_ == 0) return Event::SocketClosed;
  const HeaderBlockReader::Result result = head_.Feed(std::string_view(receive_, lastBytes_));
  if (result == HeaderBlockReader::Result::TooLarge) return Event::BadRequest;
  if (!requestLineParsed_) {
    if (head_.LineCount() == 0) {
      // Lines are cut at carriage returns only: a line feed without one
      // leaves no request line, unless one ends the bytes so far.
      return head_.SawLineFeed() && !head_.CarriageReturnPending() ? Event::BadRequest
                                                                   : PostReceive();
    }
    requestLine_.assign(head_.Line(0));
    const Event event = ParseRequestLine(requestLine_, &line_);
    if (event == Event::BadRequest) return event;
    requestLineParsed_ = true;
    versionText_ = line_.hasVersion ? VersionText(line_.major, line_.minor) : "HTTP/0.9";
    if (event != Event::HeadersReceived) return event;
  }
  if (result == HeaderBlockReader::Result::Complete) return Event::HeadersReceived;
  return PostReceive();
}

Event ClientConnection::AnalyseRequestHeaders() {
  if (line_.major >= 2) return Event::VersionNotSupported;
  headers_.Parse(head_);
  const Event event = AnalyseBody(headers_, &body_);
  if (event != Event::BodyIncomplete) return event;

  std::string_view first = head_.Rest();
  first =
      first.substr(0, static_cast<size_t>(std::min<uint64_t>(first.size(), body_.contentLength)));
  if (body_.kind == ContentKind::Dime) {
    try {
      if (!dimeRequest_) dimeRequest_ = std::make_unique<dime::DimeMessage>();
      dimeRequest_->InitDeserializer(body_.contentLength);
    } catch (dime::DIMEParserException* e) {
      delete e;
      return Event::SocketClosed;  // no transition would take anything else here
    }
    if (!first.empty()) {
      try {
        dimeRequest_->Deserialize(reinterpret_cast<const uint8_t*>(first.data()), first.size());
      } catch (dime::DIMEParserException* e) {
        delete e;
        return Event::BadRequest;
      }
    }
  } else {
    bodyBytes_.reserve(static_cast<size_t>(std::min<uint64_t>(body_.contentLength, kBodyReserve)));
    bodyBytes_.assign(first);
  }
  bodyCount_ = first.size();
  if (bodyCount_ < body_.contentLength) {
    return PostReceive() == Event::None ? Event::BodyIncomplete : Event::SocketClosed;
  }
  return Event::RequestComplete;
}

Event ClientConnection::ReceiveBody() {
  if (lastBytes_ == 0) return Event::SocketClosed;
  const size_t n =
      static_cast<size_t>(std::min<uint64_t>(lastBytes_, body_.contentLength - bodyCount_));
  if (body_.kind == ContentKind::Dime) {
    try {
      dimeRequest_->Deserialize(reinterpret_cast<const uint8_t*>(receive_), n);
    } catch (dime::DIMEParserException* e) {
      delete e;
      return Event::SocketClosed;
    }
  } else {
    bodyBytes_.append(receive_, n);
  }
  bodyCount_ += n;
  if (bodyCount_ >= body_.contentLength) return Event::BodyComplete;
  return PostReceive();
}

// ---- Dispatch ------------------------------------------------------------------------

Event ClientConnection::DispatchMethod() {
  switch (line_.method) {
    case Method::Get:
      return HandleGet();
    case Method::Head:
      return HandleHead();
    case Method::Post:
      return HandlePost();
    case Method::None:
      break;
  }
  return Event::MethodNotAllowed;
}

Event ClientConnection::HandleGet() {
  SplitRequestUri(line_.uri, &path_, &query_);
  const EndpointInfo* endpoint =
      FindEndpoint(config_->endpoints, path_, &endpointUri_, &extraPath_);
  if (endpoint == nullptr) return ServeStaticFile(/*headOnly=*/false);
  if (HandleSoapGet(*endpoint) == Event::ResponseReady) return Event::ResponseReady;
  return SendEndpointPage();
}

Event ClientConnection::HandleHead() {
  SplitRequestUri(line_.uri, &path_, &query_);
  if (FindEndpoint(config_->endpoints, path_, &endpointUri_, &extraPath_) != nullptr) {
    return Event::Forbidden;
  }
  return ServeStaticFile(/*headOnly=*/true);
}

Event ClientConnection::HandlePost() {
  if (body_.contentLength == 0) return Event::BadRequest;
  if (body_.kind == ContentKind::Dime && !(dimeRequest_ && dimeRequest_->IsComplete())) {
    return Event::BadRequest;  // the body ended before the message did
  }
  SplitRequestUri(line_.uri, &path_, &query_);
  const EndpointInfo* endpoint =
      FindEndpoint(config_->endpoints, path_, &endpointUri_, &extraPath_);
  if (endpoint == nullptr) return Event::NotFound;
  return HandleSoapPost(*endpoint);
}

Event ClientConnection::HandleSoapPost(const EndpointInfo& endpoint) {
  SoapDispatch* dispatch = core_.Dispatch();
  if (dispatch == nullptr) return InternalError(InternalErrorCode::NoSoapDispatch);
  SoapCall call;
  switch (body_.kind) {
    case ContentKind::SoapXml:
      soapVersion_ = 11;
      if (headers_.Find("SOAPACTION") == nullptr) {
        return InternalError(InternalErrorCode::MissingSoapAction);
      }
      break;
    case ContentKind::Soap12Xml:
      soapVersion_ = 12;
      break;
    case ContentKind::Dime: {
      const dime::DimePayload* envelope = dimeRequest_->Payload(0);
      soapVersion_ = envelope != nullptr && envelope->Type() == kSoap11EnvelopeNamespace ? 11 : 12;
      call.dime = dimeRequest_.get();
      break;
    }
    case ContentKind::None:
      return Event::BadRequest;
  }
  call.endpoint = &endpoint;
  call.endpointUri = endpointUri_;
  call.extraPath = extraPath_;
  call.queryString = query_;
  call.soapAction = body_.soapAction;
  call.soapVersion = soapVersion_;
  call.kind = body_.kind;
  call.body = bodyBytes_;
  call.traceEnabled = config_->logs.enable_trace_log;
  SoapAnswer answer;
  if (!dispatch->ProcessSoapPost(call, &answer)) {
    return InternalError(InternalErrorCode::NoResponse);
  }
  return SendAnswer(answer, /*soapGet=*/false);
}

Event ClientConnection::HandleSoapGet(const EndpointInfo& endpoint) {
  SoapDispatch* dispatch = core_.Dispatch();
  if (dispatch == nullptr) return InternalError(InternalErrorCode::NoSoapDispatch);
  SoapCall call;
  call.endpoint = &endpoint;
  call.endpointUri = endpointUri_;
  call.extraPath = extraPath_;
  call.queryString = query_;
  call.traceEnabled = config_->logs.enable_trace_log;
  SoapAnswer answer;
  if (!dispatch->ProcessSoapGet(call, &answer)) {
    return InternalError(InternalErrorCode::NoResponse);
  }
  return SendAnswer(answer, /*soapGet=*/true);
}

Event ClientConnection::SendAnswer(SoapAnswer& answer, bool soapGet) {
  if (config_->logs.enable_trace_log && !answer.traceRecord.empty() && core_.Logger() != nullptr) {
    core_.Logger()->WriteTraceRecord(answer.traceRecord);
  }
  DiscardQueue();
  const ReplyContext reply = MakeReply();
  scratch_.clear();
  status_ = answer.status;
  if (answer.status == 204) {
    AppendNoContent(&scratch_, reply);
    Queue(scratch_);
    return Event::ResponseReady;
  }
  if (answer.dime) {
    dimeReply_ = std::move(answer.dime);
    const uint64_t length = dimeReply_->ComputeMessageLength();
    if (length == 0) {
      dimeReply_.reset();
      return InternalError(InternalErrorCode::ReplyFailed);
    }
    body_.kind = ContentKind::Dime;
    AppendSoapReplyHeader(&scratch_, answer.status, ContentKind::Dime, length, reply);
    Queue(scratch_);
    if (!reply.headOnly) {
      Part part;
      part.dime = true;
      queue_.push_back(std::move(part));
      bytesSent_ += length;
    }
    return Event::ResponseReady;
  }
  ContentKind kind = body_.kind;
  if (soapGet) {
    kind = ContentKind::Soap12Xml;
  } else if (kind == ContentKind::Dime) {
    kind = answer.soapVersion == 11 ? ContentKind::SoapXml : ContentKind::Soap12Xml;
  }
  AppendSoapReplyHeader(&scratch_, answer.status, kind, answer.body.size(), reply);
  // Straight behind the header, not through scratch_, which the slot keeps.
  Part part;
  part.bytes.reserve(scratch_.size() + (reply.headOnly ? 0 : answer.body.size()));
  part.bytes.assign(scratch_.begin(), scratch_.end());
  if (!reply.headOnly) part.bytes.insert(part.bytes.end(), answer.body.begin(), answer.body.end());
  bytesSent_ += part.bytes.size();
  queue_.push_back(std::move(part));
  return Event::ResponseReady;
}

Event ClientConnection::InternalError(InternalErrorCode code) {
  errorCode_ = code;
  return Event::InternalError;
}

// ---- Replies -------------------------------------------------------------------------

void ClientConnection::Queue(std::string_view bytes) {
  if (bytes.empty()) return;
  bytesSent_ += bytes.size();
  // Parts queued before sending starts share one buffer, so the wire bytes
  // are the same with fewer sends.
  if (!queue_.empty()) {
    Part& last = queue_.back();
    if (!last.file.Valid() && !last.dime) {
      last.bytes.insert(last.bytes.end(), bytes.begin(), bytes.end());
      return;
    }
  }
  Part part;
  part.bytes.assign(bytes.begin(), bytes.end());
  queue_.push_back(std::move(part));
}

void ClientConnection::QueueFile(net::UniqueFd file, uint64_t size) {
  Part part;
  part.file = std::move(file);
  part.fileSize = size;
  queue_.push_back(std::move(part));
  bytesSent_ += size;
}

void ClientConnection::DiscardQueue() {
  queue_.clear();
  dimeReply_.reset();
  bytesSent_ = 0;
}

Event ClientConnection::SendStatusPage(int status, std::string_view argument) {
  // A page replaces whatever part of another reply was queued before it.
  DiscardQueue();
  scratch_.clear();
  AppendStatusPage(&scratch_, status, argument, MakeReply());
  status_ = status;
  Queue(scratch_);
  return Event::ResponseQueued;
}

Event ClientConnection::SendEndpointPage() {
  DiscardQueue();
  scratch_.clear();
  AppendEndpointPage(&scratch_, path_, MakeReply());
  status_ = 200;
  Queue(scratch_);
  return Event::ResponseReady;
}

Event ClientConnection::ServeStaticFile(bool headOnly) {
  const std::string name = StaticFileName(*config_, path_);
  if (name.empty()) return Event::NotFound;
  // Served only from inside the root once symbolic links are followed.
  char* resolved = realpath(name.c_str(), nullptr);
  if (resolved == nullptr) return Event::NotFound;
  const std::string real(resolved);
  std::free(resolved);
  if (!InsideDocumentRoot(config_->docBasePath, real)) return Event::NotFound;
  // Non-blocking, so a FIFO in the root cannot hold the worker.
  net::UniqueFd file(::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file.Valid()) return Event::NotFound;
  struct stat st;
  if (::fstat(file.Get(), &st) != 0) return InternalError(InternalErrorCode::FileStat);
  if (!S_ISREG(st.st_mode)) return Event::NotFound;

  const ReplyContext reply = MakeReply();
  if (const std::string_view* since = headers_.Find("IF-MODIFIED-SINCE")) {
    time_t date = 0;
    // Strictly earlier: a file modified within the named second is sent.
    if (!since->empty() && ParseHttpDate(*since, &date) && st.st_mtim.tv_sec < date) {
      SendStatusPage(304, {});
      return Event::ResponseReady;
    }
  }
  DiscardQueue();
  scratch_.clear();
  AppendStaticFileHeader(&scratch_, MimeTypeFor(config_->mimeMap, name), st.st_mtim.tv_sec,
                         static_cast<uint64_t>(st.st_size), reply);
  status_ = 200;
  Queue(scratch_);
  if (!headOnly && st.st_size > 0) QueueFile(std::move(file), static_cast<uint64_t>(st.st_size));
  return Event::ResponseReady;
}

Event ClientConnection::SendNext() {
  auto& port = core_.Port();
  while (!queue_.empty()) {
    Part& part = queue_.front();
    if (part.dime) {
      // One record per send, serialized as the previous one completes.
      std::vector<char> record(dime::kRecordSize);
      size_t written = 0;
      bool more = false;
      try {
        more = dimeReply_->Serialize(reinterpret_cast<uint8_t*>(record.data()), record.size(),
                                     &written);
      } catch (dime::DIMEParserException* e) {
        delete e;
        return Event::SocketClosed;
      }
      if (!more) queue_.pop_front();
      if (written == 0) continue;
      record.resize(written);
      return port.PostSend(socket_, std::move(record)) ? Event::None : Event::SocketClosed;
    }
    bool posted;
    if (part.file.Valid()) {
      posted = port.PostSendFile(socket_, std::move(part.file), 0, part.fileSize);
    } else {
      posted = port.PostSend(socket_, std::move(part.bytes));
    }
    queue_.pop_front();
    return posted ? Event::None : Event::SocketClosed;
  }
  return Event::AllSent;
}

Event ClientConnection::LogRequest() {
  if (RequestLogger* logger = core_.Logger()) {
    RequestRecord record;
    record.peer = peer_;
    record.request_time = requestTime_;
    record.request_line = requestLine_;
    record.status = status_;
    record.bytes_sent = bytesSent_;
    record.user_agent = headers_.Get("USER-AGENT");
    logger->LogRequest(record);
  }
  core_.AddBytesSent(bytesSent_);
  return Event::RequestLogged;
}

}  // namespace server
