#pragma once

// A program on the chat client's desktop API, as Parlavant is one but without its window: it
// attaches (again whenever the API is announced), reads every received chat message whole, and
// records the status of every message it sends. The test pumps its desktop.
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "chatlink/skype_control.h"
#include "platform/app_window.h"
#include "platform/desktop.h"

namespace testsupport {

class ApiProgram {
 public:
  struct Received {
    std::string from, body;
  };

  explicit ApiProgram(platform::Desktop& desktop)
      : desktop_(desktop), app_(desktop, "Program"), link_(app_) {
    link_.AutoReAttach = true;
    link_.OnAttachSuccess = [this](chatlink::TSkypeControl&) { attached_ = true; };
    link_.OnChatMsgInfo = [this](std::int32_t id, chatlink::TSkypeChatMsgProperty property,
                                 const std::string& data) {
      if (property == chatlink::cmStatus) {
        if (data == "RECEIVED") {
          link_.GetChatMessageProperty(id, chatlink::cmFromHandle);
          link_.GetChatMessageProperty(id, chatlink::cmBody);
        } else {
          if (!status_.count(id)) newest_ = id;
          status_[id] = data;
        }
        return;
      }
      if (property != chatlink::cmFromHandle && property != chatlink::cmBody) return;
      Received& r = pending_[id];
      (property == chatlink::cmBody ? r.body : r.from) = data;
      if (r.from.empty() || r.body.empty()) return;
      received_.push_back(r);
      pending_.erase(id);
    };
    link_.Attach(4);
  }

  // Handles what the desktop has for `ms` milliseconds.
  void Pump(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (auto now = std::chrono::steady_clock::now(); now < end;
         now = std::chrono::steady_clock::now()) {
      desktop_.WaitAndProcess(static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1));
    }
  }
  template <typename Done>
  bool PumpUntil(Done done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      Pump(5);
    }
    return true;
  }

  bool Attached() const { return attached_; }
  // Asks the client something it answers at once: returns when the answer has come.
  void Ping() { link_.SendCommand("PING"); }
  // Sends a chat message; its id, or -1 when the client refused the command.
  std::int32_t Send(const std::string& to, const std::string& body) {
    newest_ = -1;
    link_.SendChatMessage(to, body);  // the client answers while the command is in flight
    return newest_;
  }
  std::string Status(std::int32_t id) const {
    auto it = status_.find(id);
    return it == status_.end() ? "" : it->second;
  }
  const std::vector<Received>& ReceivedMessages() const { return received_; }

 private:
  platform::Desktop& desktop_;
  platform::ApplicationWindow app_;
  chatlink::TSkypeControl link_;
  bool attached_ = false;
  std::map<std::int32_t, Received> pending_;
  std::map<std::int32_t, std::string> status_;
  std::int32_t newest_ = -1;
  std::vector<Received> received_;
};

}  // namespace testsupport
