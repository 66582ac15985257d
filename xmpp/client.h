#pragma once

// One XMPP account's connection through libstrophe, driven from the host's loop: RunOnce() lets
// libstrophe read and write without waiting (its TLS buffers and timers are invisible to a
// wait on the socket, so the host calls it on every turn and caps its waits), and what the
// network brought is taken as events afterwards, never handled inside libstrophe's callbacks.
// A lost connection is made again with a growing pause (at most kMaxBackoffMs); a login the
// server refuses ends the attempts.

#include <strophe.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "xmpp/bridge.h"

namespace xmpp {

inline constexpr int kMaxBackoffMs = 4000;

struct Account {
  std::string jid;
  std::string password;
  std::string host;  // empty: from the JID's domain
  unsigned short port = 0;
  bool plain = false;  // no TLS (only where the host is this machine)
  std::string caFile;  // trusted certificates beside the system's
};

struct ClientEvent {
  // kFailed: the first sign-in failed, the account does not work; kRefused: a later login was
  // refused, and no more attempts follow.
  enum Kind { kOnline, kOffline, kMessage, kRoster, kRefused, kFailed } kind;
  std::string from{}, body{};         // kMessage
  std::vector<std::string> roster{};  // kRoster: the whole roster now
  std::string reason{};               // kOffline, kRefused, kFailed
};

class XmppClient final : public Network {
 public:
  explicit XmppClient(Account account);
  ~XmppClient() override;
  XmppClient(const XmppClient&) = delete;
  XmppClient& operator=(const XmppClient&) = delete;

  // Starts the first connection.
  void Start();
  // Lets libstrophe work without waiting, and makes the connection again when it is time.
  void RunOnce();
  // The socket to wait on beside the desktop; -1 while there is none.
  int Socket() const { return online_ || connecting_ ? socket_ : -1; }
  bool Online() const { return online_; }
  const std::string& BareUser() const { return bare_; }
  std::vector<ClientEvent> TakeEvents();
  // Whether everything handed to the connection has been written to the server.
  bool AllWritten() const;

  bool SendChat(const std::string& to, const std::string& body) override;

 private:
  static void OnConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error,
                           xmpp_stream_error_t* streamError, void* self);
  static int OnMessage(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
  static int OnRosterResult(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
  static int OnRosterPush(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
  static void OnLog(void* self, xmpp_log_level_t level, const char* area, const char* message);
  static int OnCertificateFailure(const xmpp_tlscert_t* cert, const char* errorMessage);
  static int OnSocket(xmpp_conn_t* conn, void* socket);

  void Connect();
  void SignedIn();
  void Lost(int error);
  void Push(ClientEvent event) { events_.push_back(std::move(event)); }
  void SendIq(const char* type, const char* id, const char* childName, const char* ns);
  void RosterChanged(xmpp_stanza_t* iq, bool whole);

  Account account_;
  std::string bare_;
  xmpp_log_t log_{};
  xmpp_ctx_t* ctx_ = nullptr;
  xmpp_conn_t* conn_ = nullptr;
  int socket_ = -1;
  bool connecting_ = false;
  bool online_ = false;
  bool everOnline_ = false;
  bool refused_ = false;  // the server said no to the login
  bool stopped_ = false;  // no more attempts
  std::string failure_;   // the last reason a connection failed
  int backoffMs_ = 250;
  std::chrono::steady_clock::time_point retryAt_{};
  std::set<std::string> roster_;
  std::deque<ClientEvent> events_;
};

}  // namespace xmpp
