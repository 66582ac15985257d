#include "xmpp/service.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>
#include <utility>

#include "chatapi/chat_api_server.h"
#include "platform/wait.h"
#include "platform/profile.h"
#include "platform/command_line.h"
#include "platform/stop_signal.h"
#include "xmpp/bridge.h"

namespace xmpp {
namespace {

constexpr int kLoopCapMs = 1000;      // the host only waits for the desktop and the client's events
constexpr int kRosterBoundMs = 5000;  // a roster slower than this is taken as empty

// Where the archive id of the last message a program took is kept, per account, so that a run
// after a crash or a stop catches up from there; and the resource the account binds from this
// desktop, so that a run after a crash ends what the server still holds of the last one. The profile writer replaces the file whole and
// crash-safely, with a sync: that is done on a thread of its own, newest point first and the
// ones it overtook never, so that the desktop API never waits for the disk. A file far larger
// than any points of accounts is no file of this program's: it is neither read nor kept.
class ShownState {
 public:
  static constexpr std::uintmax_t kMaxBytes = 1 << 20;

  explicit ShownState(std::string path) : file_(std::move(path)) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(file_.Path(), error);
    oversize_ = !error && size > kMaxBytes;
    writer_ = std::thread([this] { WriteAll(); });
  }
  ~ShownState() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    writer_.join();  // the newest point is written before the program goes
  }
  ShownState(const ShownState&) = delete;
  ShownState& operator=(const ShownState&) = delete;

  std::string Read(const char* section, const std::string& account) const {
    return oversize_ ? std::string() : file_.ReadString(section, account, "");
  }
  void Write(const char* section, const std::string& account, const std::string& value) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiting_[{section, account}] = value;
    }
    wake_.notify_one();
  }
  // What went wrong in writing since the last call, to be told once; empty for nothing.
  std::string TakeProblem() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(problem_, std::string());
  }

 private:
  void WriteAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || !waiting_.empty(); });
      if (waiting_.empty()) return;
      const auto points = std::exchange(waiting_, {});
      lock.unlock();
      std::string problem;
      if (oversize_) {
        std::error_code ignored;
        std::filesystem::remove(file_.Path(), ignored);
        oversize_ = false;
        problem = file_.Path() + " was larger than " + std::to_string(kMaxBytes >> 10) +
                  " KiB, no state of parlavant-xmpp's: it was replaced";
      }
      for (const auto& [key, value] : points) {
        if (!file_.WriteString(key.first.c_str(), key.second, value) && !failureSaid_) {
          failureSaid_ = true;
          problem = "cannot remember the last message shown in " + file_.Path() + " (" +
                    file_.LastError() + ")";
        }
      }
      lock.lock();
      if (!problem.empty()) problem_ = problem;
    }
  }

  platform::ProfileFile file_;
  std::atomic<bool> oversize_{false};
  bool failureSaid_ = false;  // the writer's own
  std::mutex mutex_;
  std::condition_variable wake_;
  // (section, account) -> the newest value not yet written
  std::map<std::pair<std::string, std::string>, std::string> waiting_;
  std::string problem_;
  bool stop_ = false;
  std::thread writer_;
};

// The resource the last run bound. Only a name of the client's own making is taken back:
// anything else would fail every bind.
std::string SavedResource(ShownState& shown, const std::string& bareJid) {
  std::string resource = shown.Read("Resource", bareJid);
  if (!std::regex_match(resource, std::regex("parlavant-[0-9a-f]{16}"))) resource.clear();
  return resource;
}

// What an event of the account's is for: the bridge and the state file take the messages and
// their fate; the connection's news is the host's too; a failure ends the service.
enum class EventUse { kTaken, kForHost, kFatal };
EventUse TakeEvent(const ClientEvent& event, Bridge& bridge, ShownState& shown,
                   const std::string& user,
                   std::optional<std::chrono::steady_clock::time_point>& onlineSince) {
  switch (event.kind) {
    case ClientEvent::kMessage:
      bridge.Received(event.from, event.body, event.id);
      return EventUse::kTaken;
    case ClientEvent::kRoster:
      bridge.SetRoster(event.roster);
      return EventUse::kTaken;
    case ClientEvent::kAcked:
      bridge.MessageAcknowledged(event.id);
      return EventUse::kTaken;
    case ClientEvent::kSendFailed:
      bridge.MessageFailed(event.id, event.reason);
      return EventUse::kTaken;
    case ClientEvent::kArchivePoint:
      shown.Write("Archive", user, event.id);
      return EventUse::kTaken;
    case ClientEvent::kOnline:
      if (!onlineSince) onlineSince = std::chrono::steady_clock::now();
      return EventUse::kForHost;
    case ClientEvent::kOffline:
    case ClientEvent::kRefused:
    case ClientEvent::kNotice:
      // The API stays for the programs attached; what they send waits, bounded.
      return EventUse::kForHost;
    case ClientEvent::kFailed:
      return EventUse::kFatal;
  }
  return EventUse::kForHost;
}

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
  ShownState shown(options_.stateFile.empty() ? platform::StatePath("parlavant-xmpp.state")
                                              : options_.stateFile);
  account_.resource = SavedResource(shown, BareJid(account_.jid));
  XmppClient client(account_, options_.client);
  std::fill(account_.password.begin(), account_.password.end(), '\0');
  if (account_.resource.empty()) shown.Write("Resource", client.BareUser(), client.Resource());
  if (const std::string point = shown.Read("Archive", client.BareUser()); !point.empty()) {
    client.SetArchivePoint(point);
  }
  auto desktop = platform::OpenDesktop(options_.desktopDir);
  Bridge bridge(client);
  bridge.OnNotice = [this](const std::string& text) {
    if (OnConnection) OnConnection(ClientEvent::Notice(text));
  };
  bridge.OnDelivered = [&](const std::string& archiveId) {
    shown.Write("Archive", client.BareUser(), archiveId);
    client.SetArchivePoint(archiveId);
  };
  bridge.OnHeld = [this](const std::string& from, const std::string& body) {
    if (OnHeld) OnHeld(from, body);
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
  std::size_t waiting = 0;
  std::optional<std::chrono::steady_clock::time_point> onlineSince;
  while (!stop_ && !platform::StopRequested()) {
    platform::WaitReadable(client.WakeHandle(), platform::kNoSocket, kLoopCapMs, desktop.get());
    for (const ClientEvent& event : client.TakeEvents()) {
      const EventUse use = TakeEvent(event, bridge, shown, client.BareUser(), onlineSince);
      if (use != EventUse::kTaken && OnConnection) OnConnection(event);
      if (use == EventUse::kFatal) return 1;
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
    if (bridge.HeldCount() != waiting) {
      waiting = bridge.HeldCount();
      if (OnWaiting) OnWaiting(waiting);
    }
    if (std::string problem = shown.TakeProblem(); !problem.empty() && OnConnection) {
      OnConnection(ClientEvent::Notice(std::move(problem)));
    }
  }
  return 0;
}

}  // namespace xmpp
