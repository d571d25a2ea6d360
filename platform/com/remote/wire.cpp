#include "platform/com/remote/wire.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/com/internal/vartype.h"

namespace com::remote {

namespace {

constexpr uint8_t kNull = 0;
constexpr uint8_t kPresent = 1;

// Bytes of a fixed-size scalar on the wire; 0 for the others.
size_t ScalarBytes(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN:
    case VT_DECIMAL:
    case VT_VARIANT:
      return 0;
    default:
      return (vt & ~VT_TYPEMASK) ? 0 : ::com::internal::ElementSize(vt);
  }
}

bool CanBeElement(VARTYPE vt) {
  return vt == VT_VARIANT || (vt != VT_EMPTY && vt != VT_NULL && CanCross(vt));
}

HRESULT EncodeArray(Writer& w, SAFEARRAY* psa, ObjectCodec& objects, int depth) {
  if (!psa) {
    w.U8(kNull);
    return S_OK;
  }
  if (!CanBeElement(psa->vt) || psa->cDims == 0 || psa->cDims > kMaxArrayDims) {
    return DISP_E_BADVARTYPE;
  }
  w.U8(kPresent);
  w.U16(psa->vt);
  w.U16(psa->cDims);
  size_t count = 1;
  // Dimensions in creation order: the descriptor holds them reversed.
  for (USHORT d = 0; d < psa->cDims; ++d) {
    const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - 1 - d];
    w.U32(uint32_t(b.lLbound));
    w.U32(b.cElements);
    count *= b.cElements;  // SafeArrayCreate bounded the product
  }
  const char* data = static_cast<const char*>(psa->pvData);
  for (size_t i = 0; i < count; ++i) {
    const void* element = data + i * psa->cbElements;
    HRESULT hr = psa->vt == VT_VARIANT
                     ? EncodeVariant(w, *static_cast<const VARIANT*>(element), objects,
                                     /*allow_byref=*/false, depth + 1)
                     : EncodeValue(w, psa->vt, element, objects, depth + 1);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// Fewest bytes an element of type `vt` takes on the wire.
size_t MinWireBytes(VARTYPE vt) {
  if (const size_t n = ScalarBytes(vt)) return n;
  switch (vt) {
    case VT_VARIANT:
      return 2;  // its type
    case VT_DECIMAL:
      return 14;
    default:
      return 1;  // a string's or an object's presence marker, an array's
  }
}

// Element types whose memory is larger than their fewest wire bytes: their
// elements are decoded into storage that grows as they are read, so an
// announced count commits nothing before the bytes that back it are read.
bool GrowsAsDecoded(VARTYPE vt) {
  return vt == VT_VARIANT || vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN;
}

HRESULT DecodeArray(Reader& r, VARTYPE expected, SAFEARRAY** out, ObjectCodec& objects,
                    int depth) {
  *out = nullptr;
  uint8_t present = 0;
  if (!r.U8(&present) || present > kPresent) return E_INVALIDARG;
  if (present == kNull) return S_OK;
  uint16_t vt = 0, dims = 0;
  if (!r.U16(&vt) || !r.U16(&dims)) return E_INVALIDARG;
  if (!CanBeElement(vt)) return DISP_E_BADVARTYPE;
  // Elements of another type than the value claims would be read as that type.
  if (vt != expected) return E_INVALIDARG;
  if (dims == 0 || dims > kMaxArrayDims) return E_INVALIDARG;
  SAFEARRAYBOUND bounds[kMaxArrayDims];
  bool empty = false;
  for (uint16_t d = 0; d < dims; ++d) {
    uint32_t lbound = 0, elements = 0;
    if (!r.U32(&lbound) || !r.U32(&elements)) return E_INVALIDARG;
    bounds[d].lLbound = LONG(lbound);
    bounds[d].cElements = elements;
    if (elements == 0) empty = true;
  }
  // Each element takes some bytes: a count beyond what is left is a lie, and
  // checking as the product grows keeps it from overflowing.
  uint64_t count = empty ? 0 : 1;
  const size_t most = r.left() / MinWireBytes(vt);
  for (uint16_t d = 0; d < dims && count != 0; ++d) {
    if (count > most / bounds[d].cElements) return E_INVALIDARG;
    count *= bounds[d].cElements;
  }
  SAFEARRAY* psa = nullptr;
  if (GrowsAsDecoded(vt)) {
    std::vector<Variant> elements;
    for (uint64_t i = 0; i < count; ++i) {
      Variant& e = elements.emplace_back();
      const HRESULT hr = vt == VT_VARIANT ? DecodeVariant(r, e.Receive(), objects, nullptr,
                                                          depth + 1)
                                          : DecodeValue(r, vt, &e.llVal, objects, depth + 1);
      if (FAILED(hr)) return hr;
      if (vt != VT_VARIANT) e.vt = vt;
    }
    psa = SafeArrayCreate(vt, dims, bounds);
    if (!psa) return E_INVALIDARG;
    char* data = static_cast<char*>(psa->pvData);
    for (uint64_t i = 0; i < count; ++i) {
      // Ownership moves into the array's slot.
      VARIANT raw = elements[i].Detach();
      if (vt == VT_VARIANT) {
        memcpy(data + i * psa->cbElements, &raw, sizeof raw);
      } else {
        memcpy(data + i * psa->cbElements, &raw.llVal, psa->cbElements);
      }
    }
  } else {
    // Fixed-size elements: the array is no larger than the bytes read.
    psa = SafeArrayCreate(vt, dims, bounds);
    if (!psa) return E_INVALIDARG;
    char* data = static_cast<char*>(psa->pvData);
    for (uint64_t i = 0; i < count; ++i) {
      const HRESULT hr = DecodeValue(r, vt, data + i * psa->cbElements, objects, depth + 1);
      if (FAILED(hr)) {
        SafeArrayDestroy(psa);
        return hr;
      }
    }
  }
  *out = psa;
  return S_OK;
}

// After a receive found nothing (its errno still set): waits for input until
// the deadline; false on another error or past the deadline.
bool WaitForInput(int fd, int64_t deadline_ms) {
  if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
  int timeout = -1;
  if (deadline_ms >= 0) {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (now >= deadline_ms) return false;
    timeout = int(std::min<int64_t>(deadline_ms - now, 1 << 30));
  }
  pollfd pfd{fd, POLLIN, 0};
  return poll(&pfd, 1, timeout) >= 0 || errno == EINTR;
}

// Reads exactly `n` bytes, waiting for more only until the deadline.
bool ReadFull(int fd, char* p, size_t n, int64_t deadline_ms) {
  while (n > 0) {
    const ssize_t got = recv(fd, p, n, MSG_DONTWAIT);
    if (got > 0) {
      p += got;
      n -= size_t(got);
      continue;
    }
    if (got == 0) return false;
    if (errno == EINTR) continue;
    if (!WaitForInput(fd, deadline_ms)) return false;
  }
  return true;
}

// The first read of a payload; each later one doubles what is held.
constexpr size_t kFirstPayloadRead = 64 << 10;

// The frame's fields from its header; false for a length outside the limits.
bool ParseHeader(const char* header, Frame* frame, size_t* payload_bytes) {
  uint32_t length = 0;
  memcpy(&length, header, 4);
  memcpy(&frame->call_id, header + 5, 4);
  frame->type = FrameType(uint8_t(header[4]));
  if (length < kFrameHeaderBytes - 4 || length > kMaxFrameBytes) return false;
  *payload_bytes = length - (kFrameHeaderBytes - 4);
  return true;
}

// Reads the rest of a payload of `size` bytes whose first bytes `payload`
// holds, growing it only as bytes come.
bool ReadPayload(int fd, std::string& payload, size_t size, int64_t deadline_ms) {
  while (payload.size() < size) {
    const size_t have = payload.size();
    const size_t step = std::min(size - have, std::max(have, kFirstPayloadRead));
    payload.resize(have + step);
    if (!ReadFull(fd, payload.data() + have, step, deadline_ms)) return false;
  }
  return true;
}

// What a FrameReader takes in one receive.
constexpr size_t kReadBufferBytes = 64 << 10;

}  // namespace

bool FrameReader::Header(Frame* frame, size_t* payload_bytes) const {
  return ParseHeader(buffer_.data() + start_, frame, payload_bytes);
}

bool FrameReader::HasFrame() const {
  const size_t held = end_ - start_;
  if (held < kFrameHeaderBytes) return false;
  Frame header;
  size_t size = 0;
  // A bad header counts as a frame: reading it fails at once.
  return !Header(&header, &size) || held >= kFrameHeaderBytes + size;
}

bool FrameReader::Read(int fd, Frame* frame, int64_t deadline_ms) {
  if (buffer_.empty()) buffer_.resize(kReadBufferBytes);
  while (true) {
    const size_t held = end_ - start_;
    if (held >= kFrameHeaderBytes) {
      size_t size = 0;
      if (!Header(frame, &size)) return false;
      const char* body = buffer_.data() + start_ + kFrameHeaderBytes;
      if (held >= kFrameHeaderBytes + size) {
        frame->payload.assign(body, size);
        start_ += kFrameHeaderBytes + size;
        if (start_ == end_) start_ = end_ = 0;
        return true;
      }
      if (kFrameHeaderBytes + size > buffer_.size()) {
        // Too long for the buffer: nothing past this frame is read.
        frame->payload.assign(body, held - kFrameHeaderBytes);
        start_ = end_ = 0;
        return ReadPayload(fd, frame->payload, size, deadline_ms);
      }
    }
    if (start_ > 0) {
      memmove(buffer_.data(), buffer_.data() + start_, held);
      start_ = 0;
      end_ = held;
    }
    const ssize_t got = recv(fd, buffer_.data() + end_, buffer_.size() - end_, MSG_DONTWAIT);
    if (got > 0) {
      end_ += size_t(got);
      continue;
    }
    if (got == 0) return false;
    if (errno == EINTR) continue;
    if (!WaitForInput(fd, deadline_ms)) return false;
  }
}

FrameReader::Took FrameReader::TryRead(int fd, Frame* frame) {
  if (HasFrame()) return Read(fd, frame) ? Took::Frame : Took::End;
  if (buffer_.empty()) buffer_.resize(kReadBufferBytes);
  const size_t held = end_ - start_;
  if (held >= kFrameHeaderBytes) {
    Frame header;
    size_t size = 0;
    if (Header(&header, &size) && kFrameHeaderBytes + size > buffer_.size()) return Took::NotYet;
  }
  if (start_ > 0) {
    memmove(buffer_.data(), buffer_.data() + start_, held);
    start_ = 0;
    end_ = held;
  }
  const ssize_t got = recv(fd, buffer_.data() + end_, buffer_.size() - end_, MSG_DONTWAIT);
  if (got == 0) return Took::End;
  if (got < 0) {
    const bool nothing_yet = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    return nothing_yet ? Took::NotYet : Took::End;
  }
  end_ += size_t(got);
  if (!HasFrame()) return Took::NotYet;
  return Read(fd, frame) ? Took::Frame : Took::End;
}

void Writer::Bstr(const OLECHAR* s) {
  if (!s) {
    U8(kNull);
    return;
  }
  U8(kPresent);
  // Bytes, not characters: a string made of an odd number of bytes stays so.
  const UINT bytes = SysStringByteLen(const_cast<BSTR>(s));
  U32(bytes);
  Raw(s, bytes);
}

void Writer::Text(std::u16string_view s) {
  U32(uint32_t(s.size()));
  Raw(s.data(), s.size() * sizeof(char16_t));
}

bool Reader::Raw(void* out, size_t n) {
  if (!ok_ || size_t(end_ - p_) < n) {
    ok_ = false;
    return false;
  }
  if (n) memcpy(out, p_, n);
  p_ += n;
  return true;
}

bool Reader::Text(std::u16string* out) {
  uint32_t n = 0;
  if (!U32(&n)) return false;
  if (n > left() / sizeof(char16_t)) {
    ok_ = false;
    return false;
  }
  out->resize(n);
  return Raw(out->data(), size_t(n) * sizeof(char16_t));
}

bool Reader::Bstr(BSTR* out) {
  *out = nullptr;
  uint8_t present = 0;
  if (!U8(&present) || present > kPresent) return ok_ = false;
  if (present == kNull) return true;
  uint32_t bytes = 0;
  if (!U32(&bytes)) return false;
  if (bytes > left()) return ok_ = false;
  *out = SysAllocStringByteLen(reinterpret_cast<const char*>(p_), bytes);
  if (!*out) return ok_ = false;
  p_ += bytes;
  return true;
}

bool CanCross(VARTYPE vt) {
  if (vt & VT_BYREF) return false;
  if (vt & VT_ARRAY) return CanBeElement(VARTYPE(vt & ~VT_ARRAY));
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN:
    case VT_DECIMAL:
      return true;
    default:
      return ScalarBytes(vt) != 0;
  }
}

HRESULT EncodeValue(Writer& w, VARTYPE vt, const void* data, ObjectCodec& objects, int depth) {
  if (depth > kMaxValueDepth) return DISP_E_BADVARTYPE;
  if (vt & VT_ARRAY) {
    if (!CanCross(vt)) return DISP_E_BADVARTYPE;
    return EncodeArray(w, *static_cast<SAFEARRAY* const*>(data), objects, depth);
  }
  if (const size_t n = ScalarBytes(vt)) {
    w.Raw(data, n);
    return S_OK;
  }
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return S_OK;
    case VT_BSTR:
      w.Bstr(*static_cast<const BSTR*>(data));
      return S_OK;
    case VT_DECIMAL: {
      const DECIMAL& d = *static_cast<const DECIMAL*>(data);
      w.U8(d.scale);
      w.U8(d.sign);
      w.U32(d.Hi32);
      w.U64(d.Lo64);
      return S_OK;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return objects.EncodeObject(w, *static_cast<IUnknown* const*>(data), depth);
    case VT_VARIANT:
      return EncodeVariant(w, *static_cast<const VARIANT*>(data), objects, false, depth + 1);
    default:
      return DISP_E_BADVARTYPE;
  }
}

HRESULT DecodeValue(Reader& r, VARTYPE vt, void* data, ObjectCodec& objects, int depth) {
  if (depth > kMaxValueDepth) return E_INVALIDARG;
  if (vt & VT_ARRAY) {
    if (!CanCross(vt)) return DISP_E_BADVARTYPE;
    SAFEARRAY* psa = nullptr;
    const HRESULT hr = DecodeArray(r, VARTYPE(vt & ~VT_ARRAY), &psa, objects, depth);
    if (SUCCEEDED(hr)) *static_cast<SAFEARRAY**>(data) = psa;
    return hr;
  }
  if (const size_t n = ScalarBytes(vt)) return r.Raw(data, n) ? S_OK : E_INVALIDARG;
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return S_OK;
    case VT_BSTR:
      return r.Bstr(static_cast<BSTR*>(data)) ? S_OK : E_INVALIDARG;
    case VT_DECIMAL: {
      DECIMAL d{};
      if (!r.U8(&d.scale) || !r.U8(&d.sign) || !r.U32(&d.Hi32) || !r.U64(&d.Lo64)) {
        return E_INVALIDARG;
      }
      *static_cast<DECIMAL*>(data) = d;
      return S_OK;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return objects.DecodeObject(r, vt == VT_DISPATCH, static_cast<IUnknown**>(data), depth);
    case VT_VARIANT:
      return DecodeVariant(r, static_cast<VARIANT*>(data), objects, nullptr, depth + 1);
    default:
      return DISP_E_BADVARTYPE;
  }
}

HRESULT EncodeVariant(Writer& w, const VARIANT& v, ObjectCodec& objects, bool allow_byref,
                      int depth) {
  if (v.vt & VT_BYREF) {
    if (!allow_byref) return DISP_E_BADVARTYPE;
    const VARTYPE base = VARTYPE(v.vt & ~VT_BYREF);
    if (!v.byref || (base != VT_VARIANT && !CanCross(base)) || base == VT_EMPTY ||
        base == VT_NULL) {
      return DISP_E_BADVARTYPE;
    }
    w.U16(v.vt);
    return EncodeValue(w, base, v.byref, objects, depth);
  }
  if (!CanCross(v.vt)) return DISP_E_BADVARTYPE;
  w.U16(v.vt);
  return EncodeValue(w, v.vt, &v.llVal, objects, depth);
}

HRESULT DecodeVariant(Reader& r, VARIANT* out, ObjectCodec& objects, VARTYPE* ref_type, int depth) {
  VariantInit(out);
  if (ref_type) *ref_type = 0;
  uint16_t vt = 0;
  if (!r.U16(&vt)) return E_INVALIDARG;
  VARTYPE base = vt;
  if (vt & VT_BYREF) {
    base = VARTYPE(vt & ~VT_BYREF);
    if (!ref_type || base == VT_EMPTY || base == VT_NULL) return DISP_E_BADVARTYPE;
    if (base == VT_VARIANT) {
      // The referenced variant itself, which is no reference.
      const HRESULT hr = DecodeVariant(r, out, objects, nullptr, depth + 1);
      if (SUCCEEDED(hr)) *ref_type = vt;
      return hr;
    }
  }
  if (!CanCross(base)) return DISP_E_BADVARTYPE;
  VARIANT value;
  VariantInit(&value);
  const HRESULT hr = DecodeValue(r, base, &value.llVal, objects, depth);
  if (FAILED(hr)) return hr;
  value.vt = base;
  *out = value;
  if (ref_type && (vt & VT_BYREF)) *ref_type = vt;
  return S_OK;
}

}  // namespace com::remote
