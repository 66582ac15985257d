#pragma once

// What the XMPP chat client knows between the network and the desktop API: the user's bare JID,
// the roster, every chat message by id (received and sent) with its status, the messages held
// while no program is attached, and those written while the connection is down. It is the chat
// API's backend. It never calls the network from inside a stanza's handling: the host feeds it
// what the network brought from the top of its loop, and only then does it notify programs.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chatapi/chat_api_server.h"

namespace xmpp {

struct BridgeLimits {
  std::size_t maxBodyBytes = 256 * 1024;  // the stanza size a server like Prosody takes
  std::size_t maxHeldReceived = 1000;     // received while no program is attached
  std::size_t maxQueuedOutgoing = 1000;   // written by the program while the connection is down
  std::size_t maxKeptMessages = 10000;    // how many ids a program can still ask about
  std::size_t maxContacts = 5000;
};

// The network's side, as the bridge needs it.
class Network {
 public:
  virtual ~Network() = default;
  // Hands a chat message to the connection for writing; false when the connection is down.
  virtual bool SendChat(const std::string& to, const std::string& body) = 0;
};

// Whether `jid` can be written to: a domain, an optional local part before '@' and resource
// after '/', no blanks, control characters or characters that XML addresses forbid.
bool IsValidJid(std::string_view jid);
// The JID without its resource.
std::string BareJid(std::string_view jid);

class Bridge final : public chatapi::ChatBackend {
 public:
  explicit Bridge(Network& network, BridgeLimits limits = {});
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Where notifications go; without a server they are held.
  void SetServer(chatapi::ChatApiServer* server) { server_ = server; }
  void SetUser(std::string bareJid) { user_ = std::move(bareJid); }
  // The roster as the server gave it. A JID with a ',' cannot travel in the comma-separated
  // list and is left out (said through OnNotice), as is everything past the bound.
  void SetRoster(const std::vector<std::string>& jids);
  bool HasRoster() const { return hasRoster_; }

  // A chat message from `from` (a bare JID) with `body`: it gets the next id and is announced to
  // every attached program, or held (bounded) until one attaches.
  void Received(const std::string& from, const std::string& body);
  // From the top of the host's loop: announces what was held once a program has attached, and
  // tells of sends that failed since (a body past the bound, a full queue).
  void Flush();
  // The connection is up: what the program wrote while it was down goes out, in order.
  void Connected();
  // Everything handed to the connection has been written to the server.
  void AllWritten();

  // Said once for each thing left out or refused (for standard error).
  std::function<void(const std::string&)> OnNotice;

  // ChatBackend.
  std::string UserHandle() override { return user_; }
  std::vector<std::string> Contacts() override { return contacts_; }
  Property ChatMessageProperty(std::int32_t id, std::string_view property) override;
  std::optional<std::int32_t> SendChatMessage(const std::string& handle,
                                              const std::string& text) override;

  std::size_t HeldCount() const { return held_.size(); }
  std::size_t QueuedCount() const { return queued_.size(); }

 private:
  struct ChatMessage {
    std::string from;  // a received message's sender
    std::string to;    // a sent message's recipient
    std::string body;
    std::string status;  // RECEIVED, SENDING, SENT or FAILED
  };
  std::int32_t Keep(ChatMessage message);
  void SetStatus(std::int32_t id, const std::string& status);
  void Notice(const std::string& text);
  void Fail(std::int32_t id, const std::string& why);

  Network& network_;
  BridgeLimits limits_;
  chatapi::ChatApiServer* server_ = nullptr;
  std::string user_;
  std::vector<std::string> contacts_;
  bool hasRoster_ = false;
  std::map<std::int32_t, ChatMessage> messages_;
  std::int32_t nextId_ = 1000;
  std::deque<std::int32_t> held_;      // received, not yet announced
  std::deque<std::int32_t> queued_;    // to send once connected
  std::vector<std::int32_t> sending_;  // handed over, not yet written
  std::vector<std::int32_t> failed_;   // to be told after the command that made them
};

}  // namespace xmpp
