// UiPort: everything the control panel's models show modally or globally.
// The Qt views implement it with real dialogs; tests record the calls and
// script the answers (testing/recording_ui_port.h).
#pragma once

#include <functional>
#include <string>

namespace controlpanel {

// The members of the add and edit service dialogs; the header ProgIDs and
// roles are one blank-separated text each.
struct ServiceFields {
  std::string uri;
  std::string wsdl_url;
  std::string service_name;
  std::string port_name;
  std::string prog_id;
  std::string header_prog_ids;
  std::string roles;
  std::string next_hop_url;
  std::string node_uri;
  bool enabled = false;
};

// The members of the MIME mapping dialogs.
struct MimeFields {
  std::string extension;
  std::string mime_type;
};

class UiPort {
 public:
  virtual ~UiPort() = default;

  // A message box with the application's caption and an OK button.
  virtual void ShowMessage(const std::string& text) = 0;
  // A message box with Yes and No; true for Yes.
  virtual bool AskYesNo(const std::string& text) = 0;
  // The log-on dialog showing `realm` read-only, its two edits empty. On OK
  // true, with what was typed; on Cancel false and nothing written.
  virtual bool LogOn(const std::string& realm, std::string* user_id, std::string* password) = 0;
  // A message box captioned `caption` showing a message text, OK only.
  virtual void ShowBuffer(const std::string& caption, const std::string& text) = 0;
  // The About dialog, modal.
  virtual void ShowAbout() = 0;
  // The wait cursor; calls nest (WaitCursor below pairs them).
  virtual void BeginWaitCursor() = 0;
  virtual void EndWaitCursor() = 0;
  // Runs `exchange`, which waits on the network, and returns when it is done.
  // A window keeps painting meanwhile: the Qt port runs it on a thread of its
  // own (in an apartment of that thread) and takes no user input until it
  // ends. Here it runs on the calling thread.
  virtual void RunExchange(const std::function<void()>& exchange) { exchange(); }

  // The add service dialog, its members empty at start; true on OK with
  // `fields` filled.
  virtual bool AddServiceDialog(ServiceFields* fields) = 0;
  // The edit service dialog filled from `fields` (the URI read-only); true on
  // OK with `fields` rewritten.
  virtual bool EditServiceDialog(ServiceFields* fields) = 0;
  // The add MIME mapping dialog, empty at start; true on OK, the extension
  // upper-cased as the dialog's OK shows it.
  virtual bool AddMimeTypeDialog(MimeFields* fields) = 0;
  // The edit MIME mapping dialog filled from `fields` (extension read-only);
  // true on OK with the MIME type as typed.
  virtual bool EditMimeTypeDialog(MimeFields* fields) = 0;
};

// Shows the wait cursor for the lifetime of the object.
class WaitCursor {
 public:
  explicit WaitCursor(UiPort& ui) : ui_(ui) { ui_.BeginWaitCursor(); }
  ~WaitCursor() { ui_.EndWaitCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  UiPort& ui_;
};

}  // namespace controlpanel
