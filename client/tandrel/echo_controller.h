// The logic behind the echo demo's dialog, free of any GUI: it binds to the
// echo service, sends a file as a DIME attachment or as base64, and saves the
// copy that comes back. It talks to the user only through the two seams
// below, so it runs the same under the Qt views and under tests.
//
// Everything runs on the calling thread, which must have entered the
// apartment, except the waits on the network (the WSDL's fetch and the
// exchange), which go through an ExchangeRunner: by default on the calling
// thread too, blocking it up to the proxy's time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/com/variant.h"
#include "platform/storage/storage.h"

namespace tandrel {

// Transfer modes of the dialog's radio group.
inline constexpr int kModeDime = 0;
inline constexpr int kModeBase64 = 1;

struct PickRequest {
  std::string title;
  std::string directory;  // may be empty: the picker's own choice
  std::string file_name;  // proposed name, may be empty
};

class FilePicker {
 public:
  virtual ~FilePicker() = default;
  // The chosen absolute path, or nothing when the user cancels.
  virtual std::optional<std::string> PickOpen(const PickRequest& request) = 0;
  // The same for saving; the picker has confirmed an overwrite already.
  virtual std::optional<std::string> PickSave(const PickRequest& request) = 0;
};

class Notifier {
 public:
  virtual ~Notifier() = default;
  // One box with `text` and an OK button; returns when it is dismissed.
  virtual void Notify(const std::string& text) = 0;
};

// A one-dimensional VT_UI1 array, lower bound 0, holding a copy of the bytes;
// null when it cannot be made.
SAFEARRAY* MakeByteSafeArray(const uint8_t* bytes, size_t count);
// The whole file as a byte array; null when it cannot be opened, is no
// regular file, is too large for an array or cannot be read completely.
SAFEARRAY* ReadFileToByteArray(const std::string& path);
// A temporary compound file whose unnamed stream holds the file; null when
// the file cannot be read completely or the storage refuses.
ComPtr<IStorage> CreateDimePayloadFromFile(const std::string& path);

// Runs a step that waits on the network and returns when it is done. A GUI
// gives one that keeps its window painting meanwhile; the step may then run
// on another thread, which must enter an apartment of its own, while the
// calling thread touches none of the step's objects.
class ExchangeRunner {
 public:
  virtual ~ExchangeRunner() = default;
  virtual void Run(const std::function<void()>& step) = 0;
};

class EchoController {
 public:
  // `timeout_ms` 0 keeps the proxy's own time-out.
  EchoController(FilePicker& picker, Notifier& notifier, uint32_t timeout_ms = 0);

  // Null (the default): the network steps run on the calling thread.
  void SetExchangeRunner(ExchangeRunner* runner) { runner_ = runner; }

  // The path after the user's choice: the chosen one, or `current` on cancel.
  std::string OnBrowse(const std::string& current);
  // One exchange; every failure is reported through the notifier.
  void OnInvoke(const std::string& wsdl_url, const std::string& path, int mode);
  // The path chosen to save the echo of `name` in, empty on cancel.
  std::string SaveEchoedFile(const std::string& name);

 private:
  void SaveBytes(const std::string& name, const VARIANT& data);
  void SaveAttachment(const std::string& name, const VARIANT& data);

  void RunExchange(const std::function<void()>& step);

  FilePicker& picker_;
  Notifier& notifier_;
  uint32_t timeout_ms_;
  ExchangeRunner* runner_ = nullptr;
};

}  // namespace tandrel
