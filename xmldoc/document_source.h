// Where XML documents come from: a local file, or one HTTP GET that may
// follow a single redirect. These functions hand over the document's bytes;
// the document reader parses them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace xmldoc {

// Largest document read from a file or accepted as an HTTP body.
inline constexpr size_t kMaxDocumentLength = size_t{256} << 20;
// Wait for each network event of a fetch.
inline constexpr uint32_t kDocumentTimeoutMs = 30000;
inline constexpr std::string_view kDocReaderUserAgent =
    "Quorvel XMLDocReader/1.0 (C++ Class Library)";

// An http:// URL taken apart.
struct HttpUrl {
  std::string host;
  int port = 80;
  std::string path;  // from the first '/' after the authority; "/" when there is none
};

// True when `url` begins with "http://" after leading white space. A URL that
// merely contains it elsewhere (a relative location, a query) is not one.
bool IsHttpUrl(std::string_view url);

// Splits an http:// URL (see IsHttpUrl). False when it is not one, the host
// is empty or holds a byte at or below 0x20 or 0x7F, or a port is given that
// is not a decimal number in 1..65535.
[[nodiscard]] bool ParseHttpUrl(std::string_view url, HttpUrl* out);

// Reads a whole regular file into `bytes`. False when it cannot be opened,
// is not a regular file, its size cannot be told or exceeds `max_length`, or
// reading fails; `bytes` then holds nothing useful. A file that shrinks while
// being read gives the bytes actually read.
[[nodiscard]] bool ReadDocumentFile(const std::string& path, std::string* bytes,
                                    size_t max_length = kMaxDocumentLength);

// Called with the body of a successful fetch; its answer is the fetch's.
using BodyLoader = std::function<bool(std::string_view body)>;

// What a fetch sends besides the request line and the Host line.
struct FetchOptions {
  // Written after "User-Agent: " with every CR and LF left out.
  std::string_view user_agent = kDocReaderUserAgent;
  // Further header lines, each ending in CR LF, written as they stand.
  std::string_view extra_headers;
  // Largest body accepted; a longer one (or a larger Content-Length) fails.
  size_t max_length = kMaxDocumentLength;
  // When the whole fetch (connect, request, answer, a redirect's second
  // GET) must have ended, however the host trickles; past it the fetch
  // fails. time_point::max() sets none: only each wait is bounded.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// GET `path` from host:port with the document reader's User-Agent. Status
// 200 hands the body to `load`. Status 301 or 302 follows the Location once:
// to another host when it is an http:// URL, to the same host when it begins
// with '/'; anything else, a Location holding a control byte, a second
// redirect, any other status, a bad port, a failed exchange or a head cut
// short gives false without calling `load`.
[[nodiscard]] bool FetchDocumentOverHttp(std::string_view host, std::string_view path, int port,
                                         uint32_t timeout_ms, const BodyLoader& load);
// The same with the caller's User-Agent, extra header lines and size limit.
[[nodiscard]] bool FetchDocumentOverHttp(std::string_view host, std::string_view path, int port,
                                         uint32_t timeout_ms, const FetchOptions& options,
                                         const BodyLoader& load);

}  // namespace xmldoc
