// The byte form of cross-process calls: frames (a length, a type, a call id
// and a payload) and an exact codec for automation values. Numbers are little
// endian; VT_BOOL keeps its raw 16 bits; strings keep their length and any
// embedded NUL, and a null string stays null; arrays keep their element type,
// rank and bounds. Objects are written by an ObjectCodec supplied by the
// connection, which knows what the peer holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/variant.h"

namespace com::remote {

enum class FrameType : uint8_t {
  Create = 1,         // iid -> Return(hr, object)
  Invoke = 2,         // object, dispid, lcid, flags, arguments, named ids -> Return
  GetIDsOfNames = 3,  // object, lcid, names -> Return(hr, ids)
  Return = 4,         // the answer to the call of the same id
  Release = 5,        // object, count; no answer
};

// Length prefix + type + call id.
inline constexpr size_t kFrameHeaderBytes = 9;
// Far above any real call; a longer frame breaks the connection.
inline constexpr uint32_t kMaxFrameBytes = 64u << 20;
// Values inside values (variants in arrays in structs ...) nest at most this deep.
inline constexpr int kMaxValueDepth = 32;
inline constexpr uint16_t kMaxArrayDims = 64;
inline constexpr uint32_t kMaxCallArgs = 1024;

// One frame as read from a socket: the payload follows the header.
struct Frame {
  FrameType type{};
  uint32_t call_id = 0;
  std::string payload;
};

// Reads whole frames from the socket `fd`, taking what has arrived with one
// receive where it can (a header and its payload together, or several small
// frames) and keeping the bytes past a frame for the next read. A frame longer
// than the buffer is read straight into its payload, whose storage grows with
// the bytes that arrived, so a header announcing a large frame costs nothing
// until its bytes come. One thread reads at a time.
class FrameReader {
 public:
  // Whether a whole frame is held already, so reading it needs no input.
  bool HasFrame() const;
  // Waits at most until `deadline_ms` (a steady-clock time in milliseconds,
  // -1 for none) for each byte; false at the end of input, on an error, past
  // the deadline or for a length outside the frame limits.
  bool Read(int fd, Frame* frame, int64_t deadline_ms = -1);
  // Without waiting: a held frame, else one receive of what has arrived.
  // NotYet leaves any start of a frame held for the next read; a frame
  // longer than the buffer is left to Read, whose payload grows as it comes.
  enum class Took { Frame, NotYet, End };
  Took TryRead(int fd, Frame* frame);
  // Whether any byte of a frame is held.
  bool HoldsBytes() const { return end_ != start_; }

 private:
  // Parses the held header: false for a length outside the limits.
  bool Header(Frame* frame, size_t* payload_bytes) const;

  std::string buffer_;  // allocated on first use
  size_t start_ = 0;
  size_t end_ = 0;
};

class Writer {
 public:
  void U8(uint8_t v) { buf_.push_back(char(v)); }
  void U16(uint16_t v) { Raw(&v, 2); }
  void U32(uint32_t v) { Raw(&v, 4); }
  void U64(uint64_t v) { Raw(&v, 8); }
  void Raw(const void* p, size_t n) { buf_.append(static_cast<const char*>(p), n); }
  // A string that may be null.
  void Bstr(const OLECHAR* s);
  void Text(std::u16string_view s);

  std::string& buffer() { return buf_; }
  size_t size() const { return buf_.size(); }

 private:
  std::string buf_;
};

// Reads untrusted bytes: every read checks what is left, and a failed read
// leaves the reader failed (every later read fails too).
class Reader {
 public:
  Reader(const char* data, size_t size)
      : p_(reinterpret_cast<const uint8_t*>(data)), end_(p_ + size) {}
  explicit Reader(std::string_view s) : Reader(s.data(), s.size()) {}

  [[nodiscard]] bool U8(uint8_t* v) { return Raw(v, 1); }
  [[nodiscard]] bool U16(uint16_t* v) { return Raw(v, 2); }
  [[nodiscard]] bool U32(uint32_t* v) { return Raw(v, 4); }
  [[nodiscard]] bool U64(uint64_t* v) { return Raw(v, 8); }
  [[nodiscard]] bool Raw(void* out, size_t n);
  // A new string (null when the writer wrote null); false on a short input.
  [[nodiscard]] bool Bstr(BSTR* out);
  [[nodiscard]] bool Text(std::u16string* out);

  size_t left() const { return ok_ ? size_t(end_ - p_) : 0; }
  bool ok() const { return ok_; }
  bool AtEnd() const { return ok_ && p_ == end_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  bool ok_ = true;
};

// How objects inside values cross: supplied by the connection.
class ObjectCodec {
 public:
  // Writes a reference to `object` (may be null).
  virtual HRESULT EncodeObject(Writer& w, IUnknown* object, int depth) = 0;
  // Reads one; *out receives a reference of its own (IDispatch* when
  // `dispatch`), or null.
  virtual HRESULT DecodeObject(Reader& r, bool dispatch, IUnknown** out, int depth) = 0;

 protected:
  ~ObjectCodec() = default;
};

// A variant: its type, then its value. VT_BYREF is taken only when
// `allow_byref` (a call's arguments): the value pointed to is written, and
// the reader gets the base type. DISP_E_BADVARTYPE for a type that cannot
// cross; nothing is written usefully then (the caller drops the buffer).
HRESULT EncodeVariant(Writer& w, const VARIANT& v, ObjectCodec& objects, bool allow_byref,
                      int depth = 0);
// Reads a variant into `out` (overwritten; VT_EMPTY on failure). When
// `ref_type` is given a by-reference type may be read: *ref_type receives it
// (0 for a plain value) and `out` holds the value referred to; without it
// by-reference types are refused.
HRESULT DecodeVariant(Reader& r, VARIANT* out, ObjectCodec& objects, VARTYPE* ref_type = nullptr,
                      int depth = 0);

// The value of type `vt` (no VT_BYREF) stored at `data` (the address of the
// matching member of a VARIANT's union, or of an array element).
HRESULT EncodeValue(Writer& w, VARTYPE vt, const void* data, ObjectCodec& objects, int depth);
HRESULT DecodeValue(Reader& r, VARTYPE vt, void* data, ObjectCodec& objects, int depth);

// True for the types a variant may carry across (without VT_BYREF).
bool CanCross(VARTYPE vt);

}  // namespace com::remote
