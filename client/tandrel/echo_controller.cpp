#include "client/tandrel/echo_controller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "client/soap_client.h"
#include "dime/payload.h"
#include "interfaces/soapstruct.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/text/text.h"

namespace tandrel {
namespace {

// Files go to and from storage in large pieces: one read and one storage
// write per block.
constexpr size_t kBlock = 64 * 1024;
constexpr uint32_t kUnnamedTypeFormat = 3;

constexpr char kInitFailed[] = "Failed to initialize client!";
constexpr char kStructFailed[] = "Failed to instantiate struct object!";
constexpr char kArrayFailed[] = "Failed to create request message byte array!";
constexpr char kPayloadFailed[] = "Failed to create request message payload object!";
constexpr char kInvokeFailed[] = "Invocation failed!";
constexpr char kFaultReturned[] = "Fault Message returned!";
constexpr char kReturnNotStruct[] = "QueryInterface() on return value failed!";
constexpr char kNoFileName[] = "Failed to find filename from response!";
constexpr char kNoFileData[] = "Failed to find echoed file in response!";
constexpr char kNoAttachment[] = "QueryInterface() call on DIME attachment pointer failed!";
constexpr char kSaveFailed[] = "Failed to save echoed file!";

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads up to `length` bytes, retrying short reads; -1 on an error.
ssize_t ReadFull(int fd, uint8_t* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = read(fd, buffer + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool WriteFull(int fd, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// A regular file opened for reading, with its size; -1 for anything else.
int OpenRegular(const std::string& path, uint64_t* size) {
  if (path.empty()) return -1;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

// Writes `path` through a temporary file beside it, renamed over it only when
// every block was written, so a failure leaves the old file as it was.
// `next` fills a block and answers its length, or -1 on an error.
bool WriteReplacing(const std::string& path,
                    const std::function<ssize_t(uint8_t*, size_t)>& next) {
  const std::filesystem::path target(path);
  std::string temp = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  const int raw = mkstemp(temp.data());
  if (raw < 0) return false;
  Fd fd(raw);
  struct stat old {};
  const mode_t mask = umask(0);
  umask(mask);
  const mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : (0666 & ~mask);
  bool ok = fchmod(fd.get(), mode) == 0;
  std::vector<uint8_t> block(kBlock);
  while (ok) {
    const ssize_t n = next(block.data(), block.size());
    if (n < 0 || !WriteFull(fd.get(), block.data(), static_cast<size_t>(n))) {
      ok = false;
    } else if (static_cast<size_t>(n) < block.size()) {
      break;
    }
  }
  ok = ok && fsync(fd.get()) == 0 && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

std::string DirectoryOf(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}
std::string FileNameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

}  // namespace

SAFEARRAY* MakeByteSafeArray(const uint8_t* bytes, size_t count) {
  if (count > std::numeric_limits<ULONG>::max()) return nullptr;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count));
  if (array == nullptr) return nullptr;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) {
    SafeArrayDestroy(array);
    return nullptr;
  }
  if (count > 0) std::memcpy(data, bytes, count);
  SafeArrayUnaccessData(array);
  return array;
}

SAFEARRAY* ReadFileToByteArray(const std::string& path) {
  uint64_t size = 0;
  const int raw = OpenRegular(path, &size);
  if (raw < 0) return nullptr;
  Fd fd(raw);
  if (size > std::numeric_limits<ULONG>::max()) return nullptr;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
  if (!buffer) return nullptr;
  const ssize_t n = ReadFull(fd.get(), buffer.get(), static_cast<size_t>(size));
  if (n < 0 || static_cast<uint64_t>(n) != size) return nullptr;
  return MakeByteSafeArray(buffer.get(), static_cast<size_t>(size));
}

ComPtr<IStorage> CreateDimePayloadFromFile(const std::string& path) {
  uint64_t size = 0;
  const int raw = OpenRegular(path, &size);
  if (raw < 0) return {};
  Fd fd(raw);
  ComPtr<IStorage> storage;
  if (FAILED(StgCreateDocfile(nullptr,
                              STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE |
                                  STGM_DELETEONRELEASE,
                              0, storage.Receive()))) {
    return {};
  }
  ComPtr<IStream> stream;
  if (FAILED(storage->CreateStream(u"", STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE,
                                   stream.Receive()))) {
    return {};
  }
  std::vector<uint8_t> block(kBlock);
  for (;;) {
    const ssize_t n = ReadFull(fd.get(), block.data(), block.size());
    if (n < 0) return {};
    ULONG written = 0;
    if (n > 0 && (FAILED(stream->Write(block.data(), static_cast<ULONG>(n), &written)) ||
                  written != static_cast<ULONG>(n))) {
      return {};
    }
    if (static_cast<size_t>(n) < block.size()) break;
  }
  return storage;
}

EchoController::EchoController(FilePicker& picker, Notifier& notifier, uint32_t timeout_ms)
    : picker_(picker), notifier_(notifier), timeout_ms_(timeout_ms) {}

std::string EchoController::OnBrowse(const std::string& current) {
  const std::optional<std::string> chosen = picker_.PickOpen(
      {"Select file to send in echoDataFile request", DirectoryOf(current), FileNameOf(current)});
  if (!chosen) return current;
  return std::filesystem::absolute(*chosen).string();
}

std::string EchoController::SaveEchoedFile(const std::string& name) {
  const std::optional<std::string> chosen =
      picker_.PickSave({"Save echoed file as...", DirectoryOf(name), "echoed_" + FileNameOf(name)});
  return chosen ? *chosen : std::string();
}

void EchoController::RunExchange(const std::function<void()>& step) {
  if (runner_ != nullptr) {
    runner_->Run(step);
  } else {
    step();
  }
}

void EchoController::OnInvoke(const std::string& wsdl_url, const std::string& path, int mode) {
  client::SoapClient soap(client::DimeProxyProfile(),
                          timeout_ms_ != 0 ? timeout_ms_ : client::DimeProxyProfile().timeout_ms);
  bool bound = false;
  RunExchange([&] {
    bound = soap.Initialize(wsdl_url, "TandrelDIMESvc", "TandrelDIMERpcPort", "",
                            "Quorvel echoDataFile Client/1.0", {}, false, false, 0);
  });
  if (!bound) {
    notifier_.Notify(kInitFailed);
    return;
  }
  ComPtr<ISoapStruct> request;
  if (FAILED(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_SERVER, ISoapStruct::kIid,
                              request.ReceiveVoid())) ||
      !request) {
    notifier_.Notify(kStructFailed);
    return;
  }
  VARIANT_BOOL ok = VARIANT_FALSE;
  {
    Bstr member(u"fileName");
    Variant name = Variant::FromText(text::Widen(path));
    request->SetMember(member.Get(), name, &ok);
  }
  Variant data;
  if (mode == kModeBase64) {
    SAFEARRAY* array = ReadFileToByteArray(path);
    if (array == nullptr) {
      notifier_.Notify(kArrayFailed);
      return;
    }
    data.vt = VT_ARRAY | VT_UI1;
    data.parray = array;
  } else {
    ComPtr<IStorage> storage = CreateDimePayloadFromFile(path);
    if (!storage) {
      notifier_.Notify(kPayloadFailed);
      return;
    }
    data.vt = VT_UNKNOWN;
    data.punkVal = storage.Detach();
  }
  {
    Bstr member(u"fileData");
    request->SetMember(member.Get(), data, &ok);
  }
  Variant argument;
  if (FAILED(request->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&argument.pdispVal))) ||
      argument.pdispVal == nullptr) {
    notifier_.Notify(kStructFailed);
    return;
  }
  argument.vt = VT_DISPATCH;
  request.Reset();

  const std::u16string names[] = {u"inputDataFile"};
  Variant result;
  bool invoked = false;
  RunExchange([&] { invoked = soap.Invoke(u"echoDataFile", names, &argument, 1, &result); });
  if (!invoked) {
    notifier_.Notify(kInvokeFailed);
    return;
  }
  if (soap.IsFaultResponse()) {
    notifier_.Notify(kFaultReturned);
    return;
  }
  // A 204 answer leaves the result empty: only a real struct goes on.
  ComPtr<ISoapStruct> answer;
  if (result.vt != VT_DISPATCH || result.pdispVal == nullptr ||
      FAILED(result.pdispVal->QueryInterface(ISoapStruct::kIid, answer.ReceiveVoid())) ||
      !answer) {
    notifier_.Notify(kReturnNotStruct);
    return;
  }
  const auto member = [&answer](std::u16string_view name, Variant* value) {
    Bstr n(name);
    VARIANT_BOOL found = VARIANT_FALSE;
    return SUCCEEDED(answer->GetMember(n.Get(), value, &found)) && found;
  };
  Variant echoed_name;
  if (!member(u"fileName", &echoed_name)) {
    notifier_.Notify(kNoFileName);
    return;
  }
  Variant echoed_data;
  if (!member(u"fileData", &echoed_data)) {
    notifier_.Notify(kNoFileData);
    return;
  }
  std::string name;
  if (echoed_name.vt == VT_BSTR) {
    name = text::Narrow(std::u16string_view(echoed_name.bstrVal, SysStringLen(echoed_name.bstrVal)));
  }
  if (mode == kModeBase64) {
    SaveBytes(name, echoed_data);
  } else {
    SaveAttachment(name, echoed_data);
  }
}

void EchoController::SaveBytes(const std::string& name, const VARIANT& data) {
  SAFEARRAY* array = data.vt == (VT_ARRAY | VT_UI1) ? data.parray : nullptr;
  LONG low = 0;
  LONG high = -1;
  if (array == nullptr || SafeArrayGetDim(array) != 1 ||
      FAILED(SafeArrayGetLBound(array, 1, &low)) || FAILED(SafeArrayGetUBound(array, 1, &high))) {
    notifier_.Notify(kNoFileData);
    return;
  }
  const std::string chosen = SaveEchoedFile(name);
  if (chosen.empty()) return;
  void* raw = nullptr;
  if (FAILED(SafeArrayAccessData(array, &raw))) {
    notifier_.Notify(kSaveFailed);
    return;
  }
  const auto* bytes = static_cast<const uint8_t*>(raw);
  size_t left = static_cast<size_t>(static_cast<int64_t>(high) - low + 1);
  const bool saved = WriteReplacing(chosen, [&](uint8_t* block, size_t capacity) -> ssize_t {
    const size_t n = left < capacity ? left : capacity;
    std::memcpy(block, bytes, n);
    bytes += n;
    left -= n;
    return static_cast<ssize_t>(n);
  });
  SafeArrayUnaccessData(array);
  if (!saved) notifier_.Notify(kSaveFailed);
}

void EchoController::SaveAttachment(const std::string& name, const VARIANT& data) {
  IUnknown* object = data.vt == VT_UNKNOWN    ? data.punkVal
                     : data.vt == VT_DISPATCH ? data.pdispVal
                                              : nullptr;
  ComPtr<IStorage> storage;
  if (object == nullptr || FAILED(object->QueryInterface(IID_IStorage, storage.ReceiveVoid())) ||
      !storage) {
    notifier_.Notify(kNoAttachment);
    return;
  }
  dime::DimePayload payload(storage.Get(), "", "", kUnnamedTypeFormat);
  storage.Reset();
  const std::string chosen = SaveEchoedFile(name);
  if (chosen.empty()) return;
  if (!payload.OpenStream()) {
    notifier_.Notify(kSaveFailed);
    return;
  }
  const bool saved = WriteReplacing(chosen, [&](uint8_t* block, size_t capacity) -> ssize_t {
    uint32_t read = 0;
    if (!payload.Read(block, static_cast<uint32_t>(capacity), &read)) return -1;
    return static_cast<ssize_t>(read);
  });
  payload.Close();
  if (!saved) notifier_.Notify(kSaveFailed);
}

}  // namespace tandrel
