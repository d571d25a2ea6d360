// Scripted stand-ins for the controller's picker and notifier.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "client/tandrel/echo_controller.h"

namespace tandrel::testing {

class FakePicker : public FilePicker {
 public:
  std::optional<std::string> PickOpen(const PickRequest& request) override {
    opens.push_back(request);
    return Next();
  }
  std::optional<std::string> PickSave(const PickRequest& request) override {
    saves.push_back(request);
    return Next();
  }
  std::deque<std::optional<std::string>> answers;  // nothing left: cancel
  std::vector<PickRequest> opens;
  std::vector<PickRequest> saves;

 private:
  std::optional<std::string> Next() {
    if (answers.empty()) return std::nullopt;
    std::optional<std::string> a = answers.front();
    answers.pop_front();
    return a;
  }
};

class FakeNotifier : public Notifier {
 public:
  void Notify(const std::string& text) override { texts.push_back(text); }
  std::vector<std::string> texts;
};

}  // namespace tandrel::testing
