// HttpClient: one HTTP/1.0 request and its whole response per call, on the
// caller's thread, over AsyncSocket. The caller supplies every request header
// line; the client writes the request line, the caller's header text, the
// empty line and the body, then reads until the server closes. Host names are
// resolved once per client and kept.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "httpclient/async_socket.h"
#include "httpclient/response_parser.h"
#include "platform/net/client_socket.h"

namespace httpclient {

// Bytes one receive may take: large, so that a large answer costs few
// receives and its DIME payloads few storage writes.
inline constexpr size_t kReceiveBufferSize = 64 * 1024;
// Most host names one client keeps resolved; later ones are looked up on
// every request.
inline constexpr size_t kMaxCachedHosts = 64;

class HttpClient : public AsyncSocket {
 public:
  // `default_port` serves requests made with a port of 0 or below;
  // `timeout_ms` bounds each wait (connect, and each read or write).
  HttpClient(int default_port, uint32_t timeout_ms);
  ~HttpClient() override;

  // Sends `method` for UrlEscape(path), plus "?" and UrlEscape(query) when the
  // query is not empty, with `header_text` exactly as given (each line ending
  // in CR LF), and reads the whole response.
  // True when a response was received to the end: the server closed after
  // its last byte. False, with the last error, when the port is not 1..65535
  // or the method is not a token (10022), the host is unknown (10049), the
  // connection failed or a wait ran out (as AsyncSocket::Connect reports: 10061,
  // 258, ...), the peer reset or a receive or send failed (10054, ...), the
  // head exceeded kMaxResponseHeadLength (10040), the body exceeded its limit
  // (10055), or the server closed before the announced Content-Length
  // arrived (10101; not for answers without a body, see AnnouncesBodyLength).
  // A response whose head never completed is true with every byte in the
  // body and status 0 unless a status line was read.
  bool SendRequest(int port, std::string_view method, std::string_view host,
                   std::string_view path, std::string_view query, std::string_view header_text,
                   std::string_view body);

  // The same with a request target already in wire form, sent as given:
  // false with 10022 when it is empty or holds a byte at or below 0x20, or 0x7F.
  bool SendRequestTarget(int port, std::string_view method, std::string_view host,
                         std::string_view target, std::string_view header_text,
                         std::string_view body);

  int GetStatusCode() const { return response_.GetStatusCode(); }
  // The text after the ':' of the first response header line whose name
  // equals `name` ignoring case, leading blank included; "" when absent.
  std::string GetHeader(std::string_view name) const { return response_.GetHeader(name); }
  // The body bytes, followed by a NUL byte; null when there are none. Valid
  // until the next request, Reset or the destructor.
  const char* GetBody() const;
  size_t GetBodyLength() const { return response_.body().size(); }
  const ResponseParser& response() const { return response_; }

  // Closes the connection and forgets the response (status, headers, body).
  void Reset();
  // Limit of a response body; defaults to kMaxResponseBodyLength.
  void SetMaxBodyLength(size_t limit) { response_.SetMaxBodyLength(limit); }

 protected:
  bool OnSend() override;
  bool OnReceive() override;

  // Resets, checks the port and method, resolves the host (through the
  // cache) and builds the request. False with the last error set.
  bool PrepareRequest(int port, std::string_view method, std::string_view host,
                      std::string_view target, std::string_view header_text,
                      std::string_view body, sockaddr_in* address);
  // Connects and runs the exchange; then CheckResponseLength.
  bool RunExchange(const sockaddr_in& address);
  // False (last error 10101) when the body is shorter than the announced
  // length (ResponseParser::AnnouncesBodyLength). A reader that takes the
  // body bytes itself replaces it.
  virtual bool CheckResponseLength();

  // The request line, header text and empty line (without the body).
  std::string_view request_head() const {
    return std::string_view(request_).substr(0, request_head_length_);
  }
  ResponseParser& mutable_response() { return response_; }
  char* receive_buffer() { return receive_buffer_.get(); }

 private:
  int default_port_;
  ResponseParser response_;
  std::string request_;  // head and body, until sent
  size_t request_head_length_ = 0;
  bool request_sent_ = false;
  std::map<std::string, net::HostEntry, std::less<>> hosts_;
  std::unique_ptr<char[]> receive_buffer_ = std::make_unique<char[]>(kReceiveBufferSize);
};

// Percent-escapes one URL component: ASCII letters and digits and the bytes
// of "/&=:-_.!~*'()" stay; every other byte becomes %XX (upper-case hex).
std::string UrlEscape(std::string_view text);

}  // namespace httpclient
