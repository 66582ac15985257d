#pragma once

// One XMPP account's connection through libstrophe, on a network thread of its own: libstrophe
// parses and renders every stanza recursively and slows with many elements, so neither a deep
// nor a wide stanza may hold up the desktop API, and the thread's stack is large enough for
// every stanza a server passes (see kNetworkStackBytes). The host hands messages in and takes
// events out from its own thread; a descriptor tells it when events wait.
//
// A lost connection is made again with a growing pause (at most kMaxBackoffMs); every attempt
// has a deadline; a connection whose server stops answering is taken down (TCP keep-alive, and
// the session's probe); a login the server refuses ends the attempts.
//
// Every connection binds the same resource. The server then ends a connection it still holds
// for the account under that name the moment the next one binds (its conflict rule): bytes of
// the old connection that a relay delivers late are never taken after the new connection's
// archive check (they would double what the check wrote again), and what the server had
// written into the old connection unacknowledged goes to its offline store, and so to the new
// connection, instead of back to the sender as an error. A connection ended because another
// took its name (another program with the same saved resource), or refused it (a server that
// keeps the first connection), goes on under a new name, so that two programs never take turns
// ending each other.

#include <strophe.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket_id.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "xmpp/bridge.h"
#include "xmpp/session.h"

namespace xmpp {

inline constexpr int kMaxBackoffMs = 4000;
// libstrophe 0.12 renders and frees a stanza recursively, some 200 bytes of stack a level (more
// under ASan): this is room for about a million levels, where a server's stanza limit of 256 KiB
// holds at most 37,449. Only touched pages are ever committed.
inline constexpr std::size_t kNetworkStackBytes = std::size_t{512} << 20;

struct Account {
  std::string jid;
  std::string password;
  std::string host;  // empty: from the JID's domain
  unsigned short port = 0;
  bool plain = false;  // no TLS (only where the host is this machine)
  std::string caFile;  // trusted certificates beside the system's
  // The resource every connection binds, where the JID names none; empty: one of the client's
  // making. See XmppClient.
  std::string resource;
};

struct ClientOptions {
  SessionOptions session;
  int connectTimeoutMs = 30000;  // an attempt not signed in by then is given up
  int keepAliveIdleS = 30, keepAliveIntervalS = 10, keepAliveCount = 3;
  // A program that has signed in with this account before (a saved account, the network down
  // at start) keeps trying; otherwise the first attempt decides whether the account works.
  bool retryUntilOnline = false;
};

class XmppClient final : public Network {
 public:
  XmppClient(Account account, ClientOptions options = {});
  ~XmppClient() override;
  XmppClient(const XmppClient&) = delete;
  XmppClient& operator=(const XmppClient&) = delete;

  // Starts the network thread and its first connection.
  void Start();
  const std::string& BareUser() const { return bare_; }
  // The resource the connections bind; read it before Start().
  const std::string& Resource() const { return resource_; }
  // Readable while events wait; TakeEvents() lowers it.
  platform::SocketId WakeHandle() const { return hostWake_.Handle(); }
  std::vector<ClientEvent> TakeEvents();
  // Makes WakeHandle() readable, so that a host waiting on it looks at its own state; from any
  // thread.
  void WakeHost() { hostWake_.Signal(); }

  // Network; from the host's thread.
  void SendChat(OutgoingChat message) override;
  void SetArchivePoint(const std::string& archiveId) override;

 private:
  class ConnTransport;

  static void OnConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error,
                           xmpp_stream_error_t* streamError, void* self);
  static int OnStanza(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
  static void OnLog(void* self, xmpp_log_level_t level, const char* area, const char* message);
  static int OnCertificateFailure(const xmpp_tlscert_t* cert, const char* errorMessage);
  static int OnSocket(xmpp_conn_t* conn, void* socket);

  // The network thread.
  void Run();
  void Loop();
  void Connect();
  void Lost(int error);
  void ForceDown(const std::string& reason);
  void Publish(std::vector<ClientEvent> events);
  // Another connection took the resource (`ended`: this one), or the server keeps one with it:
  // the next connection binds a new one.
  void Renamed(bool ended);
  Phase CurrentPhase() const { return session_->CurrentPhase(); }

  Account account_;
  ClientOptions options_;
  std::string bare_;
  std::string resource_;
  xmpp_log_t log_{};
  xmpp_ctx_t* ctx_ = nullptr;
  xmpp_conn_t* conn_ = nullptr;
  std::unique_ptr<ConnTransport> transport_;
  std::unique_ptr<Session> session_;

  // Owned by the network thread once it runs.
  platform::SocketId socket_ = platform::kNoSocket;
  bool everOnline_ = false;
  bool smOffered_ = false;       // this attempt's server offered stream management
  bool refused_ = false;         // the server said no to this attempt's login
  bool bindRefused_ = false;     // the server said no to this attempt's resource
  bool stopped_ = false;         // no more attempts
  std::string failure_;          // why this attempt failed, where libstrophe says it
  std::string tlsError_;         // the TLS library's last reason in this attempt
  bool closedByServer_ = false;  // the connection ended from the server's side
  ClientEvent::Cause cause_ = ClientEvent::kNoCause;
  std::exception_ptr callbackFailure_;
  int backoffMs_ = 250;
  Clock::time_point retryAt_{}, attemptDeadline_{};

  // Between the threads.
  std::mutex mutex_;
  std::deque<OutgoingChat> inbox_;
  std::optional<std::string> archivePoint_;
  std::vector<ClientEvent> events_;
  std::atomic<bool> stop_{false};
  platform::Wakeup networkWake_, hostWake_;
  std::unique_ptr<platform::Thread> thread_;

  // libstrophe's TLS handshake waits inside one call for as long as the server is silent (for
  // ever, and Stop cannot end it): a guard of its own cuts the connection under it once the
  // attempt's deadline has passed or the program stops.
  void Guard();
  std::atomic<platform::SocketId> liveSocket_{platform::kNoSocket};
  std::atomic<Clock::rep> cutAfter_{0};  // while the network thread is in a connecting call
  std::atomic<bool> cut_{false};
  std::mutex guardMutex_;
  std::condition_variable guardWake_;
  bool guardEnd_ = false;
  std::thread guard_;
};

}  // namespace xmpp
