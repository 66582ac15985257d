#pragma once

// One signed-in account offered on the desktop: the XMPP client, the bridge and the chat API
// server, and the loop that drives them. The console program runs it on its main thread; the
// desktop mode on a thread of its own, beside its windows.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "xmpp/client.h"

namespace xmpp {

struct ServiceOptions {
  std::string desktopDir;  // empty: the user's desktop
  std::string stateFile;   // empty: parlavant-xmpp.state in the user's state directory
  ClientOptions client;
};

class AccountService {
 public:
  AccountService(Account account, ServiceOptions options);
  ~AccountService();

  // Runs until Stop() or until the account cannot go on; gives the program's exit status (0
  // after Stop()). Events that tell the user about the connection (online, offline, refused,
  // failed, notices) go to `OnConnection` on the thread that runs this; `OnAvailable` when
  // the desktop API is announced.
  int Run();
  // From any thread.
  void Stop();

  std::function<void(const ClientEvent&)> OnConnection;
  std::function<void(const std::string& bareUser)> OnAvailable;
  // A received message that no program took (no window attached), and how many wait so.
  std::function<void(const std::string& from, const std::string& body)> OnHeld;
  std::function<void(std::size_t waiting)> OnWaiting;

 private:
  Account account_;
  ServiceOptions options_;
  std::atomic<bool> stop_{false};
  std::mutex clientMutex_;  // Stop() may come while Run() ends
  XmppClient* client_ = nullptr;
};

}  // namespace xmpp
