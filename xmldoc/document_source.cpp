#include "xmldoc/document_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "httpclient/http_client.h"
#include "platform/text/text.h"

namespace xmldoc {
namespace {

// Text that goes into a request header line as it is.
bool IsHeaderSafe(std::string_view s) {
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return false;
  }
  return true;
}

bool IsValidHost(std::string_view host) { return !host.empty() && IsHeaderSafe(host); }

bool IsValidPort(int port) { return port >= 1 && port <= 65535; }

std::string_view TrimLeadingSpace(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && text::IsAsciiSpace(s[i])) ++i;
  return s.substr(i);
}

// The Host line names the authority of an absolute URL given as the path
// (a request through a proxy), else host:port with the port always written.
bool BuildHeaders(std::string_view host, int port, std::string_view path,
                  const FetchOptions& options, std::string* out) {
  std::string authority;
  if (const size_t at = path.find("http://"); at != std::string_view::npos) {
    const std::string_view rest = path.substr(at + 7);
    authority.assign(rest.substr(0, rest.find('/')));
  } else {
    authority.assign(host).append(":").append(std::to_string(port));
  }
  if (!IsHeaderSafe(authority)) return false;
  out->assign("Host: ").append(authority).append("\r\nUser-Agent: ");
  for (const char c : options.user_agent) {
    if (c != '\r' && c != '\n') out->push_back(c);
  }
  out->append("\r\n").append(options.extra_headers);
  return true;
}

bool Get(httpclient::HttpClient& client, std::string_view host, int port, std::string_view path,
         const FetchOptions& options) {
  std::string headers;
  if (!IsValidHost(host) || !IsValidPort(port) ||
      !BuildHeaders(host, port, path, options, &headers)) {
    return false;
  }
  const size_t q = path.find('?');
  const std::string_view query = q == std::string_view::npos ? "" : path.substr(q + 1);
  // A head that never ended still shows its status, but its raw bytes are
  // no document.
  return client.SendRequest(port, "GET", host, path.substr(0, q), query, headers, "") &&
         client.response().head_complete();
}

}  // namespace

bool IsHttpUrl(std::string_view url) { return TrimLeadingSpace(url).starts_with("http://"); }

bool ParseHttpUrl(std::string_view url, HttpUrl* out) {
  url = TrimLeadingSpace(url);
  if (!url.starts_with("http://")) return false;
  url.remove_prefix(7);
  const size_t slash = url.find('/');
  const std::string_view authority = url.substr(0, slash);
  const size_t colon = authority.find(':');
  const std::string_view host = authority.substr(0, colon);
  int port = 80;
  if (colon != std::string_view::npos) {
    const std::string_view digits = authority.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    port = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + (c - '0');
    }
  }
  if (!IsValidHost(host) || !IsValidPort(port)) return false;
  out->host.assign(host);
  out->port = port;
  out->path = slash == std::string_view::npos ? "/" : std::string(url.substr(slash));
  return true;
}

bool ReadDocumentFile(const std::string& path, std::string* bytes, size_t max_length) {
  bytes->clear();
  if (path.find('\0') != std::string::npos) return false;
  // O_NONBLOCK so that a named pipe with no writer cannot hang the open; a
  // directory opens too. Only a regular file's size means anything.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  const std::unique_ptr<FILE, int (*)(FILE*)> f(::fdopen(fd, "rb"), &std::fclose);
  if (!f) {
    ::close(fd);
    return false;
  }
  if (std::fseek(f.get(), 0, SEEK_END) != 0) return false;
  const long size = std::ftell(f.get());
  if (size < 0 || static_cast<unsigned long>(size) > max_length) return false;
  if (std::fseek(f.get(), 0, SEEK_SET) != 0) return false;
  bytes->resize(static_cast<size_t>(size));
  const size_t got = std::fread(bytes->data(), 1, bytes->size(), f.get());
  if (std::ferror(f.get())) return false;
  bytes->resize(got);
  return true;
}

bool FetchDocumentOverHttp(std::string_view host, std::string_view path, int port,
                           uint32_t timeout_ms, const BodyLoader& load) {
  return FetchDocumentOverHttp(host, path, port, timeout_ms, FetchOptions{}, load);
}

bool FetchDocumentOverHttp(std::string_view host, std::string_view path, int port,
                           uint32_t timeout_ms, const FetchOptions& options,
                           const BodyLoader& load) {
  httpclient::HttpClient client(port, timeout_ms);
  client.SetMaxBodyLength(options.max_length);
  client.SetDeadline(options.deadline);
  if (!Get(client, host, port, path, options)) return false;
  int status = client.GetStatusCode();
  if (status == 301 || status == 302) {
    const std::string location = client.GetHeader("LOCATION");
    // A control byte past the leading blanks would be carried into the next
    // request's head.
    for (const char c : TrimLeadingSpace(location)) {
      if (static_cast<unsigned char>(c) < 0x20) return false;
    }
    HttpUrl next;
    if (IsHttpUrl(location)) {
      if (!ParseHttpUrl(location, &next)) return false;
    } else if (const std::string_view relative = TrimLeadingSpace(location);
               relative.starts_with("/")) {
      next.host.assign(host);
      next.port = port;
      next.path.assign(relative);
    } else {
      return false;
    }
    client.Reset();
    if (!Get(client, next.host, next.port, next.path, options)) return false;
    status = client.GetStatusCode();
  }
  if (status != 200) return false;
  return load(std::string_view(client.GetBody() ? client.GetBody() : "", client.GetBodyLength()));
}

}  // namespace xmldoc
