#include "platform/storage/storage.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/storage/testing/faulty_storage.h"

namespace {

constexpr DWORD kDocfileMode =
    STGM_DELETEONRELEASE | STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE;
constexpr DWORD kWriteMode = STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE;
constexpr DWORD kReadMode = STGM_SHARE_EXCLUSIVE | STGM_READ;

// Open descriptors of this process that point at deleted files.
int DeletedFilesOpen() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (dirent* e = readdir(dir)) {
    char link[512];
    const std::string path = std::string("/proc/self/fd/") + e->d_name;
    const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    link[n] = '\0';
    if (std::strstr(link, "(deleted)")) ++count;
  }
  closedir(dir);
  return count;
}

class StorageTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(StgCreateDocfile(nullptr, kDocfileMode, 0, storage_.Receive()), S_OK);
  }
  ComPtr<IStream> Create() {
    ComPtr<IStream> s;
    EXPECT_EQ(storage_->CreateStream(u"", kWriteMode, s.Receive()), S_OK);
    return s;
  }
  ComPtr<IStream> Open(DWORD mode = kReadMode) {
    ComPtr<IStream> s;
    EXPECT_EQ(storage_->OpenStream(u"", mode, s.Receive()), S_OK);
    return s;
  }
  static ULONGLONG Size(IStream* s) {
    STATSTG st{};
    EXPECT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(st.type, STGTY_STREAM);
    return st.cbSize;
  }
  ComPtr<IStorage> storage_;
};

TEST_F(StorageTest, BytesWrittenAreReadBackAfterReopening) {
  auto w = Create();
  ULONG n = 0;
  EXPECT_EQ(w->Write("hello world", 11, &n), S_OK);
  EXPECT_EQ(n, 11u);
  EXPECT_EQ(Size(w.Get()), 11u);
  w.Reset();

  auto r = Open();
  char buf[32] = {};
  EXPECT_EQ(r->Read(buf, sizeof buf, &n), S_OK);  // short only at the end
  EXPECT_EQ(n, 11u);
  EXPECT_EQ(std::string(buf, n), "hello world");
  EXPECT_EQ(r->Read(buf, sizeof buf, &n), S_OK);
  EXPECT_EQ(n, 0u);
}

TEST_F(StorageTest, SeekAndSetSizeMoveWithinTheStream) {
  auto s = Create();
  s.Reset();
  s = Open(STGM_SHARE_EXCLUSIVE | STGM_READWRITE);
  ASSERT_EQ(s->Write("abcdef", 6, nullptr), S_OK);
  ULONGLONG pos = 0;
  EXPECT_EQ(s->Seek(-4, STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos, 2u);
  char c[2];
  ULONG n = 0;
  EXPECT_EQ(s->Read(c, 2, &n), S_OK);
  EXPECT_EQ(std::string(c, n), "cd");
  EXPECT_EQ(s->Seek(-1, STREAM_SEEK_CUR, &pos), S_OK);
  EXPECT_EQ(pos, 3u);
  EXPECT_EQ(s->Seek(-7, STREAM_SEEK_END, &pos), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(pos, 3u);
  EXPECT_EQ(s->Seek(0, 9, nullptr), STG_E_INVALIDFUNCTION);

  EXPECT_EQ(s->SetSize(2), S_OK);
  EXPECT_EQ(Size(s.Get()), 2u);
  EXPECT_EQ(s->SetSize(1000), S_OK);
  EXPECT_EQ(Size(s.Get()), 1000u);
  // Writing past the end leaves a zero-filled gap.
  EXPECT_EQ(s->Seek(2000, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(s->Write("z", 1, nullptr), S_OK);
  EXPECT_EQ(Size(s.Get()), 2001u);
  EXPECT_EQ(s->Seek(1500, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(s->Read(c, 1, &n), S_OK);
  EXPECT_EQ(c[0], 0);
}

TEST_F(StorageTest, AccessModesAreEnforced) {
  auto w = Create();
  char c;
  ULONG n = 7;
  EXPECT_EQ(w->Read(&c, 1, &n), STG_E_ACCESSDENIED);
  EXPECT_EQ(n, 0u);
  w.Reset();
  auto r = Open();
  EXPECT_EQ(r->Write("x", 1, &n), STG_E_ACCESSDENIED);
  EXPECT_EQ(r->SetSize(0), STG_E_ACCESSDENIED);
}

TEST_F(StorageTest, OnlyOneStreamObjectAtATime) {
  ComPtr<IStream> s;
  EXPECT_EQ(storage_->OpenStream(u"", kReadMode, s.Receive()), STG_E_FILENOTFOUND);
  auto w = Create();
  EXPECT_EQ(storage_->OpenStream(u"", kReadMode, s.Receive()), STG_E_ACCESSDENIED);
  EXPECT_EQ(storage_->CreateStream(u"", kWriteMode, s.Receive()), STG_E_ACCESSDENIED);
  EXPECT_FALSE(s);
  w.Reset();
  EXPECT_EQ(storage_->OpenStream(nullptr, kReadMode, s.Receive()), S_OK);
}

TEST_F(StorageTest, CreateReplacesTheStreamOnlyWithCreateFlag) {
  auto w = Create();
  ASSERT_EQ(w->Write("old", 3, nullptr), S_OK);
  w.Reset();
  EXPECT_EQ(storage_->CreateStream(u"", STGM_SHARE_EXCLUSIVE | STGM_WRITE, w.Receive()),
            STG_E_FILEALREADYEXISTS);
  w = Create();
  EXPECT_EQ(Size(w.Get()), 0u);
}

TEST_F(StorageTest, RefusesWhatItDoesNotModel) {
  ComPtr<IStream> s;
  EXPECT_EQ(storage_->CreateStream(u"named", kWriteMode, s.Receive()), STG_E_INVALIDNAME);
  EXPECT_EQ(storage_->CreateStream(u"", STGM_WRITE, s.Receive()), STG_E_INVALIDFLAG);
  EXPECT_EQ(storage_->OpenStream(u"named", kReadMode, s.Receive()), STG_E_INVALIDNAME);

  ComPtr<IStorage> other;
  EXPECT_EQ(StgCreateDocfile(u"file.stg", kDocfileMode, 0, other.Receive()), STG_E_INVALIDNAME);
  EXPECT_EQ(StgCreateDocfile(nullptr, STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0,
                             other.Receive()),
            STG_E_INVALIDFLAG);
  EXPECT_EQ(StgCreateDocfile(nullptr, STGM_DELETEONRELEASE | STGM_SHARE_EXCLUSIVE | STGM_READ, 0,
                             other.Receive()),
            STG_E_INVALIDFLAG);
  EXPECT_FALSE(other);
}

TEST(StorageLifetime, FileIsGoneFromDiskAndFreedOnLastRelease) {
  const int before = DeletedFilesOpen();
  ASSERT_GE(before, 0);
  ComPtr<IStorage> storage;
  ASSERT_EQ(StgCreateDocfile(nullptr, kDocfileMode, 0, storage.Receive()), S_OK);
  EXPECT_EQ(DeletedFilesOpen(), before + 1);  // held open, never visible by name

  ComPtr<IStream> stream;
  ASSERT_EQ(storage->CreateStream(u"", kWriteMode, stream.Receive()), S_OK);
  storage.Reset();
  // The open stream keeps the file alive on its own.
  EXPECT_EQ(stream->Write("still here", 10, nullptr), S_OK);
  EXPECT_EQ(DeletedFilesOpen(), before + 1);
  stream.Reset();
  EXPECT_EQ(DeletedFilesOpen(), before);
}

TEST(StorageLifetime, CrossesInterfacesAsIUnknown) {
  ComPtr<IStorage> storage;
  ASSERT_EQ(StgCreateDocfile(nullptr, kDocfileMode, 0, storage.Receive()), S_OK);
  IUnknown* unknown = storage.Get();
  auto again = com::QueryInterfacePtr<IStorage>(unknown);
  ASSERT_TRUE(again);
  EXPECT_EQ(again.Get(), storage.Get());
  EXPECT_FALSE(com::QueryInterfacePtr<IStream>(unknown));
}

TEST(FaultyStorage, FailsWhereThePlanSays) {
  auto plan = std::make_shared<storage::testing::FaultPlan>();
  ComPtr<IStorage> storage;
  ASSERT_EQ(storage::testing::CreateFaultyDocfile(plan, storage.Receive()), S_OK);
  ComPtr<IStream> s;
  plan->create_stream = STG_E_MEDIUMFULL;
  EXPECT_EQ(storage->CreateStream(u"", kWriteMode, s.Receive()), STG_E_MEDIUMFULL);
  plan->create_stream = S_OK;
  ASSERT_EQ(storage->CreateStream(u"", kWriteMode, s.Receive()), S_OK);
  plan->write_budget = 5;
  ULONG n = 0;
  EXPECT_EQ(s->Write("abcdefgh", 8, &n), STG_E_MEDIUMFULL);
  EXPECT_EQ(n, 5u);
  plan->write_budget = 2;
  plan->short_count = true;
  EXPECT_EQ(s->Write("abcdefgh", 8, &n), S_OK);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(plan->streams_made, 1);
}

}  // namespace
