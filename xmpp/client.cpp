#include "xmpp/client.h"

#include <cstdlib>
#include <cstring>

#include "platform/os_error.h"
#include "xmpp/stanza.h"

namespace xmpp {
namespace {

// libstrophe tells a socket to its owner only through this callback, one process-wide client
// at a time being all this program has.
XmppClient* g_client = nullptr;
int g_socket = -1;

bool Contains(const char* text, const char* part) {
  return text != nullptr && std::strstr(text, part) != nullptr;
}

}  // namespace

XmppClient::XmppClient(Account account) : account_(std::move(account)) {
  bare_ = BareJid(account_.jid);
  xmpp_initialize();
  // Every log line comes here and is only looked at, never printed: libstrophe's debug lines
  // carry the authentication exchange.
  log_.handler = &XmppClient::OnLog;
  log_.userdata = this;
  ctx_ = xmpp_ctx_new(nullptr, &log_);
  conn_ = xmpp_conn_new(ctx_);
  long flags = account_.plain ? XMPP_CONN_FLAG_DISABLE_TLS : XMPP_CONN_FLAG_MANDATORY_TLS;
  xmpp_conn_set_flags(conn_, flags);
  if (!account_.caFile.empty()) xmpp_conn_set_cafile(conn_, account_.caFile.c_str());
  xmpp_conn_set_certfail_handler(conn_, &XmppClient::OnCertificateFailure);
  xmpp_conn_set_sockopt_callback(conn_, &XmppClient::OnSocket);
  xmpp_conn_set_jid(conn_, account_.jid.c_str());
  xmpp_conn_set_pass(conn_, account_.password.c_str());
  xmpp_handler_add(conn_, &XmppClient::OnMessage, nullptr, "message", nullptr, this);
  xmpp_handler_add(conn_, &XmppClient::OnRosterPush, kRosterNs, "iq", "set", this);
  g_client = this;
}

XmppClient::~XmppClient() {
  if (online_ || connecting_) {
    xmpp_disconnect(conn_);
    for (int i = 0; i < 20 && !xmpp_conn_is_disconnected(conn_); ++i) xmpp_run_once(ctx_, 10);
  }
  xmpp_conn_release(conn_);
  xmpp_ctx_free(ctx_);
  xmpp_shutdown();
  g_client = nullptr;
  // The password is not left in freed memory longer than needed.
  std::fill(account_.password.begin(), account_.password.end(), '\0');
}

void XmppClient::Start() {
  Connect();
}

void XmppClient::Connect() {
  failure_.clear();
  connecting_ = true;
  const char* host = account_.host.empty() ? nullptr : account_.host.c_str();
  if (xmpp_connect_client(conn_, host, account_.port, &XmppClient::OnConnection, this) !=
      XMPP_EOK) {
    connecting_ = false;
    Lost(0);
  }
}

void XmppClient::RunOnce() {
  xmpp_run_once(ctx_, 0);
  if (!online_ && !connecting_ && !stopped_ && std::chrono::steady_clock::now() >= retryAt_) {
    Connect();
  }
}

std::vector<ClientEvent> XmppClient::TakeEvents() {
  std::vector<ClientEvent> taken(std::make_move_iterator(events_.begin()),
                                 std::make_move_iterator(events_.end()));
  events_.clear();
  return taken;
}

bool XmppClient::AllWritten() const {
  return !online_ || xmpp_conn_send_queue_len(conn_) == 0;
}

bool XmppClient::SendChat(const std::string& to, const std::string& body) {
  if (!online_) return false;
  xmpp_stanza_t* message = xmpp_message_new(ctx_, "chat", to.c_str(), nullptr);
  char* id = xmpp_uuid_gen(ctx_);
  if (id != nullptr) {
    xmpp_stanza_set_id(message, id);
    xmpp_free(ctx_, id);
  }
  xmpp_message_set_body(message, body.c_str());
  xmpp_send(conn_, message);
  xmpp_stanza_release(message);
  return true;
}

void XmppClient::SendIq(const char* type, const char* id, const char* childName, const char* ns) {
  xmpp_stanza_t* iq = xmpp_iq_new(ctx_, type, id);
  xmpp_stanza_t* child = xmpp_stanza_new(ctx_);
  xmpp_stanza_set_name(child, childName);
  xmpp_stanza_set_ns(child, ns);
  xmpp_stanza_add_child(iq, child);
  xmpp_stanza_release(child);
  xmpp_send(conn_, iq);
  xmpp_stanza_release(iq);
}

void XmppClient::SignedIn() {
  connecting_ = false;
  online_ = true;
  everOnline_ = true;
  backoffMs_ = 250;
  xmpp_id_handler_add(conn_, &XmppClient::OnRosterResult, "roster-1", this);
  SendIq("get", "roster-1", "query", kRosterNs);
  // Without an initial presence the server delivers neither messages to the bare JID nor the
  // ones it stored while the user was away.
  xmpp_stanza_t* presence = xmpp_presence_new(ctx_);
  xmpp_send(conn_, presence);
  xmpp_stanza_release(presence);
  SendIq("set", "carbons-1", "enable", kCarbonsNs);
  Push({ClientEvent::kOnline});
}

void XmppClient::Lost(int error) {
  const bool wasOnline = online_;
  connecting_ = false;
  online_ = false;
  socket_ = -1;
  std::string reason = failure_;
  if (reason.empty() && error != 0) reason = platform::OsErrorText(error);
  if (reason.empty()) reason = wasOnline ? "the connection was closed" : "the connection failed";
  if (refused_) {
    // A password that no longer works will not work next time either: no more attempts.
    stopped_ = true;
    const std::string refusal = "the server refused the login for " + bare_;
    Push({everOnline_ ? ClientEvent::kRefused : ClientEvent::kFailed,
          {},
          {},
          {},
          everOnline_ ? refusal + "; no more attempts to connect" : refusal});
    return;
  }
  if (!everOnline_) {
    // The first attempt decides whether the account works at all: the host ends with its reason.
    stopped_ = true;
    Push({ClientEvent::kFailed, {}, {}, {}, "cannot sign in as " + bare_ + ": " + reason});
    return;
  }
  retryAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(backoffMs_);
  backoffMs_ = std::min(backoffMs_ * 2, kMaxBackoffMs);
  if (wasOnline) Push({ClientEvent::kOffline, {}, {}, {}, reason});
}

void XmppClient::OnConnection(xmpp_conn_t*, xmpp_conn_event_t event, int error,
                              xmpp_stream_error_t* streamError, void* self) {
  auto* client = static_cast<XmppClient*>(self);
  if (event == XMPP_CONN_CONNECT) {
    client->SignedIn();
    return;
  }
  if (streamError != nullptr && streamError->text != nullptr && client->failure_.empty()) {
    client->failure_ = streamError->text;
  }
  client->Lost(error);
}

int XmppClient::OnMessage(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self) {
  auto* client = static_cast<XmppClient*>(self);
  if (auto chat = ReceivedChat(stanza, client->bare_)) {
    client->Push({ClientEvent::kMessage, std::move(chat->from), std::move(chat->body)});
  }
  return 1;
}

void XmppClient::RosterChanged(xmpp_stanza_t* iq, bool whole) {
  if (whole) roster_.clear();
  for (const RosterItem& item : RosterItems(iq)) {
    if (item.removed) {
      roster_.erase(item.jid);
    } else {
      roster_.insert(item.jid);
    }
  }
  Push({ClientEvent::kRoster, {}, {}, std::vector<std::string>(roster_.begin(), roster_.end())});
}

int XmppClient::OnRosterResult(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self) {
  static_cast<XmppClient*>(self)->RosterChanged(stanza, true);
  return 0;
}

int XmppClient::OnRosterPush(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self) {
  auto* client = static_cast<XmppClient*>(self);
  // Only the user's own server may change the roster.
  const char* from = xmpp_stanza_get_from(stanza);
  if (from != nullptr && BareJid(from) != client->bare_) return 1;
  client->RosterChanged(stanza, false);
  xmpp_stanza_t* result = xmpp_stanza_reply(stanza);
  xmpp_stanza_set_type(result, "result");
  xmpp_send(conn, result);
  xmpp_stanza_release(result);
  return 1;
}

void XmppClient::OnLog(void* self, xmpp_log_level_t level, const char* area, const char* message) {
  // libstrophe says why a login or a connection failed only in its log.
  auto* client = static_cast<XmppClient*>(self);
  static constexpr std::string_view kConnectFailed = "connection failed, error ";
  if (Contains(message, "auth failed")) {
    client->refused_ = true;
  } else if (const char* at =
                 message != nullptr ? std::strstr(message, kConnectFailed.data()) : nullptr) {
    client->failure_ = platform::OsErrorText(std::atoi(at + kConnectFailed.size()));
  } else if (level >= XMPP_LEVEL_WARN &&
             (Contains(area, "tls") || Contains(message, "ertificate"))) {
    if (client->failure_.empty()) client->failure_ = std::string("TLS: ") + message;
  }
}

int XmppClient::OnCertificateFailure(const xmpp_tlscert_t*, const char* errorMessage) {
  if (g_client != nullptr) {
    g_client->failure_ = std::string("the server's certificate was not accepted: ") +
                         (errorMessage != nullptr ? errorMessage : "unknown reason");
  }
  return 0;
}

int XmppClient::OnSocket(xmpp_conn_t*, void* socket) {
  g_socket = *static_cast<int*>(socket);
  if (g_client != nullptr) g_client->socket_ = g_socket;
  return 0;
}

}  // namespace xmpp
