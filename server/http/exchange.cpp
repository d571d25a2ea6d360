#include "server/http/exchange.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "dime/exception.h"
#include "dime/message.h"
#include "dime/resources.h"
#include "dime/serializer.h"
#include "interfaces/braskelmgr.h"
#include "interfaces/jorvex.h"
#include "platform/com/activation.h"
#include "platform/net/listener.h"
#include "platform/text/text.h"
#include "server/http/request_budget.h"
#include "server/http/request_log.h"
#include "server/http/server_logs.h"
#include "server/http/soap_dispatch.h"

namespace server {

namespace {

constexpr char kSoap11EnvelopeNamespace[] = "http://schemas.xmlsoap.org/soap/envelope/";
// A body is received straight into its buffer, at most this much at a time:
// the buffer is reserved whole (charged to the budget already; a large one is
// mapped for itself, so its pages cost nothing until bytes arrive) but filled
// no further ahead of the bytes than this. Also what a slot keeps between
// requests.
constexpr size_t kBodyReserve = 64 * 1024;
// What is read of a client's input after an error page, beyond the rest of
// the body it announced (a client that sends it all before reading must get
// to the page), and at most of that body.
constexpr uint64_t kDrainSlackBytes = 256 * 1024;
constexpr uint64_t kMaxDrainBytes = kMaxDimeRequestBytes;
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// The endpoint that serves the management class: it changes the document
// root and the log paths, so nothing outside this host may reach it until an
// authenticating header processor guards it.
bool IsManagementEndpoint(const EndpointInfo& endpoint) {
  const std::u16string& progId = endpoint.bodyProcessingProgId;
  if (text::AsciiIEquals(progId, text::Widen(kBraskelMgrProgId)) ||
      text::AsciiIEquals(progId, text::Widen(kBraskelMgrVersionedProgId))) {
    return true;
  }
  // Another name registered for the same class is the same door.
  CLSID clsid{};
  return !progId.empty() && SUCCEEDED(CLSIDFromProgID(progId.c_str(), &clsid)) &&
         clsid == CLSID_braskelmgr2;
}

// The digest processor authenticates every call before the body runs, on a
// GET too, so an endpoint it guards may be reached from anywhere.
bool IsDigestGuarded(const EndpointInfo& endpoint) {
  for (const std::u16string& progId : endpoint.headerProcessingProgIds) {
    if (text::AsciiIEquals(progId, text::Widen(kJorvexProgId)) ||
        text::AsciiIEquals(progId, text::Widen(kJorvexVersionedProgId))) {
      return true;
    }
  }
  return false;
}

bool IsLoopback(const sockaddr_in& address) {
  return address.sin_family == AF_INET && (ntohl(address.sin_addr.s_addr) >> 24) == 127;
}

}  // namespace

Exchange::Exchange(ExchangeHost& host, ExchangeIo& io)
    : host_(host), io_(io), machine_(StateMachine::ForConnection()) {}

Exchange::~Exchange() {
  ReturnWorkingShare();
  ReturnBudget();
}

bool Exchange::Start(ConfigSnapshotPtr config, std::string peer, const sockaddr_in& address,
                     time_t requestTime) {
  Clear();
  address_ = address;
  machine_.SetState(ConnState::ReadingHead);
  requestTime_ = requestTime;
  started_ = std::chrono::steady_clock::now();
  status_ = 200;
  bytesSent_ = 0;
  config_ = std::move(config);
  peer_ = std::move(peer);
  return PostReceive() == Event::None;
}

bool Exchange::OnTransfer(bool ok, size_t bytes) {
  lastBytes_ = ok ? bytes : 0;
  return machine_.PostEvent(ok ? Event::IoComplete : Event::SocketClosed, *this);
}

void Exchange::NamePeerWhenLogging(const sockaddr_in& peer) { peerToName_ = peer; }

void Exchange::Release() {
  Clear();
  dimeRequest_.reset();
}

size_t Exchange::RetainedBytes() const {
  return scratch_.capacity() + bodyBytes_.capacity() + requestLine_.capacity() +
         head_.CapacityForTest();
}

Event Exchange::RunAction(Action action) {
  try {
    switch (action) {
      case Action::ParseRequest:
        return ParseRequest();
      case Action::RefuseVersionless:
        return Event::VersionNotSupported;
      case Action::QueueBadRequestLine:
      case Action::QueueBadVersionlessRequest:
      case Action::QueueBadRequest:
        host_.CountHTTPError();
        return SendStatusPage(400, {});
      case Action::AnalyseHeaders:
        return AnalyseRequestHeaders();
      case Action::LoseSocketReadingHead:
      case Action::LoseSocketHandling:
      case Action::LoseSocketReadingBody:
      case Action::LoseSocketSending:
        return LoseSocket();
      case Action::QueueVersionlessNotSupported:
      case Action::QueueVersionNotSupported:
        host_.CountHTTPError();
        return SendStatusPage(505, versionText_);
      case Action::QueueMethodNotAllowed:
        host_.CountHTTPError();
        return SendStatusPage(405, line_.methodText);
      case Action::QueueNotFound:
        return SendStatusPage(404, path_);
      case Action::QueueServiceUnavailable:
        return SendStatusPage(503, {});
      case Action::QueueForbidden:
        return SendStatusPage(403, {});
      case Action::QueueInternalError: {
        if (errorCode_ != InternalErrorCode::Exception) {  // that one was logged with its text
          char text[64];
          std::snprintf(text, sizeof text, "Internal Error: %d!", static_cast<int>(errorCode_));
          host_.LogEvent(text);
        }
        host_.CountInternalError();
        if (errorCode_ == InternalErrorCode::MissingSoapAction) {
          return SendFaultPage("Client", "Request: SOAPAction HTTP header is missing.");
        }
        return SendStatusPage(500, {});
      }
      case Action::DispatchMethod:
      case Action::DispatchAfterBody:
        return DispatchMethod();
      case Action::SendReply:
      case Action::SendQueuedReply:
      case Action::SendErrorPage:
      case Action::SendInternalErrorPage:
      case Action::SendNext:
        return SendNext();
      case Action::AwaitBody:
      case Action::AwaitContinueSent:
      case Action::AwaitWorkingMemory:
        return Event::None;
      case Action::DispatchWithWorkingMemory:
        return DispatchMethod();
      case Action::ReceiveAfterContinue:
        return PostBodyReceive();
      case Action::LoseSocketSendingContinue:
      case Action::LoseSocketAwaitingMemory:
        return LoseSocket();
      case Action::ReceiveBody:
        return ReceiveBody();
      case Action::LogRequest:
        return LogRequest();
      case Action::ShutdownAndDrain:
        return ShutdownAndDrain();
      case Action::DrainInput:
        return DrainInput();
      case Action::Close:
      case Action::CloseLostSocket:
        io_.Close();
        return Event::None;
    }
  } catch (const std::bad_alloc&) {
    // What the failed handling held is gone by now: the small 500 page can
    // still be the answer.
    if (action == Action::AnalyseHeaders || action == Action::DispatchMethod ||
        action == Action::DispatchAfterBody || action == Action::DispatchWithWorkingMemory) {
      return InternalError(InternalErrorCode::OutOfMemory);
    }
    // Every state that runs actions has a way out on a lost socket, or the
    // caller closes the connection when it has none.
    return Event::SocketClosed;
  } catch (const std::exception& e) {
    return Thrown(action, e.what());
  } catch (...) {
    return Thrown(action, "unknown exception");
  }
  return Event::None;
}

Event Exchange::Thrown(Action action, const char* what) {
  host_.LogEvent(std::string("Internal Error: ") + what);
  // These actions hand the request to its handling, and nothing of a reply
  // has left before it: the 500 page can still be the answer.
  if (action == Action::AnalyseHeaders || action == Action::DispatchMethod ||
      action == Action::DispatchAfterBody || action == Action::DispatchWithWorkingMemory) {
    errorCode_ = InternalErrorCode::Exception;
    return Event::InternalError;  // counted as it is queued
  }
  host_.CountInternalError();
  return Event::SocketClosed;
}

Event Exchange::ShutdownAndDrain() {
  // What the body held is of no use now, and others may need it.
  if (bodyBytes_.capacity() > kBodyReserve) std::string().swap(bodyBytes_);
  if (dimeRequest_) dimeRequest_->Clear();
  ReturnBudget();
  if (!io_.ShutdownSend()) return Event::InputDrained;
  drained_ = 0;
  const uint64_t unread = body_.contentLength > bodyCount_ ? body_.contentLength - bodyCount_ : 0;
  drainLimit_ = std::min(unread, kMaxDrainBytes) + kDrainSlackBytes;
  drainStart_ = std::chrono::steady_clock::now();
  return PostLargeReceive();
}

Event Exchange::DrainInput() {
  drained_ += lastBytes_;
  // Bounded: a client that keeps sending is closed on anyway (the server's
  // sweep closes one that stops sending without closing).
  if (lastBytes_ == 0 || drained_ > drainLimit_ ||
      std::chrono::steady_clock::now() - drainStart_ > kDrainDeadline) {
    return Event::InputDrained;
  }
  return PostLargeReceive();
}

Event Exchange::LoseSocket() {
  host_.LogEvent("Unexpected Socket Closure!");
  host_.CountNetError();
  return Event::ResponseQueued;
}

ReplyContext Exchange::MakeReply() const {
  ReplyContext r;
  r.versionText = versionText_.empty() ? std::string_view("HTTP/0.9") : versionText_;
  r.major = line_.major;
  r.minor = line_.minor;
  r.headOnly = HeadRequest();
  r.now = time(nullptr);
  return r;
}

void Exchange::Clear() {
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
  bodyDirect_ = false;
  soapVersion_ = 12;
  path_.clear();
  query_.clear();
  endpointUri_.clear();
  extraPath_.clear();
  errorCode_ = InternalErrorCode::None;
  errorPage_ = false;
  peerToName_.reset();
  drained_ = 0;
  drainLimit_ = 0;
  largeReceive_.reset();
  received_ = receive_;
  config_.reset();
  lastBytes_ = 0;
  ReturnWorkingShare();
  ReturnBudget();
}

// ---- Receiving ---------------------------------------------------------------------

Event Exchange::PostReceive() {
  received_ = receive_;
  return io_.PostReceive(receive_, sizeof receive_) ? Event::None : Event::SocketClosed;
}

Event Exchange::PostLargeReceive() {
  if (!largeReceive_) largeReceive_ = std::make_unique<char[]>(kBodyReserve);
  received_ = largeReceive_.get();
  return io_.PostReceive(largeReceive_.get(), kBodyReserve) ? Event::None : Event::SocketClosed;
}

Event Exchange::ParseRequest() {
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
    const RequestLineResult parsed = ParseRequestLine(requestLine_, &line_);
    if (parsed == RequestLineResult::Bad) return Event::BadRequest;
    requestLineParsed_ = true;
    versionText_ = line_.hasVersion ? VersionText(line_.major, line_.minor) : "HTTP/0.9";
    if (parsed == RequestLineResult::NoVersion) return Event::NoVersion;
  }
  if (result == HeaderBlockReader::Result::Complete) return Event::HeadersReceived;
  return PostReceive();
}

Event Exchange::AnalyseRequestHeaders() {
  if (line_.major >= 2) return Event::VersionNotSupported;
  headers_.Parse(head_);
  switch (AnalyseBody(headers_, &body_)) {
    case BodyResult::NoBody:
      return Event::RequestComplete;
    case BodyResult::Bad:
      return Event::BadRequest;
    case BodyResult::Body:
      break;
  }
  // Refused on the headers alone, before a byte of the body is read.
  if (line_.method == Method::Post) {
    SplitRequestUri(line_.uri, &path_, &query_);
    if (FindEndpoint(config_->endpoints, path_, &endpointUri_, &extraPath_) == nullptr) {
      return Event::NotFound;
    }
  }
  if (body_.kind == ContentKind::Dime && body_.contentLength > kMaxDimeRequestBytes) {
    return Event::BadRequest;
  }
  if (!BodyCouldFit()) return Event::ServiceUnavailable;

  std::string_view first = head_.Rest();
  first =
      first.substr(0, static_cast<size_t>(std::min<uint64_t>(first.size(), body_.contentLength)));
  if (!TakeBudget(first.size())) return Event::ServiceUnavailable;
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
    bodyBytes_.reserve(static_cast<size_t>(body_.contentLength));
    bodyBytes_.assign(first);
  }
  bodyCount_ = first.size();
  if (bodyCount_ < body_.contentLength) {
    if (bodyCount_ == 0 && WantsContinue()) {
      return io_.PostSend(std::vector<char>(kContinue.begin(), kContinue.end()))
                 ? Event::ContinueSent
                 : Event::SocketClosed;
    }
    return PostBodyReceive() == Event::None ? Event::BodyIncomplete : Event::SocketClosed;
  }
  return Event::RequestComplete;
}

bool Exchange::WantsContinue() const {
  const std::string_view* expect = headers_.Find("EXPECT");
  return expect != nullptr && line_.major == 1 && line_.minor >= 1 &&
         text::AsciiIEquals(*expect, "100-continue");
}

namespace {

// What a body's first `count` bytes hold of the server's budget. A DIME body
// keeps only its envelope in memory, its attachments on disk.
uint64_t MemoryFor(const BodyInfo& body, uint64_t count) {
  const uint64_t inMemory =
      body.kind == ContentKind::Dime ? std::min<uint64_t>(count, dime::kMaxEnvelopeBytes) : count;
  return inMemory * kDecodedBytesPerBodyByte;
}

uint64_t DiskFor(const BodyInfo& body, uint64_t count) {
  return body.kind == ContentKind::Dime ? count : 0;
}

}  // namespace

void Exchange::LogBudgetRefusal(const char* budget) {
  host_.LogRepeatedEvent(
      RepeatedEvent::BudgetRefusal,
      text::FormatCapped(255,
                         "Request refused: a body of %llu bytes would pass the server's %s budget",
                         static_cast<unsigned long long>(body_.contentLength), budget));
}

bool Exchange::BodyCouldFit() {
  RequestBudget* budget = host_.Budget();
  if (budget == nullptr) return true;
  if (MemoryFor(body_, body_.contentLength) > budget->MemoryLimit()) {
    LogBudgetRefusal("memory");
    return false;
  }
  if (DiskFor(body_, body_.contentLength) > budget->DiskLimit()) {
    LogBudgetRefusal("temporary storage");
    return false;
  }
  return true;
}

bool Exchange::TakeBudget(uint64_t count) {
  RequestBudget* budget = host_.Budget();
  if (budget == nullptr) return true;
  const uint64_t memory = MemoryFor(body_, count) - memoryTaken_;
  const uint64_t disk = DiskFor(body_, count) - diskTaken_;
  const char* refused = nullptr;
  if (memory != 0 && !budget->TakeMemory(memory)) {
    refused = "memory";
  } else if (disk != 0 && !budget->TakeDisk(disk)) {
    budget->ReturnMemory(memory);
    refused = "temporary storage";
  }
  if (refused != nullptr) {
    LogBudgetRefusal(refused);
    return false;
  }
  memoryTaken_ += memory;
  diskTaken_ += disk;
  return true;
}

bool Exchange::TakeWorkingShare() {
  RequestBudget* budget = host_.Budget();
  if (budget == nullptr) return true;
  if (inWorkingBudget_) return working_.Held();  // woken: taken for it meanwhile
  const uint64_t inMemory = body_.kind == ContentKind::Dime
                                ? std::min<uint64_t>(body_.contentLength, dime::kMaxEnvelopeBytes)
                                : body_.contentLength;
  if (inMemory <= kLargeBodyBytes) return true;
  inWorkingBudget_ = true;
  // Even a share taken at once goes through the wake: the large ones are all
  // processed on the thread the wakes run on, whose heap alone grows for them.
  if (budget->TakeWorking(&working_, inMemory * kWorkingBytesPerBodyByte,
                          [this] { io_.PostWake(); })) {
    return !io_.PostWake();  // none can come: processed here
  }
  return false;
}

void Exchange::ReturnWorkingShare() {
  if (!inWorkingBudget_) return;
  inWorkingBudget_ = false;
  if (RequestBudget* budget = host_.Budget()) budget->ReturnWorking(&working_);
}

void Exchange::ReturnBudget() {
  if (memoryTaken_ == 0 && diskTaken_ == 0) return;
  if (RequestBudget* budget = host_.Budget()) {
    budget->ReturnMemory(memoryTaken_);
    budget->ReturnDisk(diskTaken_);
  }
  memoryTaken_ = 0;
  diskTaken_ = 0;
}

Event Exchange::ReceiveBody() {
  if (lastBytes_ == 0) return Event::SocketClosed;
  const size_t n =
      static_cast<size_t>(std::min<uint64_t>(lastBytes_, body_.contentLength - bodyCount_));
  // Refused only for bytes that came: what others hold has arrived too.
  if (!TakeBudget(bodyCount_ + n)) {
    bodyCount_ += n;
    return Event::ServiceUnavailable;
  }
  if (body_.kind == ContentKind::Dime) {
    try {
      dimeRequest_->Deserialize(reinterpret_cast<const uint8_t*>(received_), n);
    } catch (dime::DIMEParserException* e) {
      delete e;
      return Event::SocketClosed;
    }
  } else if (bodyDirect_) {
    bodyBytes_.resize(static_cast<size_t>(bodyCount_ + n));  // the rest of the window unfilled
  } else {
    bodyBytes_.append(received_, n);
  }
  bodyCount_ += n;
  if (bodyCount_ >= body_.contentLength) return Event::BodyComplete;
  return PostBodyReceive();
}

Event Exchange::PostBodyReceive() {
  const uint64_t remaining = body_.contentLength - bodyCount_;
  // The last bytes come through the receive buffer, with room to take what a
  // client sends past its body (a stray line end): the close must not find it
  // unread, or the peer is reset and may lose the reply.
  constexpr size_t kTail = kMaxReceiveBytes / 2;
  bodyDirect_ = body_.kind != ContentKind::Dime && remaining > kTail;
  // A DIME body is parsed as it comes, through the large buffer; what a
  // client sends past it is read with it and dropped.
  if (body_.kind == ContentKind::Dime) return PostLargeReceive();
  if (!bodyDirect_) return PostReceive();
  const size_t window = static_cast<size_t>(std::min<uint64_t>(remaining - kTail, kBodyReserve));
  bodyBytes_.resize(static_cast<size_t>(bodyCount_) + window);
  return io_.PostReceive(bodyBytes_.data() + bodyCount_, window) ? Event::None
                                                                 : Event::SocketClosed;
}

// ---- Dispatch ------------------------------------------------------------------------

Event Exchange::DispatchMethod() {
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

Event Exchange::HandleGet() {
  SplitRequestUri(line_.uri, &path_, &query_);
  const EndpointInfo* endpoint =
      FindEndpoint(config_->endpoints, path_, &endpointUri_, &extraPath_);
  if (endpoint == nullptr) return ServeStaticFile(/*headOnly=*/false);
  if (RefuseManagementCall(*endpoint)) return Event::ResponseQueued;
  if (HandleSoapGet(*endpoint) == Event::ResponseReady) return Event::ResponseReady;
  return SendEndpointPage();
}

Event Exchange::HandleHead() {
  SplitRequestUri(line_.uri, &path_, &query_);
  if (FindEndpoint(config_->endpoints, path_, &endpointUri_, &extraPath_) != nullptr) {
    return Event::Forbidden;
  }
  return ServeStaticFile(/*headOnly=*/true);
}

Event Exchange::HandlePost() {
  if (body_.contentLength == 0) return Event::BadRequest;
  if (body_.kind == ContentKind::Dime && !(dimeRequest_ && dimeRequest_->IsComplete())) {
    return Event::BadRequest;  // the body ended before the message did
  }
  SplitRequestUri(line_.uri, &path_, &query_);
  const EndpointInfo* endpoint =
      FindEndpoint(config_->endpoints, path_, &endpointUri_, &extraPath_);
  if (endpoint == nullptr) return Event::NotFound;
  if (RefuseManagementCall(*endpoint)) return Event::ResponseQueued;
  return HandleSoapPost(*endpoint);
}

void Exchange::SetDeadline(SoapCall* call) const {
  const std::chrono::seconds timeout = host_.ClientTimeout();
  if (timeout.count() > 0) call->deadline = started_ + timeout;
  call->budget = host_.Budget();
}

Event Exchange::HandleSoapPost(const EndpointInfo& endpoint) {
  SoapDispatch* dispatch = host_.Dispatch();
  if (dispatch == nullptr) return InternalError(InternalErrorCode::NoSoapDispatch);
  SoapCall call;
  SetDeadline(&call);
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
  if (!TakeWorkingShare()) return Event::WorkingMemoryBusy;
  // Given back once the message is answered, on every way out.
  struct Returned {
    Exchange* self;
    ~Returned() { self->ReturnWorkingShare(); }
  } returned{this};
  call.beforeOutboundWait = [this] { ReturnWorkingShare(); };
  SoapAnswer answer;
  if (!dispatch->ProcessSoapPost(call, &answer)) {
    return InternalError(InternalErrorCode::NoResponse);
  }
  return SendAnswer(answer, /*soapGet=*/false);
}

Event Exchange::HandleSoapGet(const EndpointInfo& endpoint) {
  SoapDispatch* dispatch = host_.Dispatch();
  if (dispatch == nullptr) return InternalError(InternalErrorCode::NoSoapDispatch);
  SoapCall call;
  SetDeadline(&call);
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

Event Exchange::SendAnswer(SoapAnswer& answer, bool soapGet) {
  if (config_->logs.enable_trace_log && !answer.traceRecord.empty() && host_.Logger() != nullptr) {
    host_.Logger()->WriteTraceRecord(answer.traceRecord);
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

Event Exchange::InternalError(InternalErrorCode code) {
  errorCode_ = code;
  return Event::InternalError;
}

// ---- Replies -------------------------------------------------------------------------

void Exchange::Queue(std::string_view bytes) {
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

void Exchange::QueueFile(net::UniqueFd file, uint64_t size) {
  Part part;
  part.file = std::move(file);
  part.fileSize = size;
  queue_.push_back(std::move(part));
  bytesSent_ += size;
}

void Exchange::DiscardQueue() {
  queue_.clear();
  dimeReply_.reset();
  bytesSent_ = 0;
}

Event Exchange::SendStatusPage(int status, std::string_view argument) {
  // A page replaces whatever part of another reply was queued before it.
  DiscardQueue();
  scratch_.clear();
  AppendStatusPage(&scratch_, status, argument, MakeReply());
  status_ = status;
  // The request may not have been read to its end.
  errorPage_ = status >= 400;
  Queue(scratch_);
  return Event::ResponseQueued;
}

Event Exchange::SendFaultPage(std::string_view code, std::string_view text) {
  DiscardQueue();
  scratch_.clear();
  AppendSoapFaultPage(&scratch_, code, text, MakeReply());
  status_ = 500;
  errorPage_ = true;
  Queue(scratch_);
  return Event::ResponseQueued;
}

bool Exchange::RefuseManagementCall(const EndpointInfo& endpoint) {
  if (IsLoopback(address_) || IsDigestGuarded(endpoint) || !IsManagementEndpoint(endpoint)) {
    return false;
  }
  host_.LogEvent("Management call from " + net::FormatIPv4(address_) + " to " +
                 endpoint.requestURI + " refused: only loopback clients may call it.");
  host_.CountHTTPError();
  SendFaultPage("Client", "Request: Management calls are accepted only over loopback.");
  return true;
}

Event Exchange::SendEndpointPage() {
  DiscardQueue();
  scratch_.clear();
  AppendEndpointPage(&scratch_, path_, MakeReply());
  status_ = 200;
  Queue(scratch_);
  return Event::ResponseReady;
}

Event Exchange::ServeStaticFile(bool headOnly) {
  const std::string name = StaticFileName(*config_, path_);
  if (name.empty()) return Event::NotFound;
  // Served only from beneath the root; the name is resolved by the open itself.
  const ConfigSnapshot& config = *config_;
  const int root = config.docRoot.Descriptor(config.docBasePath);
  if (root < 0) return Event::NotFound;
  size_t prefix = config.docBasePath.size();
  if (config.docBasePath.empty() || config.docBasePath.back() != '/') ++prefix;
  net::UniqueFd file(OpenBeneath(root, std::string_view(name).substr(prefix)));
  if (!file.Valid()) return Event::NotFound;
  struct stat st;
  if (::fstat(file.Get(), &st) != 0) return InternalError(InternalErrorCode::FileStat);
  if (!S_ISREG(st.st_mode)) return Event::NotFound;

  const ReplyContext reply = MakeReply();
  if (const std::string_view* since = headers_.Find("IF-MODIFIED-SINCE")) {
    time_t date = 0;
    // Strictly earlier: a file modified within the named second is sent.
    if (!since->empty() && ParseHttpDate(*since, &date) && st.st_mtim.tv_sec < date) {
      return SendStatusPage(304, {});
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

Event Exchange::SendNext() {
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
      return io_.PostSend(std::move(record)) ? Event::None : Event::SocketClosed;
    }
    bool posted;
    if (part.file.Valid()) {
      posted = io_.PostSendFile(std::move(part.file), part.fileSize);
    } else {
      posted = io_.PostSend(std::move(part.bytes));
    }
    queue_.pop_front();
    return posted ? Event::None : Event::SocketClosed;
  }
  return Event::AllSent;
}

Event Exchange::LogRequest() {
  if (peerToName_) {
    char text[NI_MAXHOST];
    peer_ = getnameinfo(reinterpret_cast<const sockaddr*>(&*peerToName_), sizeof *peerToName_, text,
                        sizeof text, nullptr, 0, NI_NAMEREQD) == 0
                ? text
                : "0.0.0.0";
    peerToName_.reset();
  }
  if (RequestLogger* logger = host_.Logger()) {
    RequestRecord record;
    record.peer = peer_;
    record.request_time = requestTime_;
    record.request_line = requestLine_;
    record.status = status_;
    record.bytes_sent = bytesSent_;
    record.user_agent = headers_.Get("USER-AGENT");
    logger->LogRequest(record);
  }
  host_.AddBytesSent(bytesSent_);
  return errorPage_ ? Event::ErrorPageLogged : Event::RequestLogged;
}

}  // namespace server
