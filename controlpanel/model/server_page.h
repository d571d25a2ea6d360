// ServerPage: what the pages that read from and write to the server share.
// The first activation reads with the retry on an expired nonce; a change by
// the user marks the page modified; Apply or OK writes a modified page with
// the same retry. Every final failure is reported with the page's message.
#pragma once

#include <functional>
#include <string>

#include "controlpanel/model/control_panel_app.h"
#include "controlpanel/model/page_model.h"
#include "controlpanel/model/ui_port.h"

namespace controlpanel {

class ServerPage : public PageModel {
 public:
  ServerPage(CControlPanelApp& app, UiPort& ui) : app_(app), ui_(ui) {}

  // First activation: the list's set-up (its failure reported, the read runs
  // all the same), then the read. Always true.
  bool OnInitDialog();
  // Apply or OK: reads the controls; a modified page is written. True when
  // nothing needed writing or the write succeeded (the flag is then clear).
  bool OnOK();

  // Marks the page modified (or not) and tells the sheet.
  void SetModified(bool modified = true);
  bool IsModified() const { return modified_; }
  // Whether the last read, retry included, succeeded.
  bool ReadSucceeded() const { return read_succeeded_; }

  // The sheet's hook for Apply enablement.
  void SetModifiedListener(std::function<void()> listener) { on_modified_ = std::move(listener); }

 protected:
  // The list's columns; false when they cannot be made.
  virtual bool SetUpList() { return true; }
  // One attempt of the read call, storing what came back and showing it.
  virtual bool Read() = 0;
  // One attempt of the write call.
  virtual bool Write() { return true; }
  // The page's messages; an empty text for a page without that step.
  virtual std::string ListFailedMessage() const { return {}; }
  virtual std::string ReadFailedMessage() const = 0;
  virtual std::string WriteFailedMessage() const { return {}; }

  CControlPanelApp& app_;
  UiPort& ui_;

 private:
  bool modified_ = false;
  bool read_succeeded_ = false;
  std::function<void()> on_modified_;
};

}  // namespace controlpanel
