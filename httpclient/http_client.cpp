#include "httpclient/http_client.h"

#include <cstring>
#include <utility>

#include "platform/net/socket_errors.h"

namespace httpclient {
namespace {

// A method or request target goes on the request line as it is: a blank or
// a control byte in it would let the caller's input rewrite the request.
bool IsWireToken(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return false;
  }
  return true;
}

bool IsAsciiAlnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

std::string UrlEscape(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr std::string_view kKept = "/&=:-_.!~*'()";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (IsAsciiAlnum(u) || (u != 0 && kKept.find(c) != std::string_view::npos)) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

HttpClient::HttpClient(int default_port, uint32_t timeout_ms)
    : AsyncSocket(timeout_ms), default_port_(default_port) {}

HttpClient::~HttpClient() = default;

bool HttpClient::SendRequest(int port, std::string_view method, std::string_view host,
                             std::string_view path, std::string_view query,
                             std::string_view header_text, std::string_view body) {
  std::string target = UrlEscape(path);
  if (!query.empty()) {
    target += '?';
    target += UrlEscape(query);
  }
  sockaddr_in address;
  if (!PrepareRequest(port, method, host, target, header_text, body, &address)) return false;
  return RunExchange(address);
}

bool HttpClient::SendRequestTarget(int port, std::string_view method, std::string_view host,
                                   std::string_view target, std::string_view header_text,
                                   std::string_view body) {
  sockaddr_in address;
  if (!PrepareRequest(port, method, host, target, header_text, body, &address)) return false;
  return RunExchange(address);
}

const char* HttpClient::GetBody() const {
  return response_.body().empty() ? nullptr : response_.body().c_str();
}

void HttpClient::Reset() {
  Close();
  response_.Reset();
  request_.clear();
  request_head_length_ = 0;
  request_sent_ = false;
}

bool HttpClient::PrepareRequest(int port, std::string_view method, std::string_view host,
                                std::string_view target, std::string_view header_text,
                                std::string_view body, sockaddr_in* address) {
  Reset();
  const int use_port = port > 0 ? port : default_port_;
  if (use_port < 1 || use_port > 65535 || !IsWireToken(method) || !IsWireToken(target)) {
    Fail(WSAEINVAL);
    return false;
  }
  auto cached = hosts_.find(host);
  if (cached == hosts_.end()) {
    net::HostEntry entry;
    if (net::GetHostByName(host, &entry) != 0) {
      Fail(WSAEADDRNOTAVAIL);
      return false;
    }
    if (hosts_.size() < kMaxCachedHosts) {
      cached = hosts_.emplace(std::string(host), std::move(entry)).first;
    } else {
      *address = sockaddr_in{};
      std::memcpy(&address->sin_addr, entry.addresses[0].data(), 4);
    }
  }
  if (cached != hosts_.end()) {
    *address = sockaddr_in{};
    std::memcpy(&address->sin_addr, cached->second.addresses[0].data(), 4);
  }
  address->sin_family = AF_INET;
  address->sin_port = htons(static_cast<uint16_t>(use_port));
  response_.SetHeadRequest(method == "HEAD");

  static constexpr std::string_view kVersion = " HTTP/1.0\r\n";
  request_.reserve(method.size() + 1 + target.size() + kVersion.size() + header_text.size() + 2 +
                   body.size());
  request_.append(method).append(" ").append(target).append(kVersion);
  request_.append(header_text).append("\r\n");
  request_head_length_ = request_.size();
  request_.append(body);
  return true;
}

bool HttpClient::RunExchange(const sockaddr_in& address) {
  if (!Connect(address)) return false;
  return CheckResponseLength();
}

bool HttpClient::CheckResponseLength() {
  if (response_.AnnouncesBodyLength() && response_.body().size() < response_.content_length()) {
    Fail(WSAEDISCON);
    return false;
  }
  return true;
}

bool HttpClient::OnSend() {
  if (request_sent_) return true;
  request_sent_ = true;
  return Send(std::move(request_));
}

bool HttpClient::OnReceive() {
  size_t received = 0;
  if (!Receive(receive_buffer_.get(), kReceiveBufferSize, &received)) return false;
  if (received == 0) return true;  // nothing waiting, or the close event follows
  if (!response_.Append(std::string_view(receive_buffer_.get(), received))) {
    Fail(response_.error() == ResponseParser::Error::HeadTooLong ? WSAEMSGSIZE : WSAENOBUFS);
    return false;
  }
  return true;
}

}  // namespace httpclient
