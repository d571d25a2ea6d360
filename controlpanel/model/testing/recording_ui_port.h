// A UiPort for tests: records every call in order and answers from queues
// the test fills. An empty queue answers No or Cancel.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "controlpanel/model/texts.h"
#include "controlpanel/model/ui_port.h"

namespace controlpanel::testing {

struct UiEvent {
  enum class Kind {
    Message, Question, LogOn, Buffer, About, AddService, EditService, AddMime, EditMime
  };
  Kind kind;
  std::string caption;
  std::string text;  // the message, the question, the realm shown or the buffer
  bool operator==(const UiEvent&) const = default;
};

struct LogOnAnswer {
  std::string user_id;
  std::string password;
};

class RecordingUiPort : public UiPort {
 public:
  void ShowMessage(const std::string& text) override {
    events.push_back({UiEvent::Kind::Message, texts::kAppCaption, text});
  }
  bool AskYesNo(const std::string& text) override {
    events.push_back({UiEvent::Kind::Question, texts::kAppCaption, text});
    return Pop(yes_no_answers).value_or(false);
  }
  bool LogOn(const std::string& realm, std::string* user_id, std::string* password) override {
    events.push_back({UiEvent::Kind::LogOn, texts::kLogonCaption, realm});
    std::optional<std::optional<LogOnAnswer>> answer = Pop(logon_answers);
    if (!answer || !*answer) return false;
    *user_id = (*answer)->user_id;
    *password = (*answer)->password;
    return true;
  }
  void ShowBuffer(const std::string& caption, const std::string& text) override {
    events.push_back({UiEvent::Kind::Buffer, caption, text});
  }
  void ShowAbout() override { events.push_back({UiEvent::Kind::About, texts::kAboutCaption, ""}); }
  void BeginWaitCursor() override {
    ++wait_depth;
    ++wait_cursors;
  }
  void EndWaitCursor() override { --wait_depth; }
  bool AddServiceDialog(ServiceFields* fields) override {
    events.push_back({UiEvent::Kind::AddService, texts::kAddServiceCaption, fields->uri});
    return Answer(service_answers, fields);
  }
  bool EditServiceDialog(ServiceFields* fields) override {
    events.push_back({UiEvent::Kind::EditService, texts::kEditServiceCaption, fields->uri});
    shown_services.push_back(*fields);
    return Answer(service_answers, fields);
  }
  bool AddMimeTypeDialog(MimeFields* fields) override {
    events.push_back({UiEvent::Kind::AddMime, texts::kAddMimeCaption, fields->extension});
    return Answer(mime_answers, fields);
  }
  bool EditMimeTypeDialog(MimeFields* fields) override {
    events.push_back({UiEvent::Kind::EditMime, texts::kEditMimeCaption, fields->extension});
    shown_mime.push_back(*fields);
    return Answer(mime_answers, fields);
  }

  // The texts of the message boxes shown, in order.
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (const UiEvent& e : events) {
      if (e.kind == UiEvent::Kind::Message) out.push_back(e.text);
    }
    return out;
  }
  size_t Count(UiEvent::Kind kind) const {
    size_t n = 0;
    for (const UiEvent& e : events) n += e.kind == kind ? 1 : 0;
    return n;
  }

  std::vector<UiEvent> events;
  // Answers in order; an empty optional is Cancel.
  std::deque<std::optional<LogOnAnswer>> logon_answers;
  std::deque<bool> yes_no_answers;
  std::deque<std::optional<ServiceFields>> service_answers;
  std::deque<std::optional<MimeFields>> mime_answers;
  // What the edit dialogs were filled with.
  std::vector<ServiceFields> shown_services;
  std::vector<MimeFields> shown_mime;
  int wait_depth = 0;
  int wait_cursors = 0;

 private:
  template <typename T>
  static std::optional<T> Pop(std::deque<T>& queue) {
    if (queue.empty()) return std::nullopt;
    T front = std::move(queue.front());
    queue.pop_front();
    return front;
  }
  template <typename T>
  static bool Answer(std::deque<std::optional<T>>& queue, T* fields) {
    std::optional<std::optional<T>> answer = Pop(queue);
    if (!answer || !*answer) return false;
    *fields = **answer;
    return true;
  }
};

}  // namespace controlpanel::testing
