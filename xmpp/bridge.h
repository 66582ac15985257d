#pragma once

// What the XMPP chat client knows between the network and the desktop API: the user's bare JID,
// the roster, every chat message by id (received and sent) with its status, and the messages
// held while no program has taken them. It is the chat API's backend. It never calls into the
// network's handling of stanzas: the host feeds it what the network brought, from the top of
// its loop, and only then does it notify programs.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chatapi/chat_api_server.h"

namespace xmpp {

struct BridgeLimits {
  // A body and its stanza, escapes included: Prosody's default stanza limit, which servers do
  // not advertise. A received body past it is refused; a sent one fails before it goes out.
  std::size_t maxBodyBytes = 256 * 1024;
  std::size_t maxStanzaBytes = 256 * 1024;
  std::size_t maxHeldReceived = 1000;    // received while no program takes them
  std::size_t maxHeldBytes = 32u << 20;  // and their bodies together
  std::size_t maxUnacknowledged = 1000;  // sent by programs, not yet with the server
  std::size_t maxKeptMessages = 10000;   // how many ids a program can still ask about
  std::size_t maxKeptBytes = 64u << 20;  // and their bodies together
  std::size_t maxContacts = 5000;
};

// A message the user sends: our id for it (kept when it is written again), to, body.
struct OutgoingChat {
  std::string id, to, body;
};

// The network's side, as the bridge needs it.
class Network {
 public:
  virtual ~Network() = default;
  // Takes a chat message for the server; its outcome comes back as MessageAcknowledged() or
  // MessageFailed() with its id.
  virtual void SendChat(OutgoingChat message) = 0;
  // The archive id of the newest received message a program has taken.
  virtual void SetArchivePoint(const std::string& archiveId) = 0;
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

  // A chat message from `from` (a bare JID) with `body` and its archive id (may be empty): it
  // gets the next id and is announced to the attached programs. It counts as delivered once a
  // program has taken the announcement; until then it is held (bounded) and announced again
  // when one attaches.
  void Received(const std::string& from, const std::string& body,
                const std::string& archiveId = {});
  // From the top of the host's loop: announces what is held once a program has attached, and
  // tells of sends that failed since.
  void Flush();
  // The server has the message with our id `id` / will not deliver it. A failure may follow an
  // acknowledgement (an error the recipient's server sent back).
  void MessageAcknowledged(const std::string& id);
  void MessageFailed(const std::string& id, const std::string& why);

  // Said once for each thing left out or refused (for standard error).
  std::function<void(const std::string&)> OnNotice;
  // A received message no program took: it waits, held, until one attaches.
  std::function<void(const std::string& from, const std::string& body)> OnHeld;
  // A received message with an archive id has reached a program (to be remembered across runs).
  std::function<void(const std::string& archiveId)> OnDelivered;

  // ChatBackend.
  std::string UserHandle() override { return user_; }
  std::vector<std::string> Contacts() override { return contacts_; }
  Property ChatMessageProperty(std::int32_t id, std::string_view property) override;
  std::optional<std::int32_t> SendChatMessage(const std::string& handle,
                                              const std::string& text) override;

  std::size_t HeldCount() const { return held_.size(); }
  std::size_t UnacknowledgedCount() const { return unacknowledged_.size(); }

 private:
  struct ChatMessage {
    std::string from;  // a received message's sender
    std::string to;    // a sent message's recipient
    std::string body;
    std::string status;     // RECEIVED, SENDING, SENT or FAILED
    std::string networkId;  // a sent message's id on the network; a received one's archive id
  };
  std::int32_t Keep(ChatMessage message);
  void Forget(std::map<std::int32_t, ChatMessage>::iterator it);
  void SetStatus(std::int32_t id, const std::string& status);
  void Notice(const std::string& text);
  void Fail(std::int32_t id, const std::string& why);
  bool Announce(std::int32_t id);
  std::string NextNetworkId();

  Network& network_;
  BridgeLimits limits_;
  chatapi::ChatApiServer* server_ = nullptr;
  std::string user_;
  std::vector<std::string> contacts_;
  bool hasRoster_ = false;
  std::map<std::int32_t, ChatMessage> messages_;
  std::size_t keptBytes_ = 0;
  std::int32_t nextId_ = 1000;
  struct Held {
    std::int32_t id;
    std::size_t bytes;
  };
  std::deque<Held> held_;  // received, not yet taken by a program
  std::size_t heldBytes_ = 0;
  std::unordered_map<std::string, std::int32_t> unacknowledged_;   // network id -> id
  std::unordered_map<std::string, std::int32_t> sentByNetworkId_;  // every kept sent message
  std::vector<std::int32_t> failed_;  // to be told after the command that made them
  std::string idPrefix_;
  std::uint64_t idSerial_ = 0;
};

}  // namespace xmpp
