#include "xmpp/client.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <random>
#include <string_view>
#include <utility>

#include "platform/os_error.h"
#include "platform/socket_options.h"
#include "xmpp/stanza.h"

namespace xmpp {
namespace {

// libstrophe tells a socket and a certificate failure to no particular owner; one client a
// process is all this program has.
XmppClient* g_client = nullptr;

// The longest the network thread sleeps: libstrophe's TLS buffers are invisible to a wait on
// the socket, and deadlines are looked at on every turn.
constexpr int kLoopCapMs = 50;
// How long a stopping client waits for the server to acknowledge what is still unacknowledged.
constexpr int kDrainMs = 2000;
// How libstrophe says a connect failed, its error number after it.
constexpr char kConnectFailed[] = "connection failed, error ";
// How often the guard looks at a call that may be stuck in a handshake: the attempt's deadline
// is seconds long, and a stop needs no sooner answer.
constexpr auto kGuardLook = std::chrono::milliseconds(250);

bool StartsWith(const char* text, std::string_view prefix) {
  return text != nullptr && std::string_view(text).substr(0, prefix.size()) == prefix;
}

bool EndsWith(const char* text, std::string_view suffix) {
  if (text == nullptr) return false;
  const std::string_view view(text);
  return view.size() >= suffix.size() && view.substr(view.size() - suffix.size()) == suffix;
}

// The server's stream features as libstrophe logs them on arrival: with the stream's prefix, or
// (libstrophe 0.12) as a features element in the streams namespace.
bool IsStreamFeatures(const char* message) {
  if (StartsWith(message, "RECV: <stream:features")) return true;
  if (!StartsWith(message, "RECV: <features ")) return false;
  const std::string_view line(message);
  const std::string_view tag = line.substr(0, line.find('>'));
  return tag.find("http://etherx.jabber.org/streams") != std::string_view::npos;
}

// A resource nobody else picks: the program's name and 64 random bits.
std::string NewResource() {
  std::random_device random;
  char text[32];
  std::snprintf(text, sizeof text, "parlavant-%08x%08x", random(), random());
  return text;
}

std::string Seconds(int ms) {
  return std::to_string(ms / 1000) + " s";
}

}  // namespace

class XmppClient::ConnTransport final : public Transport {
 public:
  explicit ConnTransport(xmpp_conn_t* conn) : conn_(conn) {}
  void Send(xmpp_stanza_t* stanza) override { xmpp_send(conn_, stanza); }

 private:
  xmpp_conn_t* conn_;
};

XmppClient::XmppClient(Account account, ClientOptions options)
    : account_(std::move(account)), options_(options) {
  bare_ = BareJid(account_.jid);
  const std::size_t slash = account_.jid.find('/');
  resource_ = slash != std::string::npos   ? account_.jid.substr(slash + 1)
              : !account_.resource.empty() ? account_.resource
                                           : NewResource();
  xmpp_initialize();
  // Every log line comes here and is only looked at, never printed: libstrophe's debug lines
  // carry the authentication exchange.
  log_.handler = &XmppClient::OnLog;
  log_.userdata = this;
  ctx_ = xmpp_ctx_new(nullptr, &log_);
  conn_ = ctx_ != nullptr ? xmpp_conn_new(ctx_) : nullptr;
  if (conn_ == nullptr) throw std::bad_alloc();
  // Stream management is done by the session: libstrophe 0.12's own counts wrong and resends
  // stale queues (see session.h).
  long flags = XMPP_CONN_FLAG_DISABLE_SM |
               (account_.plain ? XMPP_CONN_FLAG_DISABLE_TLS : XMPP_CONN_FLAG_MANDATORY_TLS);
  xmpp_conn_set_flags(conn_, flags);
  if (!account_.caFile.empty()) xmpp_conn_set_cafile(conn_, account_.caFile.c_str());
  xmpp_conn_set_certfail_handler(conn_, &XmppClient::OnCertificateFailure);
  xmpp_conn_set_sockopt_callback(conn_, &XmppClient::OnSocket);
  xmpp_conn_set_jid(conn_, (bare_ + '/' + resource_).c_str());
  xmpp_conn_set_pass(conn_, account_.password.c_str());
  // The connection keeps its own copy.
  std::fill(account_.password.begin(), account_.password.end(), '\0');
  xmpp_handler_add(conn_, &XmppClient::OnStanza, nullptr, nullptr, nullptr, this);
  transport_ = std::make_unique<ConnTransport>(conn_);
  session_ = std::make_unique<Session>(ctx_, bare_, options_.session);
  g_client = this;
}

XmppClient::~XmppClient() {
  stop_ = true;
  networkWake_.Signal();
  guardWake_.notify_all();
  thread_.reset();  // joins; the guard cuts a handshake that would hold it
  {
    std::lock_guard<std::mutex> lock(guardMutex_);
    guardEnd_ = true;
  }
  guardWake_.notify_all();
  if (guard_.joinable()) guard_.join();
  xmpp_conn_release(conn_);
  xmpp_ctx_free(ctx_);
  xmpp_shutdown();
  g_client = nullptr;
}

void XmppClient::Start() {
  guard_ = std::thread([this] { Guard(); });
  thread_ = platform::StartThread(kNetworkStackBytes, [this] { Run(); });
}

void XmppClient::Guard() {
  std::unique_lock<std::mutex> lock(guardMutex_);
  while (!guardEnd_) {
    const Clock::rep after = cutAfter_;
    if (after != 0 && (stop_ || Clock::now().time_since_epoch().count() >= after) &&
        !cut_.exchange(true)) {
      // A shut-down socket ends the wait at once; the network thread closes it as usual.
      const platform::SocketId socket = liveSocket_;
      if (socket != platform::kNoSocket) platform::ShutDownSocket(socket);
    }
    guardWake_.wait_for(lock, kGuardLook);
  }
}

std::vector<ClientEvent> XmppClient::TakeEvents() {
  hostWake_.Clear();
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ClientEvent> taken;
  taken.swap(events_);
  return taken;
}

void XmppClient::SendChat(OutgoingChat message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    inbox_.push_back(std::move(message));
  }
  networkWake_.Signal();
}

void XmppClient::SetArchivePoint(const std::string& archiveId) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    archivePoint_ = archiveId;
  }
  networkWake_.Signal();
}

void XmppClient::Publish(std::vector<ClientEvent> events) {
  if (events.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ClientEvent& event : events) events_.push_back(std::move(event));
  }
  hostWake_.Signal();
}

void XmppClient::Run() {
  try {
    Loop();
  } catch (const std::exception& e) {
    // Nothing the network side can go on from (no memory, a wait the system refuses): the
    // host ends with the reason.
    Publish({ClientEvent::Failed(std::string("the network side failed: ") + e.what())});
  }
  if (CurrentPhase() != Phase::kIdle) {
    xmpp_disconnect(conn_);
    for (int i = 0; i < 20 && !xmpp_conn_is_disconnected(conn_); ++i) xmpp_run_once(ctx_, 10);
  }
}

void XmppClient::Loop() {
  Connect();
  std::optional<Clock::time_point> drainUntil;
  for (;;) {
    if (stop_) {
      // What the user sent last gets a moment to reach the server before the program goes.
      if (!drainUntil) drainUntil = Clock::now() + std::chrono::milliseconds(kDrainMs);
      if (!IsSignedIn(CurrentPhase()) || session_->WaitingCount() == 0 ||
          Clock::now() >= *drainUntil) {
        break;
      }
    }
    const int ready =
        platform::WaitReadable(CurrentPhase() == Phase::kIdle ? platform::kNoSocket : socket_,
                               networkWake_.Handle(), kLoopCapMs);
    networkWake_.Clear();
    // Bytes from the server prove the path alive, also while one large stanza takes libstrophe
    // longer than the acknowledgement time to parse.
    if (ready & 1) session_->Heard(Clock::now());
    std::deque<OutgoingChat> inbox;
    std::optional<std::string> point;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      inbox.swap(inbox_);
      point.swap(archivePoint_);
    }
    if (point) session_->SetArchivePoint(*point);
    for (OutgoingChat& message : inbox) session_->Queue(std::move(message), Clock::now());
    cutAfter_ =
        CurrentPhase() == Phase::kConnecting ? attemptDeadline_.time_since_epoch().count() : 0;
    xmpp_run_once(ctx_, 0);
    cutAfter_ = 0;
    // An exception may not cross libstrophe's C frames: a handler keeps it for here.
    if (callbackFailure_) std::rethrow_exception(std::exchange(callbackFailure_, nullptr));

    const auto now = Clock::now();
    if (session_->Tick(now) && IsSignedIn(CurrentPhase())) {
      ForceDown("the server did not answer for " + Seconds(options_.session.ackTimeoutMs));
    }
    if (CurrentPhase() == Phase::kConnecting && now >= attemptDeadline_) {
      ForceDown("no answer from the server within " + Seconds(options_.connectTimeoutMs));
    }
    if (CurrentPhase() == Phase::kIdle && !stopped_ && !stop_ && now >= retryAt_) Connect();
    Publish(session_->TakeEvents());
  }
}

void XmppClient::Connect() {
  failure_.clear();
  tlsError_.clear();
  closedByServer_ = false;
  cause_ = ClientEvent::kNoCause;
  refused_ = false;
  bindRefused_ = false;
  smOffered_ = false;
  socket_ = platform::kNoSocket;
  session_->Connecting();
  attemptDeadline_ = Clock::now() + std::chrono::milliseconds(options_.connectTimeoutMs);
  const char* host = account_.host.empty() ? nullptr : account_.host.c_str();
  if (xmpp_connect_client(conn_, host, account_.port, &XmppClient::OnConnection, this) !=
      XMPP_EOK) {
    // libstrophe connects without blocking: what fails at once is finding the address.
    const std::string name = host != nullptr ? account_.host : bare_.substr(bare_.find('@') + 1);
    failure_ = "no address found for " + name;
    cause_ = host != nullptr ? ClientEvent::kUnreachable : ClientEvent::kDomain;
    Lost(0);
  }
}

void XmppClient::ForceDown(const std::string& reason) {
  failure_ = reason;
  session_->Closing();
  // The connection may be dead without knowing it: its next read sees the end at once.
  if (socket_ != platform::kNoSocket) {
    platform::ShutDownSocket(socket_);
  } else {
    xmpp_disconnect(conn_);
  }
}

void XmppClient::Lost(int error) {
  const bool wasOnline = session_->IsBound();
  socket_ = platform::kNoSocket;
  liveSocket_ = platform::kNoSocket;
  session_->Lost();
  if (cut_.exchange(false) && !stop_) {
    failure_ = "no answer from the server within " + Seconds(options_.connectTimeoutMs);
  }
  std::string reason = failure_;
  // libstrophe hands on the TLS library's error code where a secured connection broke, as if
  // it were the system's (1, "Operation not permitted", for a server that went away).
  if (reason.empty() && closedByServer_) reason = "the server closed the connection";
  if (reason.empty() && error != 0) {
    reason = platform::OsErrorText(platform::SocketErrorFromC(error));
  }
  if (reason.empty()) reason = wasOnline ? "the connection was closed" : "the connection failed";
  const ClientEvent::Cause cause = refused_ ? ClientEvent::kPassword : cause_;
  std::vector<ClientEvent> events;
  if (refused_) {
    // A password that no longer works will not work next time either: no more attempts.
    stopped_ = true;
    const std::string refusal = "the server refused the login for " + bare_;
    events.push_back(everOnline_
                         ? ClientEvent::Refused(refusal + "; no more attempts to connect", cause)
                         : ClientEvent::Failed(refusal, cause));
  } else if (!everOnline_ && !options_.retryUntilOnline && !bindRefused_) {
    // The first attempt decides whether the account works at all: the host ends with its reason.
    stopped_ = true;
    events.push_back(ClientEvent::Failed("cannot sign in as " + bare_ + ": " + reason, cause));
  } else {
    retryAt_ = Clock::now() + std::chrono::milliseconds(backoffMs_);
    // Every failed attempt is told, so that a host can show why it is still connecting.
    events.push_back(ClientEvent::Offline(reason, cause, backoffMs_, wasOnline));
    backoffMs_ = std::min(backoffMs_ * 2, kMaxBackoffMs);
  }
  auto sessionEvents = session_->TakeEvents();
  sessionEvents.insert(sessionEvents.end(), events.begin(), events.end());
  Publish(std::move(sessionEvents));
}

void XmppClient::Renamed(bool ended) {
  const std::string old = bare_ + '/' + std::exchange(resource_, NewResource());
  xmpp_conn_set_jid(conn_, (bare_ + '/' + resource_).c_str());
  Publish({ClientEvent::Notice(
      (ended ? "another connection signed in as " + old + ", which ended this one"
             : "the server keeps another connection as " + old) +
      "; this program goes on as " + bare_ + '/' + resource_)});
}

void XmppClient::OnConnection(xmpp_conn_t*, xmpp_conn_event_t event, int error,
                              xmpp_stream_error_t* streamError, void* self) {
  auto* client = static_cast<XmppClient*>(self);
  try {
    if (event == XMPP_CONN_CONNECT) {
      client->everOnline_ = true;
      client->backoffMs_ = 250;
      client->session_->Bound(*client->transport_, client->smOffered_, Clock::now());
      return;
    }
    if (streamError != nullptr && streamError->text != nullptr && client->failure_.empty()) {
      client->failure_ = streamError->text;
    }
    const bool conflict = streamError != nullptr && streamError->type == XMPP_SE_CONFLICT;
    const bool bindRefused = client->bindRefused_;
    client->Lost(error);
    // A server that keeps the first of two connections with one resource refuses the second
    // its name (most likely our own last connection, dead without the server knowing).
    if (conflict || bindRefused) client->Renamed(conflict);
  } catch (...) {
    client->callbackFailure_ = std::current_exception();
  }
}

int XmppClient::OnStanza(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self) {
  auto* client = static_cast<XmppClient*>(self);
  try {
    client->session_->Handle(stanza, Clock::now());
  } catch (...) {
    client->callbackFailure_ = std::current_exception();
  }
  return 1;
}

void XmppClient::OnLog(void* self, xmpp_log_level_t level, const char* area, const char* message) {
  // libstrophe says why a login or a connection failed, and what the server offers, only in its
  // log. Its debug lines also carry every stanza in full ("RECV: ..."), text that anybody can
  // write: only lines of libstrophe's own making count.
  auto* client = static_cast<XmppClient*>(self);
  const bool xmppArea = area != nullptr && std::strcmp(area, "xmpp") == 0;
  if (xmppArea && level == XMPP_LEVEL_DEBUG && IsStreamFeatures(message)) {
    if (std::strstr(message, "urn:xmpp:sm:3") != nullptr) client->smOffered_ = true;
  } else if (xmppArea && StartsWith(message, "SASL ") && EndsWith(message, " auth failed")) {
    client->refused_ = true;
  } else if (level == XMPP_LEVEL_ERROR &&
             StartsWith(message, "Cannot authenticate with known methods")) {
    client->refused_ = true;
  } else if (xmppArea && StartsWith(message, "Binding failed.")) {
    client->bindRefused_ = true;
    client->failure_ = "the server refused the resource " + client->resource_;
  } else if (StartsWith(message, "TLS is not supported, but set as mandatory")) {
    // Offered no STARTTLS: a server that does not encrypt, or a path that took the offer out.
    client->failure_ =
        "the server did not offer encryption (STARTTLS), and nothing is sent without it";
    client->cause_ = ClientEvent::kUnreachable;
  } else if (xmppArea && (StartsWith(message, "Unrecoverable TLS error") ||
                          StartsWith(message, "Unrecoverable error: ") ||
                          StartsWith(message, "Socket closed by remote host") ||
                          (StartsWith(message, "Send error") &&
                           EndsWith(message, "occurred, disconnecting.")))) {
    // The end as each side of the connection finds it: on reading, by backend (OpenSSL's, a
    // plain socket's, Schannel's, which gives a number that is no system error even for a clean
    // close); or on sending, which a server's clean stop can reach first, where libstrophe names
    // the C library's ECONNABORTED, another system's number on Windows.
    client->closedByServer_ = true;
  } else if (area != nullptr && std::strcmp(area, "tls") == 0 && StartsWith(message, "error:")) {
    client->tlsError_ = message;  // OpenSSL's reason, told only at libstrophe's debug level
  } else if (StartsWith(message, "Couldn't start TLS!") && client->failure_.empty()) {
    client->failure_ = "encryption with the server could not be started" +
                       (client->tlsError_.empty() ? std::string() : " (" + client->tlsError_ + ")");
  } else if (StartsWith(message, kConnectFailed)) {
    std::string why = platform::OsErrorText(std::atoi(message + std::strlen(kConnectFailed)));
    if (!why.empty()) why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
    client->failure_ = "the server cannot be reached (" + why + ")";
    client->cause_ = ClientEvent::kUnreachable;
  } else if (level >= XMPP_LEVEL_WARN && area != nullptr &&
             (std::strcmp(area, "tls") == 0 || std::strstr(message, "ertificate") != nullptr)) {
    if (client->failure_.empty()) client->failure_ = std::string("TLS: ") + message;
  }
}

int XmppClient::OnCertificateFailure(const xmpp_tlscert_t*, const char* errorMessage) {
  if (g_client != nullptr) {
    g_client->failure_ = std::string("the server's certificate was not accepted: ") +
                         (errorMessage != nullptr ? errorMessage : "unknown reason");
    g_client->cause_ = ClientEvent::kCertificate;
  }
  return 0;
}

int XmppClient::OnSocket(xmpp_conn_t*, void* socket) {
  if (g_client == nullptr) return 0;
  // libstrophe's own socket type: a descriptor here, a SOCKET on Windows.
  g_client->socket_ = *static_cast<platform::SocketId*>(socket);
  g_client->liveSocket_ = g_client->socket_;
  const ClientOptions& o = g_client->options_;
  // A failed option only costs the early notice; the session's probe still finds a dead path.
  platform::KeepAlive(g_client->socket_, o.keepAliveIdleS, o.keepAliveIntervalS, o.keepAliveCount);
  return 0;
}

}  // namespace xmpp
