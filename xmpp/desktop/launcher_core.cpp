#include "xmpp/desktop/launcher_core.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "platform/desktop.h"
#include "platform/error.h"
#include "platform/keyring.h"
#include "platform/location.h"
#include "platform/profile.h"
#include "platform/secret.h"
#include "platform/tcp.h"
#include "xmpp/stanza.h"

namespace xmpp::desktop {
namespace {

constexpr std::uint16_t kTranslatorPort = 4357;
constexpr auto kProbe = std::chrono::milliseconds(300);  // a translator here answers at once
constexpr int kEndMs = 3000;  // what the launcher started gets this long to end on its own
constexpr std::size_t kNotifiedChars = 300;  // of a message told in a notification
// Where the system cannot tell a program's end through a handle, it is looked for this often.
constexpr auto kEndPoll = std::chrono::milliseconds(250);

#ifdef _WIN32
constexpr char kProgramSuffix[] = ".exe";
#else
constexpr char kProgramSuffix[] = "";
#endif

// A program of Parlavant's: beside this one when installed, in its build directory otherwise.
std::string FindProgram(const std::string& name) {
  namespace fs = std::filesystem;
  const fs::path here = platform::ProgramDirectory();
  const std::string file = name + kProgramSuffix;
  for (const fs::path& candidate :
       {here / file, here / ".." / "tools" / file, here / ".." / "app" / file}) {
    std::error_code ignored;
    if (fs::is_regular_file(candidate, ignored)) return fs::canonical(candidate, ignored).string();
  }
  return file;  // from PATH
}

// Whether the window's settings name a translation web service (an office's, say). The window
// prefers a desktop translator whenever one is up, so none is started then: the service would
// never be used.
std::string WindowSetting(const char* key) {
  const platform::ProfileFile settings(platform::ProfilePath("parlavant.ini"));
  return std::string(platform::TrimProfileBlanks(settings.ReadString("General", key, "")));
}

bool WebServiceChosen() { return !WindowSetting("WebService").empty(); }

bool TranslatorReachable() {
  try {
    return platform::ConnectTcp("127.0.0.1", kTranslatorPort,
                                std::chrono::steady_clock::now() + kProbe) != nullptr;
  } catch (const platform::Error&) {
    return false;
  }
}

// The first `limit` characters of UTF-8 `text`, and an ellipsis when there was more.
std::string Shortened(const std::string& text, std::size_t limit) {
  std::size_t characters = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) continue;
    if (characters++ == limit) return text.substr(0, at) + "…";
  }
  return text;
}

void Wipe(std::string& secret) { std::fill(secret.begin(), secret.end(), '\0'); }

}  // namespace

std::string LauncherStatus::Lines() const {
  std::string all = state;
  for (const std::string* more : {&waiting, &translator}) {
    if (!more->empty()) all += "\n" + *more;
  }
  return all;
}

LauncherCore::Programs LauncherCore::InstalledPrograms() {
#ifdef _WIN32
  // No translator comes with the program here: a desktop one, or a service.
  return {"", FindProgram("parlavant"), std::chrono::seconds(1)};
#else
  return {FindProgram("parlavant-translator"), FindProgram("parlavant"), std::chrono::seconds(1)};
#endif
}

LauncherCore::LauncherCore(LauncherView& view, AccountSettings settings, ServiceOptions options,
                           Programs programs)
    : view_(view),
      settings_(std::move(settings)),
      options_(std::move(options)),
      programs_(std::move(programs)),
      desktop_(options_.desktopDir.empty() ? platform::DefaultDesktopLocation()
                                           : options_.desktopDir),
      self_(std::make_shared<LauncherCore*>(this)),
      translator_(true, programs_.restartWait),
      window_(false, programs_.restartWait) {}

LauncherCore::~LauncherCore() {
  self_.reset();
  EndTrial();
  StopService();
}

std::function<void()> LauncherCore::Guarded(std::function<void()> task) {
  return [self = std::weak_ptr<LauncherCore*>(self_), task = std::move(task)] {
    if (self.lock()) task();
  };
}

bool LauncherCore::HandOverToRunningCopy() {
  instance_ = std::make_unique<platform::SingleInstance>("parlavant-xmpp", desktop_);
  if (instance_->HandOver()) return true;
  if (instance_->Handle() >= 0) {
    instanceWatch_ = view_.WatchHandle(instance_->Handle(), LauncherView::HandleKind::kWaitable,
                                       Guarded([this] {
                                         for (int n = instance_->TakeRequests(); n > 0; --n)
                                           ShowParlavant();
                                       }));
  }
  return false;
}

void LauncherCore::Start() {
  ShowStatus();
  ReadAccountSettings(settings_);
  std::optional<std::string> password;
  try {
    password = FindPassword(settings_, nullptr);
  } catch (const platform::Error& e) {
    problem_ = e.what();  // a password file that cannot be read: the dialog says so
  }
  if (settings_.jid.empty() || !password) {
    OpenAccountDialog(true);
    return;
  }
  try {
    StartService(MakeAccount(settings_, *password), true);
  } catch (const platform::Error& e) {
    Wipe(*password);
    problem_ = e.what();
    OpenAccountDialog(true);
    return;
  }
  Wipe(*password);
  StartCompanions();
}

void LauncherCore::ShowParlavant() {
  if (view_.DialogOpen()) {
    view_.RaiseDialog();
    return;
  }
  // A window already running is asked to come to the front, as its own second start would.
  if (window_.program.Running()) {
    platform::SingleInstance::AskToShow("parlavant", desktop_);
    return;
  }
  window_.restarts.Reset();  // asked for by the user: whatever it did before, it gets its chances
  StartWindow();
}

void LauncherCore::Quit() {
  if (quitting_) return;
  quitting_ = true;
  view_.CloseDialog();
  EndTrial();
  StopService();
  // What the launcher started ends with it; a translator it found running stays.
  for (Child* child : {&window_, &translator_}) {
    child->watch.reset();
    child->program.End(kEndMs);
  }
  if (!translatorStateFile_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(translatorStateFile_, ignored);
  }
  view_.EndLoop();
}

void LauncherCore::OpenAccountDialog(bool first) {
  if (view_.DialogOpen()) {
    view_.RaiseDialog();
    return;
  }
  dialogFirst_ = first;
  DialogRequest request;
  request.current = settings_;
  platform::KeyringAnswer probe;
  platform::KeyringLookup("", probe);
  if (!probe.available) request.keyringNote = probe.error.empty() ? "no keyring" : probe.error;
  request.privateFile = PrivateFile();
  // The account as it is, its password too (masked), so that pressing Sign in changes nothing.
  try {
    if (!settings_.jid.empty()) request.password = FindPassword(settings_, nullptr).value_or("");
  } catch (const platform::Error&) {
  }
  request.askService = programs_.translator.empty();
  if (request.askService) {
    request.webService = WindowSetting("WebService");
    request.webApiKey = WindowSetting("WebApiKey");
  }
  request.problem = std::move(problem_);
  request.cause = problemCause_;
  problem_.clear();
  problemCause_ = ClientEvent::kNoCause;
  view_.OpenDialog(request);
  Wipe(request.password);
  Wipe(request.webApiKey);
}

void LauncherCore::DialogCancelled() {
  if (trial_) {
    // The account being tried is dropped; the one signed in was never touched.
    EndTrial();
    pending_.reset();
    return;
  }
  const bool signingIn = pending_.has_value();
  pending_.reset();
  if (dialogFirst_ && !serviceRunning_) {
    Quit();  // nothing to do without an account
    return;
  }
  if (signingIn) RestartSaved();
}

bool LauncherCore::KeepTranslationService(const std::string& service, const std::string& apiKey,
                                          std::string& error) {
  platform::ProfileFile settings(platform::ProfilePath("parlavant.ini"));
  if (settings.WriteString("General", "WebService", service) &&
      settings.WriteString("General", "WebApiKey", apiKey))
    return true;
  error = "the translation service is not kept: " + settings.LastError();
  return false;
}

std::string LauncherCore::PrivateFile() const {
  const std::string& file = settings_.settingsFile;
  return file.substr(0, file.find_last_of("/\\") + 1) + "parlavant-xmpp.password";
}

void LauncherCore::ShowStatus() { view_.ShowStatus(status_); }

void LauncherCore::SetState(Connection state, std::string text) {
  status_.connection = state;
  status_.state = std::move(text);
  ShowStatus();
}

void LauncherCore::SignIn(const AccountSettings& account, const std::string& password,
                          bool remember) {
  Account made;
  try {
    made = MakeAccount(account, password);
  } catch (const platform::Error& e) {
    view_.DialogRefused(e.what(), ClientEvent::kNoCause);
    return;
  }
  pending_ = Pending{account, password, remember};
  if (!serviceRunning_) {
    StartService(std::move(made), false);
    return;
  }
  std::optional<std::string> current;
  try {
    current = FindPassword(settings_, nullptr);
  } catch (const platform::Error&) {
  }
  const bool same = account.jid == settings_.jid && account.server == settings_.server &&
                    account.caFile == settings_.caFile && account.plain == settings_.plain &&
                    current == password;
  if (current) Wipe(*current);
  if (same) {
    KeepAccount();  // "remember" may have changed; the connection stays as it is
    view_.DialogSignedIn();
    return;
  }
  StartTrial(std::move(made));
}

void LauncherCore::StartTrial(Account account) {
  EndTrial();
  ClientOptions options = options_.client;
  options.retryUntilOnline = false;
  options.session.checkOnly = true;
  // A name of its own: the running connection's (or one the JID names) would end that one.
  account.jid = BareJid(account.jid);
  account.resource.clear();
  trial_ = std::make_unique<XmppClient>(std::move(account), options);
  trialWatch_ = view_.WatchHandle(static_cast<std::intptr_t>(trial_->WakeHandle()),
                                  LauncherView::HandleKind::kSocket,
                                  Guarded([this] { TrialEvents(); }));
  trial_->Start();
}

void LauncherCore::TrialEvents() {
  if (!trial_) return;
  for (const ClientEvent& event : trial_->TakeEvents()) {
    if (event.kind == ClientEvent::kOnline) {
      EndTrial();
      const Pending& pending = *pending_;
      try {
        StartService(MakeAccount(pending.account, pending.password), false);
      } catch (const platform::Error& e) {
        pending_.reset();
        view_.DialogRefused(e.what(), ClientEvent::kNoCause);
        RestartSaved();
      }
      return;  // the new service's own sign-in keeps the account and closes the dialog
    }
    if (event.kind == ClientEvent::kFailed || event.kind == ClientEvent::kRefused) {
      EndTrial();
      pending_.reset();
      view_.DialogRefused(event.reason, event.cause);
      return;
    }
  }
}

void LauncherCore::EndTrial() {
  trialWatch_.reset();
  trial_.reset();
}

void LauncherCore::KeepAccount() {
  Pending pending = std::move(*pending_);
  pending_.reset();
  AccountSettings& s = pending.account;
  const std::string bare = BareJid(s.jid);
  std::string note;
  const std::string ownFile = PrivateFile();
  const bool ownFileUsed = ExpandHome(s.passwordFile) == ownFile;
  std::error_code ignored;  // a file already gone is as good
  if (ownFileUsed || !pending.remember) s.passwordFile.clear();
  if (pending.remember) {
    const platform::KeyringAnswer stored =
        platform::KeyringStore(bare, "Parlavant: the chat password of " + bare, pending.password);
    if (!stored.ok) {
      try {
        platform::WritePrivateFile(ownFile, pending.password);
        s.passwordFile = ownFile;
      } catch (const platform::Error& e) {
        note = std::string("the password is not remembered: ") + e.what();
      }
    } else if (ownFileUsed) {
      std::filesystem::remove(ownFile, ignored);  // the keyring keeps it now
    }
  } else {
    platform::KeyringForget(bare);
    if (ownFileUsed) std::filesystem::remove(ownFile, ignored);
  }
  Wipe(pending.password);
  std::string error;
  if (!WriteAccountSettings(s, error)) note = "the account is not remembered: " + error;
  settings_ = s;
  if (!note.empty()) {
    view_.Notify("Parlavant", note);
    std::cerr << "parlavant-xmpp: " << note << '\n';
  }
}

void LauncherCore::RestartSaved() {
  try {
    std::optional<std::string> password = FindPassword(settings_, nullptr);
    if (!settings_.jid.empty() && password) {
      Account account = MakeAccount(settings_, *password);
      Wipe(*password);
      StartService(std::move(account), true);
      return;
    }
  } catch (const platform::Error&) {
  }
  SetState(Connection::kOffline, "Not signed in");
}

void LauncherCore::StartService(Account account, bool saved) {
  StopService();
  ServiceOptions options = options_;
  options.client.retryUntilOnline = saved;
  service_ = std::make_unique<AccountService>(std::move(account), options);
  serviceRunning_ = true;
  lostSaid_ = false;
  // What a service that was replaced still had on its way is not this one's news. The service's
  // thread hands everything to the loop, and finds this core by a pointer of its own: self_
  // goes on the loop's thread while the service may still be running.
  const int generation = ++generation_;
  const auto deliver = [this, self = std::weak_ptr<LauncherCore*>(self_),
                        generation](std::function<void()> task) {
    view_.Post([self, generation, task = std::move(task)] {
      if (const auto core = self.lock(); core && (*core)->generation_ == generation) task();
    });
  };
  service_->OnConnection = [this, deliver](const ClientEvent& event) {
    deliver([this, event] { Connected(event); });
  };
  service_->OnHeld = [this, deliver](const std::string& from, const std::string& body) {
    deliver([this, from, body] { Held(from, body); });
  };
  service_->OnWaiting = [this, deliver](std::size_t waiting) {
    deliver([this, waiting] { SetWaiting(waiting); });
  };
  status_.waiting.clear();
  status_.waitingCount = 0;
  SetState(Connection::kConnecting, "Connecting…");
  AccountService* service = service_.get();
  thread_ = std::thread([this, service, deliver] {
    service->Run();
    deliver([this] { serviceRunning_ = false; });
  });
}

void LauncherCore::StopService() {
  if (!service_) return;
  service_->Stop();
  if (thread_.joinable()) thread_.join();
  service_.reset();
  serviceRunning_ = false;
}

void LauncherCore::Connected(const ClientEvent& event) {
  switch (event.kind) {
    case ClientEvent::kOnline: {
      const std::string& jid = pending_ ? pending_->account.jid : settings_.jid;
      SetState(Connection::kOnline, "Signed in as " + BareJid(jid));
      if (lostSaid_) {
        view_.Notify("Connection restored", "Parlavant is signed in again.");
        lostSaid_ = false;
      }
      if (pending_) {
        KeepAccount();
        view_.DialogSignedIn();
        StartCompanions();
      }
      break;
    }
    case ClientEvent::kOffline: {
      const int seconds = (event.retryMs + 999) / 1000;
      SetState(Connection::kConnecting, "Connecting: " + event.reason + "; next attempt in " +
                                            std::to_string(seconds) + " s");
      if (event.lost && !lostSaid_) {
        view_.Notify("Connection lost", event.reason + ". Parlavant is connecting again.");
        lostSaid_ = true;
      }
      break;
    }
    case ClientEvent::kRefused:
      SetState(Connection::kRefused, "Login refused: correct the password under Account…");
      view_.Notify("Login refused", event.reason);
      break;
    case ClientEvent::kFailed:
      serviceRunning_ = false;
      if (pending_ && view_.DialogOpen()) {
        pending_.reset();
        SetState(Connection::kOffline, "Not signed in");
        view_.DialogRefused(event.reason, event.cause);
      } else {
        SetState(event.cause == ClientEvent::kPassword ? Connection::kRefused
                                                       : Connection::kOffline,
                 "Offline: " + event.reason);
        // A kept password the server no longer takes: the dialog, to correct it.
        if (event.cause == ClientEvent::kPassword && !view_.DialogOpen()) {
          problem_ = event.reason;
          problemCause_ = event.cause;
          OpenAccountDialog(false);
        }
      }
      break;
    default:
      std::cerr << "parlavant-xmpp: " << event.reason << '\n';
      break;
  }
}

void LauncherCore::StartCompanions() {
  if (companionsStarted_) return;
  companionsStarted_ = true;
  if (!programs_.translator.empty() && !WebServiceChosen() && !TranslatorReachable()) {
    std::string runtime = platform::RuntimeDirectory();
    if (runtime.empty()) runtime = std::filesystem::temp_directory_path().string();
    translatorStateFile_ = (std::filesystem::path(runtime) /
                            ("parlavant-translator." + std::to_string(platform::CurrentProcessId())))
                               .string();
    StartTranslator();
  }
  StartWindow();
}

bool LauncherCore::StartChild(Child& child, const std::string& path,
                              const std::vector<std::string>& args,
                              const std::vector<std::pair<std::string, std::string>>& environment,
                              void (LauncherCore::*ended)(bool failed)) {
  child.watch.reset();
  child.restarts.Started(ProgramWatch::Clock::now());
  std::string error;
  if (!child.program.Start(path, args, environment, error)) {
    std::cerr << "parlavant-xmpp: cannot start " << path << ": " << error << '\n';
    view_.Post(Guarded([this, ended] { (this->*ended)(true); }));
    return false;
  }
  WatchEnd(child, ended);
  return true;
}

void LauncherCore::WatchEnd(Child& child, void (LauncherCore::*ended)(bool failed)) {
  const auto taken = [this, &child, ended] {
    const std::optional<bool> failed = child.program.TakeEnd();
    if (!failed) return false;
    child.watch.reset();
    (this->*ended)(*failed);
    return true;
  };
  if (child.program.Handle() >= 0) {
    child.watch = view_.WatchHandle(child.program.Handle(), LauncherView::HandleKind::kWaitable,
                                    Guarded([taken] { taken(); }));
    return;
  }
  // No handle to wait on: looked for now and then, for as long as this program runs.
  view_.After(kEndPoll, Guarded([this, &child, ended, taken] {
    if (quitting_ || !child.program.Running()) return;
    if (!taken()) WatchEnd(child, ended);
  }));
}

void LauncherCore::StartTranslator() {
  std::vector<std::string> args;
  if (!options_.desktopDir.empty()) args = {"--desktop", options_.desktopDir};
  SetTranslatorState(ProgramWatch::State::kRunning, "Translator: running");
  StartChild(translator_, programs_.translator, args, {}, &LauncherCore::TranslatorEnded);
}

void LauncherCore::TranslatorEnded(bool failed) {
  if (quitting_) return;
  const ProgramWatch::Decision decision =
      translator_.restarts.Ended(ProgramWatch::Clock::now(), failed);
  const std::string quickEnds = std::to_string(ProgramWatch::kQuickEndsToStop);
  if (decision.state == ProgramWatch::State::kStopped) {
    SetTranslatorState(decision.state, "Translator: stopped, after ending " + quickEnds +
                                           " times right after its start");
    view_.Notify("The translator keeps stopping",
                 "It ended " + quickEnds +
                     " times right after its start and is left stopped: messages come "
                     "untranslated. Choose \"Start the translator\" in Parlavant's menu to try "
                     "again.");
    return;
  }
  const auto seconds = (decision.wait.count() + 999) / 1000;
  SetTranslatorState(decision.state, "Translator: stopped; starting it again in " +
                                         std::to_string(seconds) + " s");
  view_.After(decision.wait, Guarded([this] {
    if (quitting_ || translator_.restarts.Current() != ProgramWatch::State::kRestarting) return;
    if (TranslatorReachable()) {
      // Another translator took its place meanwhile: it serves, and is none of ours to watch.
      SetTranslatorState(ProgramWatch::State::kNotStarted, "");
      return;
    }
    StartTranslator();
  }));
}

void LauncherCore::StartTranslatorAgain() {
  if (translator_.restarts.Current() == ProgramWatch::State::kRunning) return;
  translator_.restarts.Reset();
  StartTranslator();
}

void LauncherCore::SetTranslatorState(ProgramWatch::State state, std::string text) {
  const bool stopped = state == ProgramWatch::State::kStopped;
  status_.translator = std::move(text);
  status_.translatorStopped = stopped;
  ShowStatus();
  if (translatorStateFile_.empty()) return;
  // The window reads it when a translation fails; one word, replaced whole.
  const char* word = state == ProgramWatch::State::kRestarting ? "restarting"
                     : stopped                                ? "stopped"
                                                              : "running";
  const std::string next = translatorStateFile_ + ".new";
  {
    std::ofstream file(next, std::ios::binary | std::ios::trunc);
    file << word << '\n';
    if (!file.flush()) return;
  }
  std::error_code ignored;
  std::filesystem::rename(next, translatorStateFile_, ignored);
}

void LauncherCore::StartWindow() {
  if (programs_.window.empty()) return;
  std::vector<std::pair<std::string, std::string>> environment;
  if (!options_.desktopDir.empty()) environment.emplace_back("PARLAVANT_DESKTOP", options_.desktopDir);
  if (!translatorStateFile_.empty())
    environment.emplace_back("PARLAVANT_TRANSLATOR_STATE", translatorStateFile_);
  StartChild(window_, programs_.window, {}, environment, &LauncherCore::WindowEnded);
}

void LauncherCore::WindowEnded(bool failed) {
  if (quitting_) return;
  const ProgramWatch::Decision decision = window_.restarts.Ended(ProgramWatch::Clock::now(), failed);
  if (decision.state == ProgramWatch::State::kStopped) {
    view_.Notify("Parlavant's window keeps closing",
                 "It closed unexpectedly " + std::to_string(ProgramWatch::kQuickEndsToStop) +
                     " times right after its start. Choose \"Show Parlavant\" to try again.");
  } else if (decision.state == ProgramWatch::State::kRestarting) {
    view_.After(decision.wait, Guarded([this] {
      if (quitting_ || window_.restarts.Current() != ProgramWatch::State::kRestarting) return;
      if (!window_.program.Running()) StartWindow();
    }));
  }
}

void LauncherCore::Held(const std::string& from, const std::string& body) {
  // A window on its way tells of it itself, translated, once it has attached.
  if (window_.program.Running()) return;
  // Parlavant's window is not there to translate it: the text as it came, shortened.
  view_.Notify(from, Shortened(body, kNotifiedChars), Guarded([this] { ShowParlavant(); }));
}

void LauncherCore::SetWaiting(std::size_t waiting) {
  status_.waitingCount = waiting;
  status_.waiting = waiting == 0   ? std::string()
                    : waiting == 1 ? "1 message waits for Parlavant's window"
                                   : std::to_string(waiting) +
                                         " messages wait for Parlavant's window";
  ShowStatus();
}

}  // namespace xmpp::desktop
