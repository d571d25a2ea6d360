#include "server/http/client_connection.h"

#include <sys/socket.h>
#include <time.h>

#include <string>
#include <utility>

#include "platform/net/listener.h"

namespace server {

ClientConnection::ClientConnection(ConnectionHost& host, uint32_t slot)
    : host_(host), slot_(slot), exchange_(host, *this) {}

ClientConnection::~ClientConnection() = default;

bool ClientConnection::ResetClient(net::UniqueFd socket, const sockaddr_in& peer,
                                   bool nonblocking) {
  uint32_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    exchange_.Clear();
    {
      std::lock_guard<std::mutex> sock(sock_mu_);
      const net::SocketId id =
          host_.Port().Associate(std::move(socket), slot_, generation_, nonblocking);
      if (!id.Valid()) return false;
      socket_ = id;
      generation = generation_;
      acceptedAt_ = std::chrono::steady_clock::now();
      wait_ = Wait::Head;
      waitSince_ = acceptedAt_;
    }
    const time_t requestTime = time(nullptr);

    // The peer as the logs show it. Its name, when asked for, is looked up by
    // the worker that writes the log record: a slow resolver here would stall
    // every accept.
    std::string name = net::FormatIPv4(peer);
    const bool lookUp = host_.EnableNameLookup() && name != "127.0.0.1";
    if (host_.EnableNameLookup() && !lookUp) name = "loopback";
    firstReceive_ = FirstReceive::Deferred;
    const bool started = exchange_.Start(host_.Config(), std::move(name), peer, requestTime) &&
                         firstReceive_ == FirstReceive::Held;
    firstReceive_ = FirstReceive::None;
    if (!started) {
      Close();
      return true;
    }
    if (lookUp) exchange_.NamePeerWhenLogging(peer);
  }
  // Posted without the connection lock: the request is often there already,
  // and the worker that takes it must not find the lock still held here.
  bool posted = false;
  {
    std::lock_guard<std::mutex> sock(sock_mu_);
    // Closed meanwhile (the watchdog): the close cleared the exchange.
    if (generation != generation_ || !socket_.Valid()) return true;
    posted = host_.Port().PostReceive(socket_, heldBuffer_, heldSize_);
  }
  if (!posted) {
    std::lock_guard<std::mutex> lock(mu_);
    std::unique_lock<std::mutex> sock(sock_mu_);
    const bool same = generation == generation_;
    sock.unlock();
    if (same) Close();
  }
  return true;
}

void ClientConnection::OnIoComplete(const net::Completion& completion) {
  std::lock_guard<std::mutex> lock(mu_);
  if (completion.generation != generation_ || !socket_.Valid()) return;  // an earlier connection's
  bool taken = false;
  try {
    taken = exchange_.OnTransfer(completion.ok, completion.bytes);
  } catch (...) {
    // The exchange answers what its actions throw; anything past that still
    // must not end the worker, and so the process.
    host_.CountInternalError();
  }
  // No transition takes the event: close rather than strand the slot.
  if (!taken) {
    Close();
    return;
  }
  NoteWait(completion.ok ? completion.bytes : 0);
}

void ClientConnection::NoteWait(size_t bytes) {
  Wait wait = Wait::None;
  switch (exchange_.State()) {
    case ConnState::ReadingHead:
      wait = Wait::Head;
      break;
    case ConnState::ReadingBody:
      wait = Wait::Body;
      break;
    case ConnState::Draining:
      wait = Wait::Draining;
      break;
    default:
      break;
  }
  std::lock_guard<std::mutex> sock(sock_mu_);
  if (!socket_.Valid()) return;
  // A head's deadline runs from the accept; a body's from its last bytes; a
  // drain's from its start.
  if (wait != wait_ || (wait == Wait::Body && bytes > 0)) {
    waitSince_ = wait == Wait::Head ? acceptedAt_ : std::chrono::steady_clock::now();
  }
  wait_ = wait;
}

ClientConnection::WaitState ClientConnection::Waiting() const {
  std::lock_guard<std::mutex> sock(sock_mu_);
  if (!socket_.Valid()) return {};
  return {wait_, waitSince_, generation_};
}

bool ClientConnection::CloseIfWaiting(const WaitState& expected) {
  // A worker inside the connection is moving it on: it is not waiting.
  std::unique_lock<std::mutex> lock(mu_, std::try_to_lock);
  if (!lock.owns_lock()) return false;
  {
    std::lock_guard<std::mutex> sock(sock_mu_);
    if (!socket_.Valid() || generation_ != expected.generation || wait_ != expected.wait ||
        waitSince_ != expected.since) {
      return false;
    }
  }
  Close();
  return true;
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
    Close();
    return true;
  }
  // A worker is inside this connection's request: make its next transfer fail.
  std::lock_guard<std::mutex> sock(sock_mu_);
  if (generation != generation_ || !socket_.Valid()) return false;
  host_.Port().ShutdownSocket(socket_);
  return true;
}

void ClientConnection::Discard() {
  std::lock_guard<std::mutex> lock(mu_);
  {
    std::lock_guard<std::mutex> sock(sock_mu_);
    if (socket_.Valid()) host_.Port().CloseSocket(socket_);
    socket_ = {};
    ++generation_;
  }
  exchange_.Release();
}

size_t ClientConnection::RetainedBytesForTest() {
  std::lock_guard<std::mutex> lock(mu_);
  return exchange_.RetainedBytes();
}

bool ClientConnection::PostReceive(char* buffer, size_t size) {
  if (firstReceive_ == FirstReceive::Deferred) {
    heldBuffer_ = buffer;
    heldSize_ = size;
    firstReceive_ = FirstReceive::Held;
    return true;
  }
  return host_.Port().PostReceive(socket_, buffer, size);
}

bool ClientConnection::PostSend(std::vector<char> bytes) {
  return host_.Port().PostSend(socket_, std::move(bytes));
}

bool ClientConnection::PostSendFile(net::UniqueFd file, uint64_t size) {
  return host_.Port().PostSendFile(socket_, std::move(file), 0, size);
}

bool ClientConnection::ShutdownSend() { return host_.Port().ShutdownSend(socket_); }

bool ClientConnection::PostWake() {
  std::lock_guard<std::mutex> sock(sock_mu_);
  // A closed connection clears its exchange, which gives the share back.
  if (!socket_.Valid()) return false;
  net::Completion wake;
  wake.key = slot_;
  wake.generation = generation_;
  return host_.RunOnLargeMessageThread([this, wake] { OnIoComplete(wake); });
}

void ClientConnection::Close() {
  net::UniqueFd socket;
  bool closed = false;
  {
    std::lock_guard<std::mutex> sock(sock_mu_);
    if (socket_.Valid()) {
      socket = host_.Port().TakeSocket(socket_, /*closing_at_once=*/true);
      socket_ = {};
      ++generation_;
      wait_ = Wait::None;
      closed = true;
    }
  }
  exchange_.Clear();
  // Only the close that actually closed the socket gives the slot back, and
  // before the peer can see the close: a client that reconnects at once must
  // find its slot free.
  if (closed) host_.ReleaseClientSlot(slot_);
  socket.Reset();
}

}  // namespace server
