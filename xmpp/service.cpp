#include "xmpp/service.h"

#include <chrono>
#include <optional>

#include "chatapi/chat_api_server.h"
#include "platform/event_wait.h"
#include "platform/profile.h"
#include "tools/common/command_line.h"
#include "xmpp/bridge.h"

namespace xmpp {
namespace {

constexpr int kLoopCapMs = 1000;      // the host only waits for the desktop and the client's events
constexpr int kRosterBoundMs = 5000;  // a roster slower than this is taken as empty

// Where the archive id of the last message a program took is kept, per account, so that a run
// after a crash or a stop catches up from there. The profile writer replaces the file whole and
// crash-safely.
class ShownState {
 public:
  ShownState(std::string path, std::string account, std::function<void(const ClientEvent&)>& say)
      : file_(std::move(path)), account_(std::move(account)), say_(say) {}
  std::string Read() const { return file_.ReadString("Archive", account_, ""); }
  void Write(const std::string& archiveId) {
    if (!file_.WriteString("Archive", account_, archiveId) && !failureSaid_) {
      failureSaid_ = true;
      ClientEvent notice{ClientEvent::kNotice};
      notice.reason = "cannot remember the last message shown in " + file_.Path() + " (" +
                      file_.LastError() + ")";
      if (say_) say_(notice);
    }
  }

 private:
  platform::ProfileFile file_;
  std::string account_;
  std::function<void(const ClientEvent&)>& say_;
  bool failureSaid_ = false;
};

}  // namespace

AccountService::AccountService(Account account, ServiceOptions options)
    : account_(std::move(account)), options_(std::move(options)) {}

AccountService::~AccountService() {
  std::fill(account_.password.begin(), account_.password.end(), '\0');
}

void AccountService::Stop() {
  stop_ = true;
  std::lock_guard<std::mutex> lock(clientMutex_);
  if (client_ != nullptr) client_->WakeHost();
}

int AccountService::Run() {
  XmppClient client(account_, options_.client);
  std::fill(account_.password.begin(), account_.password.end(), '\0');
  ShownState shown(
      options_.stateFile.empty() ? platform::StatePath("parlavant-xmpp.state") : options_.stateFile,
      client.BareUser(), OnConnection);
  if (const std::string point = shown.Read(); !point.empty()) client.SetArchivePoint(point);
  auto desktop = platform::OpenDesktop(options_.desktopDir);
  Bridge bridge(client);
  bridge.OnNotice = [this](const std::string& text) {
    ClientEvent notice{ClientEvent::kNotice};
    notice.reason = text;
    if (OnConnection) OnConnection(notice);
  };
  bridge.OnDelivered = [&](const std::string& archiveId) {
    shown.Write(archiveId);
    client.SetArchivePoint(archiveId);
  };
  bridge.SetUser(client.BareUser());
  // Until the account is signed in and its roster known, the API says it is not available; a
  // program attaches when it is announced.
  chatapi::ChatApiServer server(*desktop, bridge, {4, chatapi::AttachMode::kNotAvailable, "USERS"});
  bridge.SetServer(&server);
  {
    std::lock_guard<std::mutex> lock(clientMutex_);
    client_ = &client;
  }
  struct Forget {
    AccountService& service;
    ~Forget() {
      std::lock_guard<std::mutex> lock(service.clientMutex_);
      service.client_ = nullptr;
    }
  } forget{*this};
  client.Start();

  bool available = false;
  std::optional<std::chrono::steady_clock::time_point> onlineSince;
  while (!stop_ && !tools::StopRequested()) {
    platform::WaitForDesktopOrSocket(*desktop, client.WakeHandle(), kLoopCapMs);
    for (const ClientEvent& event : client.TakeEvents()) {
      switch (event.kind) {
        case ClientEvent::kMessage:
          bridge.Received(event.from, event.body, event.id);
          continue;
        case ClientEvent::kRoster:
          bridge.SetRoster(event.roster);
          continue;
        case ClientEvent::kAcked:
          bridge.MessageAcknowledged(event.id);
          continue;
        case ClientEvent::kSendFailed:
          bridge.MessageFailed(event.id, event.reason);
          continue;
        case ClientEvent::kArchivePoint:
          shown.Write(event.id);
          continue;
        case ClientEvent::kOnline:
          if (!onlineSince) onlineSince = std::chrono::steady_clock::now();
          break;
        case ClientEvent::kOffline:
        case ClientEvent::kRefused:
        case ClientEvent::kNotice:
          // The API stays for the programs attached; what they send waits, bounded.
          break;
        case ClientEvent::kFailed:
          if (OnConnection) OnConnection(event);
          return 1;
      }
      if (OnConnection) OnConnection(event);
    }
    const auto now = std::chrono::steady_clock::now();
    if (!available && onlineSince &&
        (bridge.HasRoster() || now - *onlineSince > std::chrono::milliseconds(kRosterBoundMs))) {
      if (!bridge.HasRoster()) bridge.SetRoster({});
      available = true;
      server.Options().attach = chatapi::AttachMode::kSuccess;
      server.AnnounceApi();
      if (OnAvailable) OnAvailable(client.BareUser());
    }
    bridge.Flush();
  }
  return 0;
}

}  // namespace xmpp
