#include "controlpanel/model/sheet_controller.h"

#include "controlpanel/model/texts.h"

namespace controlpanel {

void SheetController::AddPage(std::string title, PageFactory make) {
  pages_.push_back({std::move(title), std::move(make), nullptr});
}

std::string SheetController::Title(size_t index) const {
  if (index == 0) return texts::kConnectTitle;
  return index <= pages_.size() ? pages_[index - 1].title : std::string();
}

ServerPage* SheetController::Page(size_t index) const {
  if (index == 0 || index > pages_.size()) return nullptr;
  return pages_[index - 1].page.get();
}

bool SheetController::LeaveCurrent() { return current_ != 0 || connect_.OnKillActive(); }

bool SheetController::SelectPage(size_t index) {
  if (index == current_ || index >= PageCount()) return index == current_;
  if (!LeaveCurrent()) return false;
  current_ = index;
  if (index == 0) return true;
  Entry& entry = pages_[index - 1];
  if (!entry.page) {
    entry.page = entry.make();
    entry.page->SetModifiedListener([this] { NotifyApply(); });
    if (on_created_) on_created_(index, *entry.page);
    entry.page->OnInitDialog();
  }
  return true;
}

bool SheetController::Apply() {
  if (!LeaveCurrent()) return false;
  for (Entry& entry : pages_) {
    if (entry.page) entry.page->OnOK();
  }
  NotifyApply();
  return true;
}

bool SheetController::ApplyEnabled() const {
  for (const Entry& entry : pages_) {
    if (entry.page && entry.page->IsModified()) return true;
  }
  return false;
}

void SheetController::NotifyApply() {
  if (on_apply_) on_apply_(ApplyEnabled());
}

}  // namespace controlpanel
