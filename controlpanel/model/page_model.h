// PageModel: what every property page model shares with its view: the copy
// between controls and members, which the view supplies.
#pragma once

#include <functional>
#include <utility>

namespace controlpanel {

class PageModel {
 public:
  virtual ~PageModel() = default;

  // `exchange(true)` reads the controls into the members, `exchange(false)`
  // shows the members in the controls.
  void SetDataExchange(std::function<void(bool save)> exchange) { exchange_ = std::move(exchange); }
  // Nothing without a view.
  void UpdateData(bool save) {
    if (exchange_) exchange_(save);
  }

 private:
  std::function<void(bool save)> exchange_;
};

}  // namespace controlpanel
