// SheetController: the property sheet without its widgets. The Connect page
// comes first and guards every way off it (tab change, OK, Apply) until a
// connection succeeded; the other pages are made on their first activation
// and applied in page order; Apply is enabled while a made page is modified.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controlpanel/model/server_page.h"
#include "controlpanel/model/svc_stats_page.h"

namespace controlpanel {

class SheetController {
 public:
  using PageFactory = std::function<std::unique_ptr<ServerPage>()>;

  explicit SheetController(CSvcStatsPage& connect) : connect_(connect) {}

  // Adds the next page after Connect.
  void AddPage(std::string title, PageFactory make);
  // Connect included.
  size_t PageCount() const { return pages_.size() + 1; }
  std::string Title(size_t index) const;
  size_t CurrentPage() const { return current_; }
  // A page after Connect once made, else null (also for index 0).
  ServerPage* Page(size_t index) const;

  // Runs after a page is made and before its first read, so a view can
  // attach its data exchange.
  void SetPageCreatedListener(std::function<void(size_t, ServerPage&)> listener) {
    on_created_ = std::move(listener);
  }
  // Runs whenever Apply's enablement may have changed.
  void SetApplyListener(std::function<void(bool enabled)> listener) {
    on_apply_ = std::move(listener);
  }

  // Moves to page `index`, making it on its first activation. False when
  // the Connect page refuses to be left.
  bool SelectPage(size_t index);
  // OnOK of every made page in order. False when the guard refused; else
  // true, also when a write failed (it was reported).
  bool Apply();
  // Like Apply; true when the sheet closes.
  bool Ok() { return Apply(); }
  bool ApplyEnabled() const;

 private:
  bool LeaveCurrent();
  void NotifyApply();

  struct Entry {
    std::string title;
    PageFactory make;
    std::unique_ptr<ServerPage> page;
  };
  CSvcStatsPage& connect_;
  std::vector<Entry> pages_;
  size_t current_ = 0;
  std::function<void(size_t, ServerPage&)> on_created_;
  std::function<void(bool)> on_apply_;
};

}  // namespace controlpanel
