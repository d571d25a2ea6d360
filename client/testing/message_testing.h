// Test support for the client library: the real message object registered
// into the test binary's own registry, and helpers that fill its request and
// read its answer (buffer, attachments and their storages).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "dime/message.h"
#include "dime/soap_dime.h"
#include "interfaces/quenlin.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/storage/storage.h"

namespace client::testing {

// Registers `components` (with regcomp) into a fresh registry and event log
// of the binary's own, and enters the thread's apartment.
class ComponentEnvironment : public ::testing::Environment {
 public:
  explicit ComponentEnvironment(std::initializer_list<const char*> components)
      : components_(components) {}
  void SetUp() override {
    std::string dir = (std::filesystem::temp_directory_path() / "qvclient.XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    setenv("QUORVEL_REGISTRY", (dir + "/registry").c_str(), 1);
    setenv("QUORVEL_EVENTLOG_FILE", (dir + "/events.txt").c_str(), 1);
    for (const char* component : components_) {
      const std::string command = std::string(QV_REGCOMP) + " -s " + component + " >/dev/null";
      ASSERT_EQ(system(command.c_str()), 0) << component;
    }
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string EventLog() const {
    std::ifstream in(dir_ + "/events.txt");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::vector<const char*> components_;
  std::string dir_;
};

inline ComPtr<Iquenlin2> NewMessage() {
  ComPtr<Iquenlin2> message;
  EXPECT_EQ(CoCreateInstance(CLSID_quenlin2, nullptr, CLSCTX_SERVER, IID_Iquenlin2,
                             message.ReceiveVoid()),
            S_OK);
  return message;
}

inline Variant Bytes(std::string_view bytes) {
  return dime::ByteArrayVariant(dime::MakeByteArray(bytes.data(), bytes.size()));
}

inline std::string ArrayBytes(SAFEARRAY* array) {
  void* data = nullptr;
  if (array == nullptr || FAILED(SafeArrayAccessData(array, &data))) return "<none>";
  std::string out(static_cast<const char*>(data), array->rgsabound[0].cElements);
  SafeArrayUnaccessData(array);
  return out;
}

inline std::string Buffer(Iquenlin2* message) {
  Variant buffer;
  VARIANT_BOOL ok = VARIANT_FALSE;
  message->GetBuffer(buffer.Receive(), &ok);
  return ok == VARIANT_TRUE ? ArrayBytes(buffer.parray) : "<none>";
}

// A temporary storage whose unnamed stream holds `bytes`.
inline ComPtr<IStorage> StorageWith(std::string_view bytes) {
  dime::DimeMessage holder;
  holder.InitSerializer(dime::kRecordSize);
  EXPECT_TRUE(holder.AddPayloadFromBytes(bytes.data(), bytes.size(), "", "", 1));
  return ComPtr<IStorage>(holder.Payload(0)->Storage());
}

inline std::string StorageBytes(IUnknown* unknown) {
  ComPtr<IStorage> storage = com::QueryInterfacePtr<IStorage>(unknown);
  ComPtr<IStream> stream;
  if (!storage ||
      FAILED(storage->OpenStream(u"", STGM_SHARE_EXCLUSIVE | STGM_READ, stream.Receive()))) {
    return "<unreadable>";
  }
  std::string out;
  char buf[65536];
  ULONG n = 0;
  while (SUCCEEDED(stream->Read(buf, sizeof buf, &n)) && n > 0) out.append(buf, n);
  return out;
}

// One OPTIONS field entry: type and length (16 bits each, big-endian), data.
inline std::string Option(uint16_t type, std::string_view data) {
  std::string out;
  out.push_back(static_cast<char>(type >> 8));
  out.push_back(static_cast<char>(type));
  out.push_back(static_cast<char>(data.size() >> 8));
  out.push_back(static_cast<char>(data.size()));
  return out.append(data);
}

struct Attachment {
  std::u16string id, type;
  LONG tnf = 1;
  std::string data;
  std::string options;  // OPTIONS field bytes
  bool operator==(const Attachment&) const = default;
};

inline void AddRequestAttachment(Iquenlin2* message, const Attachment& a) {
  Variant options;
  if (!a.options.empty()) options = Bytes(a.options);
  ComPtr<IStorage> storage = StorageWith(a.data);
  VARIANT_BOOL ok = VARIANT_FALSE;
  message->AddDIMEAttachmentReq(Bstr(a.id).Get(), Bstr(a.type).Get(), a.tnf,
                                static_cast<IUnknown*>(storage.Get()), options, &ok);
  ASSERT_EQ(ok, VARIANT_TRUE);
}

inline std::vector<Attachment> ResponseAttachments(Iquenlin2* message) {
  std::vector<Attachment> out;
  Bstr id, type;
  LONG tnf = 0, position = 0;
  ComPtr<IUnknown> storage;
  Variant options;
  VARIANT_BOOL more = VARIANT_FALSE;
  message->GetFirstDIMEAttachmentResp(id.Receive(), type.Receive(), &tnf, storage.Receive(),
                                      options.Receive(), &position, &more);
  while (more == VARIANT_TRUE) {
    out.push_back({std::u16string(id.View()), std::u16string(type.View()), tnf,
                   StorageBytes(storage.Get()),
                   options.vt == (VT_ARRAY | VT_UI1) ? ArrayBytes(options.parray) : ""});
    more = VARIANT_FALSE;
    message->GetNextDIMEAttachmentResp(id.Receive(), type.Receive(), &tnf, storage.Receive(),
                                       options.Receive(), &position, &more);
  }
  return out;
}

inline ComPtr<Iquenlin2> MessageWith(const std::string& envelope) {
  ComPtr<Iquenlin2> message = NewMessage();
  VARIANT_BOOL ok = VARIANT_FALSE;
  message->SetBuffer(Bytes(envelope), &ok);
  EXPECT_EQ(ok, VARIANT_TRUE);
  return message;
}

}  // namespace client::testing
