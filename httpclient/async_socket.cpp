#include "httpclient/async_socket.h"

#include <sys/socket.h>

#include <algorithm>
#include <utility>

#include "platform/net/socket_errors.h"

namespace httpclient {

AsyncSocket::AsyncSocket(uint32_t timeout_ms) : timeout_ms_(timeout_ms) {}

AsyncSocket::~AsyncSocket() { Close(); }

bool AsyncSocket::Connect(const sockaddr_in& address) {
  if (connected_) {
    last_error_ = WSAEISCONN;
    return false;
  }
  last_error_ = 0;
  failed_ = false;
  Clock::time_point deadline = deadline_;
  if (exchange_timeout_ms_ != 0) {
    deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(exchange_timeout_ms_));
  }
  if (int err = socket_.Open(AF_INET); err != 0) {
    last_error_ = static_cast<uint32_t>(err);
    return false;
  }
  if (int err = socket_.Connect(reinterpret_cast<const sockaddr*>(&address), sizeof(address));
      err != 0) {
    return LeaveWithError(static_cast<uint32_t>(err));
  }
  for (;;) {
    uint32_t wait_ms = timeout_ms_;
    if (deadline != Clock::time_point::max()) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return LeaveWithError(WSA_WAIT_TIMEOUT);
      wait_ms = static_cast<uint32_t>(std::min<int64_t>(wait_ms, left));
    }
    net::NetworkEvents ev;
    if (int err = socket_.Wait(wait_ms, &ev); err != 0) {
      return LeaveWithError(static_cast<uint32_t>(err));
    }
    // A failure inside a notification ends the exchange whatever the
    // notification then answered: a truncated exchange is never a success.
    if (ev.events & net::kConnectEvent) {
      // The error is the event's own; the thread's last error knows nothing of it.
      if (ev.connect_error != 0) return LeaveWithError(static_cast<uint32_t>(ev.connect_error));
      connected_ = true;
      if (!OnConnect() || failed_) return EndExchange();
    }
    if (ev.events & net::kWriteEvent) {
      if (!Flush()) return LeaveWithError(last_error_);
      if (!OnSend() || failed_) return EndExchange();
    }
    if (ev.events & net::kReadEvent) {
      if (!OnReceive() || failed_) return EndExchange();
    }
    if (ev.events & net::kCloseEvent) {
      if (ev.close_error != 0) return LeaveWithError(static_cast<uint32_t>(ev.close_error));
      OnClose();
      return EndExchange();
    }
  }
}

bool AsyncSocket::Send(const void* bytes, size_t length) {
  if (!connected_) {
    last_error_ = WSAENOTCONN;
    return false;
  }
  if (!pending_.empty()) {
    pending_.push_back({std::string(static_cast<const char*>(bytes), length), 0});
    return true;
  }
  const net::IoResult r = socket_.Send(bytes, length);
  if (r.error == 0) return true;
  if (r.error == WSAEWOULDBLOCK) {
    pending_.push_back({std::string(static_cast<const char*>(bytes) + r.bytes, length - r.bytes), 0});
    return true;
  }
  Fail(static_cast<uint32_t>(r.error));
  return false;
}

bool AsyncSocket::Send(std::string&& bytes) {
  if (!connected_) {
    last_error_ = WSAENOTCONN;
    return false;
  }
  if (!pending_.empty()) {
    pending_.push_back({std::move(bytes), 0});
    return true;
  }
  const net::IoResult r = socket_.Send(bytes.data(), bytes.size());
  if (r.error == 0) return true;
  if (r.error == WSAEWOULDBLOCK) {
    pending_.push_back({std::move(bytes), r.bytes});
    return true;
  }
  Fail(static_cast<uint32_t>(r.error));
  return false;
}

bool AsyncSocket::Receive(void* buffer, size_t length, size_t* received) {
  *received = 0;
  const net::IoResult r = socket_.Receive(buffer, length);
  if (r.error == WSAEWOULDBLOCK) {
    last_error_ = WSAEWOULDBLOCK;
    return true;
  }
  if (r.error != 0) {
    Fail(static_cast<uint32_t>(r.error));
    return false;
  }
  *received = r.bytes;
  return true;
}

size_t AsyncSocket::QueuedBytes() const {
  size_t total = 0;
  for (const Pending& p : pending_) total += p.bytes.size() - p.sent;
  return total;
}

void AsyncSocket::Close() {
  socket_.Close();
  connected_ = false;
  pending_.clear();
}

void AsyncSocket::Fail(uint32_t error) {
  last_error_ = error;
  failed_ = true;
}

bool AsyncSocket::Flush() {
  while (!pending_.empty()) {
    Pending& front = pending_.front();
    const net::IoResult r =
        socket_.Send(front.bytes.data() + front.sent, front.bytes.size() - front.sent);
    front.sent += r.bytes;
    if (r.error == WSAEWOULDBLOCK) return true;
    if (r.error != 0) {
      pending_.pop_front();
      Fail(static_cast<uint32_t>(r.error));
      return false;
    }
    pending_.pop_front();
  }
  return true;
}

bool AsyncSocket::LeaveWithError(uint32_t error) {
  last_error_ = error;
  Close();
  return false;
}

bool AsyncSocket::EndExchange() {
  if (failed_) return LeaveWithError(last_error_);
  Close();
  return true;
}

}  // namespace httpclient
