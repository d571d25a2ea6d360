#include "platform/com/remote/wire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/remote/remote.h"

namespace com::remote {
namespace {

// Values without objects: an object is refused both ways.
class NoObjects final : public ObjectCodec {
 public:
  HRESULT EncodeObject(Writer& w, IUnknown* object, int) override {
    if (object) return E_NOTIMPL;
    w.U8(0);
    return S_OK;
  }
  HRESULT DecodeObject(Reader& r, bool, IUnknown** out, int) override {
    *out = nullptr;
    uint8_t kind = 0;
    return r.U8(&kind) && kind == 0 ? S_OK : RPC_E_INVALID_DATAPACKET;
  }
};

std::string Encode(const VARIANT& v, bool allow_byref = false) {
  NoObjects none;
  Writer w;
  EXPECT_EQ(EncodeVariant(w, v, none, allow_byref), S_OK);
  return w.buffer();
}

HRESULT Decode(const std::string& bytes, Variant* out, VARTYPE* ref = nullptr) {
  NoObjects none;
  Reader r(bytes);
  const HRESULT hr = DecodeVariant(r, out->Receive(), none, ref);
  if (SUCCEEDED(hr) && !r.AtEnd()) return E_FAIL;
  return hr;
}

Variant Make(VARTYPE vt, const void* value, size_t size) {
  Variant v;
  v.vt = vt;
  memcpy(&v.llVal, value, size);
  return v;
}

SAFEARRAY* Matrix() {
  // 2 x 3, lower bounds -1 and 5, values 10 * i + j.
  SAFEARRAYBOUND bounds[2] = {{2, -1}, {3, 5}};
  SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
  for (LONG i = -1; i <= 0; ++i) {
    for (LONG j = 5; j <= 7; ++j) {
      LONG idx[2] = {i, j};
      LONG value = 10 * i + j;
      SafeArrayPutElement(psa, idx, &value);
    }
  }
  return psa;
}

// Every value decodes to what was sent, and re-encodes to the same bytes.
TEST(WireTest, ValuesCrossExactly) {
  std::vector<Variant> cases;
  const int8_t i1 = -5;
  const uint16_t raw_bool = 0x1234;  // not a canonical boolean: kept as is
  const LONG i4 = -123456;
  const double r8 = 1.0 / 3.0;
  const LONGLONG cy = -99999999999LL;
  cases.push_back(Variant());
  cases.push_back(Make(VT_NULL, &i4, 0));
  cases.push_back(Make(VT_I1, &i1, 1));
  cases.push_back(Make(VT_BOOL, &raw_bool, 2));
  cases.push_back(Make(VT_I4, &i4, 4));
  cases.push_back(Make(VT_ERROR, &i4, 4));
  cases.push_back(Make(VT_R8, &r8, 8));
  cases.push_back(Make(VT_CY, &cy, 8));
  cases.push_back(Make(VT_DATE, &r8, 8));
  Variant dec;
  dec.vt = VT_DECIMAL;
  dec.decVal = DECIMAL{0, 7, DECIMAL_NEG, 0xDEADBEEF, 0x0123456789ABCDEFull};
  cases.push_back(std::move(dec));
  cases.push_back(Variant::FromText(std::u16string(u"a\0b", 3)));  // embedded NUL
  Variant null_text;
  null_text.vt = VT_BSTR;  // a null string is not the empty one
  cases.push_back(std::move(null_text));
  Variant odd;
  odd.vt = VT_BSTR;
  odd.bstrVal = SysAllocStringByteLen("abc", 3);
  cases.push_back(std::move(odd));
  Variant matrix;
  matrix.vt = VT_ARRAY | VT_I4;
  matrix.parray = Matrix();
  cases.push_back(std::move(matrix));
  Variant mixed;  // an array of variants holding a string and an array
  mixed.vt = VT_ARRAY | VT_VARIANT;
  mixed.parray = SafeArrayCreateVector(VT_VARIANT, 1, 2);
  {
    Variant text = Variant::FromText(u"x");
    LONG i = 1;
    SafeArrayPutElement(mixed.parray, &i, &text);
    Variant inner;
    inner.vt = VT_ARRAY | VT_I4;
    inner.parray = Matrix();
    i = 2;
    SafeArrayPutElement(mixed.parray, &i, &inner);
  }
  cases.push_back(std::move(mixed));
  Variant empty_array;
  empty_array.vt = VT_ARRAY | VT_BSTR;
  empty_array.parray = SafeArrayCreateVector(VT_BSTR, 0, 0);
  cases.push_back(std::move(empty_array));

  for (const Variant& v : cases) {
    SCOPED_TRACE(v.vt);
    const std::string bytes = Encode(v);
    Variant back;
    ASSERT_EQ(Decode(bytes, &back), S_OK);
    EXPECT_EQ(back.vt, v.vt);
    EXPECT_EQ(Encode(back), bytes);
  }
  Variant back;
  ASSERT_EQ(Decode(Encode(cases[3]), &back), S_OK);
  EXPECT_EQ(uint16_t(back.boolVal), raw_bool);
  ASSERT_EQ(Decode(Encode(cases[11]), &back), S_OK);
  EXPECT_EQ(back.bstrVal, nullptr);
  ASSERT_EQ(Decode(Encode(cases[12]), &back), S_OK);
  EXPECT_EQ(SysStringByteLen(back.bstrVal), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.bstrVal), 3), "abc");
  ASSERT_EQ(Decode(Encode(cases[13]), &back), S_OK);
  LONG lbound = 0, value = 0;
  EXPECT_EQ(SafeArrayGetLBound(back.parray, 1, &lbound), S_OK);
  EXPECT_EQ(lbound, -1);
  EXPECT_EQ(SafeArrayGetLBound(back.parray, 2, &lbound), S_OK);
  EXPECT_EQ(lbound, 5);
  LONG idx[2] = {0, 6};
  EXPECT_EQ(SafeArrayGetElement(back.parray, idx, &value), S_OK);
  EXPECT_EQ(value, 6);
}

TEST(WireTest, ByReferenceOnlyWhereAllowed) {
  LONG target = 41;
  Variant ref;
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &target;
  NoObjects none;
  Writer w;
  EXPECT_EQ(EncodeVariant(w, ref, none, /*allow_byref=*/false), DISP_E_BADVARTYPE);
  const std::string bytes = Encode(ref, /*allow_byref=*/true);
  Variant back;
  VARTYPE ref_type = 0;
  ASSERT_EQ(Decode(bytes, &back, &ref_type), S_OK);
  EXPECT_EQ(ref_type, VT_BYREF | VT_I4);
  EXPECT_EQ(back.vt, VT_I4);
  EXPECT_EQ(back.lVal, 41);
  // A reader that takes no references refuses one.
  EXPECT_EQ(Decode(bytes, &back), DISP_E_BADVARTYPE);
  ref.Detach();  // it points at a local
}

TEST(WireTest, TypesThatCannotCrossAreRefused) {
  NoObjects none;
  for (VARTYPE vt : {VARTYPE(36) /* a record */, VARTYPE(VT_ARRAY | VT_EMPTY), VARTYPE(VT_VARIANT),
                     VARTYPE(0x0FFF)}) {
    SCOPED_TRACE(vt);
    Variant v;
    v.vt = vt;
    Writer w;
    EXPECT_EQ(EncodeVariant(w, v, none, false), DISP_E_BADVARTYPE);
    v.vt = VT_EMPTY;
    Writer raw;
    raw.U16(vt);
    Variant back;
    EXPECT_TRUE(FAILED(Decode(raw.buffer(), &back)));
    EXPECT_EQ(back.vt, VT_EMPTY);
  }
}

// Every cut of a valid message fails cleanly: no crash, nothing leaked.
TEST(WireTest, TruncatedInputFailsAtEveryLength) {
  Variant mixed;
  mixed.vt = VT_ARRAY | VT_VARIANT;
  mixed.parray = SafeArrayCreateVector(VT_VARIANT, 0, 3);
  Variant text = Variant::FromText(u"hello");
  Variant inner;
  inner.vt = VT_ARRAY | VT_I4;
  inner.parray = Matrix();
  LONG i = 0;
  SafeArrayPutElement(mixed.parray, &i, &text);
  i = 2;
  SafeArrayPutElement(mixed.parray, &i, &inner);
  const std::string bytes = Encode(mixed);
  for (size_t n = 0; n < bytes.size(); ++n) {
    Variant back;
    EXPECT_TRUE(FAILED(Decode(bytes.substr(0, n), &back))) << n;
    EXPECT_EQ(back.vt, VT_EMPTY);
  }
}

TEST(WireTest, ArrayCountsBeyondTheInputAreRefusedBeforeAllocating) {
  Writer w;
  w.U16(VT_ARRAY | VT_R8);
  w.U8(1);
  w.U16(VT_R8);
  w.U16(2);
  for (int d = 0; d < 2; ++d) {
    w.U32(0);
    w.U32(0x10000000);  // 2^56 elements in all
  }
  Variant back;
  EXPECT_EQ(Decode(w.buffer(), &back), E_INVALIDARG);
}

TEST(WireTest, NestingIsBounded) {
  // Arrays of variants, each holding the next, deeper than allowed.
  Writer w;
  for (int d = 0; d <= kMaxValueDepth + 2; ++d) {
    w.U16(VT_ARRAY | VT_VARIANT);
    w.U8(1);
    w.U16(VT_VARIANT);
    w.U16(1);
    w.U32(0);
    w.U32(1);
  }
  w.U16(VT_EMPTY);
  Variant back;
  EXPECT_TRUE(FAILED(Decode(w.buffer(), &back)));
}

// An empty dimension anywhere keeps the others' bounds: 10 x 0 is not 0 x 0.
TEST(WireTest, ArraysWithAnEmptyDimensionCrossExactly) {
  const struct {
    ULONG first, second;
  } kShapes[] = {{10, 0}, {0, 10}, {0, 0}};
  for (const auto& shape : kShapes) {
    for (VARTYPE vt : {VARTYPE(VT_I4), VARTYPE(VT_BSTR), VARTYPE(VT_VARIANT)}) {
      SCOPED_TRACE(testing::Message() << shape.first << " x " << shape.second << " vt " << vt);
      SAFEARRAYBOUND bounds[2] = {{shape.first, 3}, {shape.second, -2}};
      Variant v;
      v.vt = VARTYPE(VT_ARRAY | vt);
      v.parray = SafeArrayCreate(vt, 2, bounds);
      ASSERT_NE(v.parray, nullptr);
      const std::string bytes = Encode(v);
      Variant back;
      ASSERT_EQ(Decode(bytes, &back), S_OK);
      ASSERT_EQ(back.vt, v.vt);
      ASSERT_EQ(SafeArrayGetDim(back.parray), 2u);
      for (UINT d = 1; d <= 2; ++d) {
        LONG lower = 0, upper = 0, want_lower = 0, want_upper = 0;
        EXPECT_EQ(SafeArrayGetLBound(back.parray, d, &lower), S_OK);
        EXPECT_EQ(SafeArrayGetUBound(back.parray, d, &upper), S_OK);
        SafeArrayGetLBound(v.parray, d, &want_lower);
        SafeArrayGetUBound(v.parray, d, &want_upper);
        EXPECT_EQ(lower, want_lower);
        EXPECT_EQ(upper, want_upper);
      }
      EXPECT_EQ(Encode(back), bytes);
    }
  }
}

// A value claiming one element type must not carry an array of another: the
// receiver would read integers as strings.
TEST(WireTest, AnArrayOfAnotherTypeThanItsValueClaimsIsRefused) {
  Variant ints;
  ints.vt = VT_ARRAY | VT_I4;
  ints.parray = SafeArrayCreateVector(VT_I4, 0, 2);
  std::string bytes = Encode(ints);
  for (VARTYPE claimed : {VARTYPE(VT_BSTR), VARTYPE(VT_VARIANT), VARTYPE(VT_UI4)}) {
    SCOPED_TRACE(claimed);
    const uint16_t vt = uint16_t(VT_ARRAY | claimed);
    memcpy(bytes.data(), &vt, 2);
    Variant back;
    EXPECT_TRUE(FAILED(Decode(bytes, &back)));
    EXPECT_EQ(back.vt, VT_EMPTY);
  }
}

class FrameReadTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
  void TearDown() override {
    for (int& fd : fds_) {
      if (fd >= 0) close(fd);
      fd = -1;
    }
  }
  // A fresh pair of sockets, for a case that ends or fouls the input.
  void Reopen() {
    TearDown();
    SetUp();
  }
  void Write(const std::string& bytes) {
    ASSERT_EQ(write(fds_[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  static std::string Header(uint32_t payload_bytes, FrameType type, uint32_t call_id) {
    Writer w;
    w.U32(uint32_t(payload_bytes + kFrameHeaderBytes - 4));
    w.U8(uint8_t(type));
    w.U32(call_id);
    return w.buffer();
  }
  int fds_[2] = {-1, -1};
};

// One frame read by a fresh reader.
bool ReadOne(int fd, Frame* frame, int64_t deadline_ms = -1) {
  FrameReader reader;
  return reader.Read(fd, frame, deadline_ms);
}

TEST_F(FrameReadTest, AnnouncedLengthAllocatesNothingBeforeItsBytes) {
  // A header announcing the largest frame, a few bytes of it, then the end.
  Write(Header(kMaxFrameBytes - (kFrameHeaderBytes - 4), FrameType::Invoke, 7));
  Write(std::string(100, 'x'));
  shutdown(fds_[1], SHUT_WR);
  Frame frame;
  EXPECT_FALSE(ReadOne(fds_[0], &frame));
  // What the read left holds is all it allocated.
  EXPECT_LT(frame.payload.capacity(), size_t(1) << 20);
}

TEST_F(FrameReadTest, AFrameArrivingInPiecesIsReadWhole) {
  std::string payload(300000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(i * 7);
  const std::string bytes = Header(uint32_t(payload.size()), FrameType::Return, 42) + payload;
  std::thread writer([&] {
    for (size_t at = 0; at < bytes.size(); at += 4093) {
      const size_t n = std::min<size_t>(4093, bytes.size() - at);
      if (write(fds_[1], bytes.data() + at, n) != ssize_t(n)) break;
    }
  });
  Frame frame;
  EXPECT_TRUE(ReadOne(fds_[0], &frame));
  writer.join();
  EXPECT_EQ(frame.type, FrameType::Return);
  EXPECT_EQ(frame.call_id, 42u);
  EXPECT_TRUE(frame.payload == payload);
}

TEST_F(FrameReadTest, LengthsOutsideTheLimitsEndTheInput) {
  for (uint32_t length : {uint32_t(0), uint32_t(kFrameHeaderBytes - 5), kMaxFrameBytes + 1}) {
    SCOPED_TRACE(length);
    Writer w;
    w.U32(length);
    w.U8(uint8_t(FrameType::Invoke));
    w.U32(1);
    Reopen();
    Write(w.buffer());
    Frame frame;
    EXPECT_FALSE(ReadOne(fds_[0], &frame));
  }
}

TEST_F(FrameReadTest, APartialFrameGivesUpAtTheDeadline) {
  Write(Header(10, FrameType::Invoke, 1) + "abc");
  Frame frame;
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  EXPECT_FALSE(ReadOne(fds_[0], &frame, now + 50));
}

// Frames sent back to back come out whole and in order, however the bytes
// arrive: several in one receive, one split across receives, one longer than
// the reader's buffer between short ones.
TEST_F(FrameReadTest, TheBufferedReaderKeepsFramesApartAndInOrder) {
  const size_t sizes[] = {0, 5, 3, 200000, 1, 70000, 65536 - kFrameHeaderBytes, 12};
  std::vector<std::string> payloads;
  std::string bytes;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    std::string payload(sizes[i], '\0');
    for (size_t k = 0; k < payload.size(); ++k) payload[k] = char(k * 13 + i);
    bytes += Header(uint32_t(payload.size()), FrameType::Invoke, uint32_t(i + 1)) + payload;
    payloads.push_back(std::move(payload));
  }
  for (size_t piece : {bytes.size(), size_t(4093), size_t(7)}) {
    SCOPED_TRACE(piece);
    std::thread writer([&] {
      for (size_t at = 0; at < bytes.size(); at += piece) {
        const size_t n = std::min(piece, bytes.size() - at);
        if (send(fds_[1], bytes.data() + at, n, MSG_NOSIGNAL) != ssize_t(n)) break;
      }
    });
    FrameReader reader;
    for (size_t i = 0; i < payloads.size(); ++i) {
      Frame frame;
      if (!reader.Read(fds_[0], &frame)) {
        ADD_FAILURE() << "frame " << i;
        shutdown(fds_[0], SHUT_RDWR);  // the writer stops too
        break;
      }
      EXPECT_EQ(frame.type, FrameType::Invoke);
      EXPECT_EQ(frame.call_id, uint32_t(i + 1));
      EXPECT_TRUE(frame.payload == payloads[i]) << i;
    }
    writer.join();
    EXPECT_FALSE(reader.HasFrame());
  }
}

TEST_F(FrameReadTest, HasFrameOnlyForAWholeFrameHeld) {
  FrameReader reader;
  Frame frame;
  Write(Header(4, FrameType::Return, 1) + "abcd" + Header(6, FrameType::Return, 2) + "ef");
  ASSERT_TRUE(reader.Read(fds_[0], &frame));
  EXPECT_EQ(frame.payload, "abcd");
  EXPECT_FALSE(reader.HasFrame());  // two of its six bytes
  Write("ghij" + Header(0, FrameType::Release, 3));
  ASSERT_TRUE(reader.Read(fds_[0], &frame));
  EXPECT_EQ(frame.payload, "efghij");
  EXPECT_TRUE(reader.HasFrame());
  ASSERT_TRUE(reader.Read(fds_[0], &frame));
  EXPECT_EQ(frame.call_id, 3u);
  EXPECT_FALSE(reader.HasFrame());
}

// Reading without waiting takes whole frames only, keeps a frame's start for
// the next read, and leaves a frame longer than the buffer to the waiting read.
TEST_F(FrameReadTest, TryReadTakesOnlyWhatHasArrived) {
  using Took = FrameReader::Took;
  FrameReader reader;
  Frame frame;
  EXPECT_EQ(reader.TryRead(fds_[0], &frame), Took::NotYet);
  EXPECT_FALSE(reader.HoldsBytes());

  const std::string first = Header(3, FrameType::Invoke, 1) + "abc";
  Write(first.substr(0, 5));
  EXPECT_EQ(reader.TryRead(fds_[0], &frame), Took::NotYet);
  EXPECT_TRUE(reader.HoldsBytes());
  Write(first.substr(5) + Header(2, FrameType::Return, 2) + "de");
  ASSERT_EQ(reader.TryRead(fds_[0], &frame), Took::Frame);
  EXPECT_EQ(frame.call_id, 1u);
  EXPECT_EQ(frame.payload, "abc");
  ASSERT_EQ(reader.TryRead(fds_[0], &frame), Took::Frame);  // held already
  EXPECT_EQ(frame.call_id, 2u);
  EXPECT_EQ(frame.payload, "de");
  EXPECT_EQ(reader.TryRead(fds_[0], &frame), Took::NotYet);
  EXPECT_FALSE(reader.HoldsBytes());

  std::string large(100000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = char(i * 11);
  const std::string bytes = Header(uint32_t(large.size()), FrameType::Invoke, 3) + large;
  Write(bytes.substr(0, 1000));
  EXPECT_EQ(reader.TryRead(fds_[0], &frame), Took::NotYet);
  EXPECT_EQ(reader.TryRead(fds_[0], &frame), Took::NotYet);  // the rest is for Read
  std::thread writer(
      [&] { (void)!send(fds_[1], bytes.data() + 1000, bytes.size() - 1000, MSG_NOSIGNAL); });
  ASSERT_TRUE(reader.Read(fds_[0], &frame));
  writer.join();
  EXPECT_EQ(frame.call_id, 3u);
  EXPECT_TRUE(frame.payload == large);

  Write(Header(1, FrameType::Return, 4).substr(0, 4));
  shutdown(fds_[1], SHUT_WR);
  EXPECT_EQ(reader.TryRead(fds_[0], &frame), Took::NotYet);  // the start of a frame
  EXPECT_EQ(reader.TryRead(fds_[0], &frame), Took::End);

  Reopen();
  Writer bad;
  bad.U32(kMaxFrameBytes + 1);
  bad.U8(uint8_t(FrameType::Invoke));
  bad.U32(5);
  Write(bad.buffer());
  FrameReader fresh;
  EXPECT_EQ(fresh.TryRead(fds_[0], &frame), Took::End);
}

}  // namespace
}  // namespace com::remote
