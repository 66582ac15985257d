#pragma once

// A history in memory for the window's tests: what a store would keep, without a file.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/history.h"

namespace app {

class MemoryHistory : public History {
 public:
  struct Entry {
    std::string user, contact;
    KeptLine line;
    std::int32_t chatId = 0;
  };
  std::vector<Entry> lines;
  std::map<std::string, std::vector<KeptPage>> pages;  // by user
  std::map<std::string, std::string> shown;
  std::string user;
  int reads = 0;
  std::int64_t nextId = 1;

  void Open(const std::string& u) override { user = u; }
  std::vector<KeptPage> Pages() override { return pages[user]; }
  std::string Shown() override { return shown[user]; }
  std::vector<KeptLine> Lines(const std::string& contact, std::int64_t before,
                              int count) override {
    ++reads;
    std::vector<KeptLine> found;
    for (auto it = lines.rbegin(); it != lines.rend() && static_cast<int>(found.size()) < count;
         ++it) {
      if (it->user == user && it->contact == contact && (before == 0 || it->line.id < before)) {
        found.insert(found.begin(), it->line);
      }
    }
    return found;
  }
  std::int64_t Newest() override { return nextId - 1; }
  void KeepPage(const std::string& contact) override {
    for (const KeptPage& p : pages[user]) {
      if (p.contact == contact) return;
    }
    pages[user].push_back({contact, false});
  }
  void Keep(const std::string& contact, const ConversationLine& line, std::int64_t,
            std::int32_t chatId = 0) override {
    KeepPage(contact);
    lines.push_back({user, contact, {nextId++, line}, chatId});
  }
  bool Kept(const std::string& contact, const ConversationLine& line, std::int32_t chatId,
            std::int64_t) override {
    for (const Entry& k : lines) {
      if (k.user == user && k.contact == contact && k.chatId == chatId && k.line.line == line) {
        return true;
      }
    }
    return false;
  }
  void SetUnread(const std::string& contact, bool unread) override {
    for (KeptPage& p : pages[user]) {
      if (p.contact == contact) p.unread = unread;
    }
  }
  void SetShown(const std::string& contact) override { shown[user] = contact; }
  void Forget(const std::string& contact) override {
    std::erase_if(lines, [&](const Entry& k) { return k.user == user && k.contact == contact; });
  }
  // Told once, as a store tells what it cannot do.
  std::string problem;
  std::string TakeProblem() override { return std::exchange(problem, std::string()); }

  std::vector<std::u16string> TextsOf(const std::string& contact) const {
    std::vector<std::u16string> texts;
    for (const Entry& k : lines) {
      if (k.contact == contact) texts.push_back(k.line.line.text);
    }
    return texts;
  }
};

}  // namespace app
