// Structured storage as the system uses it: a temporary "compound file" that
// holds one unnamed stream. On Linux the compound file is an unlinked temporary
// file, so it vanishes from the disk as soon as it exists and its space is given
// back when the last reference to the storage (or to a stream open on it) goes.
// Attachments cross interfaces as the storage's IUnknown.
#pragma once

#include "platform/base/base.h"

// Access and sharing modes. Only the combinations the system uses are accepted.
inline constexpr DWORD STGM_READ = 0x00000000;
inline constexpr DWORD STGM_WRITE = 0x00000001;
inline constexpr DWORD STGM_READWRITE = 0x00000002;
inline constexpr DWORD STGM_SHARE_EXCLUSIVE = 0x00000010;
inline constexpr DWORD STGM_CREATE = 0x00001000;
inline constexpr DWORD STGM_DELETEONRELEASE = 0x04000000;

inline constexpr DWORD STATFLAG_DEFAULT = 0;
inline constexpr DWORD STATFLAG_NONAME = 1;

inline constexpr DWORD STGTY_STORAGE = 1;
inline constexpr DWORD STGTY_STREAM = 2;

inline constexpr DWORD STREAM_SEEK_SET = 0;
inline constexpr DWORD STREAM_SEEK_CUR = 1;
inline constexpr DWORD STREAM_SEEK_END = 2;

inline constexpr HRESULT STG_E_FILEALREADYEXISTS = MakeHresult(0x80030050);
inline constexpr HRESULT STG_E_INVALIDNAME = MakeHresult(0x800300FC);
inline constexpr HRESULT STG_E_INVALIDFLAG = MakeHresult(0x800300FF);

struct STATSTG {
  LPOLESTR pwcsName;  // always null: the only stream is unnamed
  DWORD type;         // STGTY_STORAGE or STGTY_STREAM
  ULONGLONG cbSize;   // bytes in the stream; 0 for a storage
  DWORD grfMode;      // the mode the object was opened with
};

class IStream : public IUnknown {
 public:
  static constexpr IID kIid = {
      0x0000000C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

  // Reads up to `cb` bytes at the seek position; fewer only at the end of the
  // stream. *read (when given) receives the count, also on failure.
  // STG_E_ACCESSDENIED on a stream opened for writing only.
  virtual HRESULT Read(void* pv, ULONG cb, ULONG* read) = 0;
  // Writes all `cb` bytes at the seek position, growing the stream as needed.
  // STG_E_MEDIUMFULL when the disk is full, STG_E_ACCESSDENIED on a read-only stream.
  virtual HRESULT Write(const void* pv, ULONG cb, ULONG* written) = 0;
  // Moves the seek position; a position before the start is STG_E_INVALIDFUNCTION.
  virtual HRESULT Seek(LONGLONG move, DWORD origin, ULONGLONG* new_position) = 0;
  virtual HRESULT SetSize(ULONGLONG size) = 0;
  virtual HRESULT Stat(STATSTG* stat, DWORD flag) = 0;

 protected:
  ~IStream() = default;
};

class IStorage : public IUnknown {
 public:
  static constexpr IID kIid = {
      0x0000000B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

  // Creates the unnamed stream (`name` null or ""); STGM_CREATE replaces an
  // existing one (emptying it), without it an existing stream is
  // STG_E_FILEALREADYEXISTS. The mode needs STGM_SHARE_EXCLUSIVE; while one
  // stream object is open no other can be (STG_E_ACCESSDENIED). Any other name
  // is STG_E_INVALIDNAME.
  virtual HRESULT CreateStream(LPCOLESTR name, DWORD mode, IStream** stream) = 0;
  // Opens the unnamed stream made by CreateStream; STG_E_FILENOTFOUND before.
  virtual HRESULT OpenStream(LPCOLESTR name, DWORD mode, IStream** stream) = 0;
  virtual HRESULT Stat(STATSTG* stat, DWORD flag) = 0;

 protected:
  ~IStorage() = default;
};

inline constexpr IID IID_IStorage = IStorage::kIid;
inline constexpr IID IID_IStream = IStream::kIid;

// Creates a temporary compound file. Only temporary files exist here: `name`
// must be null (else STG_E_INVALIDNAME) and `mode` must hold
// STGM_DELETEONRELEASE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE (else
// STG_E_INVALIDFLAG). The file lives in $TMPDIR (or /tmp) and is never visible
// by name. STG_E_MEDIUMFULL or STG_E_ACCESSDENIED when it cannot be made.
HRESULT StgCreateDocfile(LPCOLESTR name, DWORD mode, DWORD reserved, IStorage** storage);
