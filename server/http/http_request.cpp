#include "server/http/http_request.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/text/text.h"

namespace server {

Method MethodFromText(std::string_view method) {
  if (method == "GET") return Method::Get;
  if (method == "HEAD") return Method::Head;
  if (method == "POST") return Method::Post;
  return Method::None;
}

bool ParseDecimalInt(std::string_view text, int* value) {
  size_t i = 0;
  while (i < text.size() && text::IsAsciiSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate negatively so INT_MIN itself fits.
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 - (text[i] - '0');
    if (v < static_cast<long long>(INT_MIN)) return false;
  }
  if (!negative) {
    if (-v > INT_MAX) return false;
    v = -v;
  }
  *value = static_cast<int>(v);
  return true;
}

// ---- HeaderBlockReader ------------------------------------------------------

void HeaderBlockReader::Reset() {
  // Keep a modest buffer for the slot's next request, not a peer's 64 KiB.
  if (buffer_.capacity() > 16 * 1024) {
    std::string().swap(buffer_);
  } else {
    buffer_.clear();
  }
  lines_.clear();
  scan_ = 0;
  line_start_ = 0;
  saw_lf_ = false;
  result_ = Result::NeedMore;
}

HeaderBlockReader::Result HeaderBlockReader::Feed(std::string_view bytes) {
  if (result_ != Result::NeedMore) return result_;
  // While the block is incomplete every byte held belongs to it, so the
  // buffer never grows past the cap plus one receive.
  if (bytes.size() > kMaxHeaderBlockBytes + kMaxReceiveBytes - buffer_.size()) {
    return result_ = Result::TooLarge;
  }
  if (!saw_lf_ && std::memchr(bytes.data(), '\n', bytes.size()) != nullptr) saw_lf_ = true;
  buffer_.append(bytes);
  if (saw_lf_) Cut();
  // The cap is on the block itself, wherever the receive that ends it ends:
  // the bytes up to its empty line when complete, every byte held before.
  if ((result_ == Result::Complete && line_start_ > kMaxHeaderBlockBytes) ||
      (result_ == Result::NeedMore && buffer_.size() > kMaxHeaderBlockBytes)) {
    result_ = Result::TooLarge;
  }
  return result_;
}

void HeaderBlockReader::Cut() {
  const char* const data = buffer_.data();
  const size_t end = buffer_.size();
  while (scan_ < end) {
    const void* cr = std::memchr(data + scan_, '\r', end - scan_);
    if (cr == nullptr) {
      scan_ = end;
      break;
    }
    const size_t at = static_cast<size_t>(static_cast<const char*>(cr) - data);
    if (at + 1 >= end) {
      // A carriage return that ends the input so far: whether a line feed
      // follows is known only with the next byte.
      scan_ = at;
      break;
    }
    const size_t next = data[at + 1] == '\n' ? at + 2 : at + 1;
    lines_.emplace_back(static_cast<uint32_t>(line_start_),
                        static_cast<uint32_t>(at - line_start_));
    const bool empty = at == line_start_;
    line_start_ = next;
    scan_ = next;
    if (empty) {
      result_ = Result::Complete;
      return;
    }
    if (lines_.size() > kMaxHeaderLines) {
      result_ = Result::TooLarge;
      return;
    }
  }
  // Once cutting has started it goes on with every byte, line feed or not:
  // the same bytes give the same lines however the receives split them.
}

std::string_view HeaderBlockReader::Rest() const {
  if (result_ != Result::Complete) return {};
  return std::string_view(buffer_).substr(line_start_);
}

// ---- Request line -----------------------------------------------------------

std::string VersionText(int major, int minor) {
  // Nearly every request is one of these: no formatting for them.
  if (major == 1 && (minor == 0 || minor == 1)) return minor == 0 ? "HTTP/1.0" : "HTTP/1.1";
  char buffer[32];
  const int n = std::snprintf(buffer, sizeof buffer, "HTTP/%d.%d", major, minor);
  return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

RequestLineResult ParseRequestLine(std::string_view line, RequestLine* out) {
  *out = RequestLine();
  const size_t http = line.find("HTTP/");
  if (http != std::string_view::npos) {
    std::string_view digits = line.substr(http + 5, kMaxVersionChars);
    // Numbers between dots; empty ones do not count.
    std::string_view numbers[2];
    size_t found = 0;
    size_t pos = 0;
    while (found < 2 && pos < digits.size()) {
      size_t dot = digits.find('.', pos);
      if (dot == std::string_view::npos) dot = digits.size();
      if (dot > pos) numbers[found++] = digits.substr(pos, dot - pos);
      pos = dot + 1;
    }
    if (found < 2) return RequestLineResult::Bad;
    if (!ParseDecimalInt(numbers[0], &out->major) || !ParseDecimalInt(numbers[1], &out->minor)) {
      return RequestLineResult::Bad;
    }
    out->hasVersion = true;
  } else {
    out->minor = 9;
  }
  // Tokens end at every blank, so two blanks make an empty token.
  const size_t first_blank = line.find(' ');
  out->methodText = line.substr(0, first_blank);
  out->method = MethodFromText(out->methodText);
  if (first_blank == std::string_view::npos) return RequestLineResult::Bad;
  const std::string_view after = line.substr(first_blank + 1);
  out->uri = after.substr(0, after.find(' '));
  return out->hasVersion ? RequestLineResult::Versioned : RequestLineResult::NoVersion;
}

// ---- Header fields ----------------------------------------------------------

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = text::AsciiToUpper(c);
  return out;
}

}  // namespace

const std::string* MediaType::Param(std::string_view upperName) const {
  for (const auto& [name, value] : params) {
    if (name == upperName) return &value;
  }
  return nullptr;
}

bool ParseMediaType(std::string_view value, MediaType* out) {
  out->params.clear();
  const size_t semi = value.find(';');
  out->type = Upper(Trim(value.substr(0, semi)));
  if (semi == std::string_view::npos) return true;
  std::string_view rest = value.substr(semi + 1);
  while (!rest.empty()) {
    const size_t next = rest.find(';');
    const std::string_view param = Trim(rest.substr(0, next));
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    if (param.empty()) continue;
    const size_t eq = param.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view v = Trim(param.substr(eq + 1));
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    out->params.emplace_back(Upper(Trim(param.substr(0, eq))), std::string(v));
  }
  return true;
}

void RequestHeaders::Clear() {
  fields_.clear();
  owned_.clear();
}

void RequestHeaders::Parse(const HeaderBlockReader& block) {
  Clear();
  const size_t count = block.LineCount();
  // The last line is the empty one that ended the block.
  for (size_t i = 1; i < count; ++i) {
    std::string_view line = block.Line(i);
    if (line.empty()) break;
    // Continuation lines join the line before them unchanged.
    if (i + 1 < count) {
      const std::string_view next = block.Line(i + 1);
      if (!next.empty() && (next.front() == ' ' || next.front() == '\t')) {
        std::string& joined = owned_.emplace_back(line);
        while (i + 1 < count) {
          const std::string_view cont = block.Line(i + 1);
          if (cont.empty() || (cont.front() != ' ' && cont.front() != '\t')) break;
          joined.append(cont);
          ++i;
        }
        line = joined;
      }
    }
    const size_t sep = line.find(": ");
    if (sep == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, sep);
    const std::string_view value = line.substr(sep + 2);
    bool merged = false;
    for (Field& f : fields_) {
      if (text::AsciiIEquals(f.name, name)) {
        // Appended in place: a copy per repeat would hold the square of it.
        if (f.joined == nullptr) f.joined = &owned_.emplace_back(f.value);
        f.joined->push_back(',');
        f.joined->append(value);
        f.value = *f.joined;
        merged = true;
        break;
      }
    }
    if (!merged) fields_.push_back(Field{name, value, nullptr});
  }
}

size_t RequestHeaders::OwnedBytesForTest() const {
  size_t n = 0;
  for (const std::string& s : owned_) n += s.capacity();
  return n;
}

const std::string_view* RequestHeaders::Find(std::string_view name) const {
  for (const Field& f : fields_) {
    if (text::AsciiIEquals(f.name, name)) return &f.value;
  }
  return nullptr;
}

BodyResult AnalyseBody(const RequestHeaders& headers, BodyInfo* out) {
  *out = BodyInfo();
  if (const std::string_view* length = headers.Find("CONTENT-LENGTH")) {
    int n = 0;
    if (!ParseDecimalInt(*length, &n) || n < 0) return BodyResult::Bad;
    out->contentLength = static_cast<uint64_t>(n);
  }
  if (const std::string_view* action = headers.Find("SOAPACTION")) out->soapAction = *action;
  if (out->contentLength == 0) return BodyResult::NoBody;
  if (out->contentLength > kMaxContentLength) return BodyResult::Bad;

  const std::string_view* type = headers.Find("CONTENT-TYPE");
  if (type == nullptr) return BodyResult::Bad;
  MediaType media;
  if (!ParseMediaType(*type, &media)) return BodyResult::Bad;
  if (media.type.find("TEXT/XML") != std::string::npos) {
    out->kind = ContentKind::SoapXml;
  } else if (media.type.find("APPLICATION/SOAP+XML") != std::string::npos) {
    out->kind = ContentKind::Soap12Xml;
    if (const std::string* action = media.Param("ACTION")) out->soapAction = *action;
  } else if (media.type.find("APPLICATION/DIME") != std::string::npos) {
    out->kind = ContentKind::Dime;
  } else {
    return BodyResult::Bad;
  }
  if (const std::string* charset = media.Param("CHARSET")) out->charset = Upper(*charset);
  if (out->kind != ContentKind::Dime) {
    const std::string& c = out->charset;
    if (!(c.empty() || c == "UTF-8" || c == "UTF-16" || c == "US-ASCII")) return BodyResult::Bad;
    // Held in memory, so bounded well below what a DIME body may carry.
    if (out->contentLength > kMaxBodyBytes) return BodyResult::Bad;
  }
  return BodyResult::Body;
}

// ---- URIs and endpoints -----------------------------------------------------

void UrlDecode(std::string_view source, std::string* out, size_t limit) {
  out->clear();
  size_t i = 0;
  while (i < source.size() && out->size() < limit) {
    const char c = source[i];
    if (c == '+') {
      out->push_back(' ');
      ++i;
    } else if (c != '%') {
      out->push_back(c);
      ++i;
    } else if (i + 1 < source.size() && source[i + 1] == '%') {
      out->push_back('%');
      i += 2;
    } else if (i + 2 >= source.size()) {
      break;  // an escape cut short by the end
    } else {
      const int hi = text::HexDigitValue(static_cast<unsigned char>(source[i + 1]));
      const int lo = text::HexDigitValue(static_cast<unsigned char>(source[i + 2]));
      if (hi >= 0 && lo >= 0) out->push_back(static_cast<char>(hi * 16 + lo));
      i += 3;
    }
  }
}

void SplitRequestUri(std::string_view uri, std::string* path, std::string* query) {
  const size_t q = uri.find('?');
  if (q == std::string_view::npos) {
    query->clear();
  } else {
    query->assign(uri.substr(q + 1));
    uri = uri.substr(0, q);
  }
  UrlDecode(uri, path);
}

const EndpointInfo* FindEndpoint(const EndpointTable& endpoints, std::string_view path,
                                 std::string* endpointUri, std::string* extraPath) {
  endpointUri->clear();
  extraPath->clear();
  // A NUL would cut the path short for a C string reader; match nothing.
  if (path.find('\0') != std::string_view::npos) return nullptr;
  std::string_view key = path;
  auto it = endpoints.find(key);
  if (it != endpoints.end()) {
    *endpointUri = it->first;
    return it->second.enabled ? &it->second : nullptr;
  }
  for (;;) {
    const size_t slash = key.rfind('/');
    if (slash == std::string_view::npos) return nullptr;
    key = key.substr(0, slash);
    it = endpoints.find(key);
    if (it == endpoints.end()) continue;
    *endpointUri = it->first;
    if (!it->second.enabled || !it->second.wildcard) return nullptr;
    extraPath->assign(path.substr(key.size()));
    return &it->second;
  }
}

}  // namespace server
