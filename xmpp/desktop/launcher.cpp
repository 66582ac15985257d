#include "xmpp/desktop/launcher.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTcpSocket>
#include <QTimer>
#include <QVBoxLayout>

#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "app/notifier.h"
#include "app/single_instance.h"
#include "platform/desktop.h"
#include "platform/error.h"
#include "platform/keyring.h"
#include "platform/location.h"
#include "platform/profile.h"
#include "platform/secret.h"
#include "platform/stop_signal.h"
#include "tools/common/command_line.h"
#include "xmpp/desktop/account_dialog.h"
#include "xmpp/stanza.h"

namespace xmpp::desktop {
namespace {

constexpr int kTranslatorPort = 4357;
constexpr int kProbeMs = 300;  // a translator on this machine answers a connect at once
constexpr int kEndMs = 3000;   // what the launcher started gets this long to end on its own
constexpr int kNotifiedChars = 300;  // of a message told in a notification

QIcon StateIcon(Launcher::Connection state, std::size_t waiting = 0) {
  using Connection = Launcher::Connection;
  QColor color;
  switch (state) {
    case Connection::kOnline:
      color = QColor(0x2e, 0x9d, 0x4f);
      break;
    case Connection::kConnecting:
      color = QColor(0xe0, 0xa1, 0x00);
      break;
    case Connection::kOffline:
      color = QColor(0x8a, 0x8a, 0x8a);
      break;
    case Connection::kRefused:
      color = QColor(0xc6, 0x28, 0x28);
      break;
  }
  QPixmap picture(32, 32);
  picture.fill(Qt::transparent);
  QPainter paint(&picture);
  paint.setRenderHint(QPainter::Antialiasing);
  paint.setBrush(QColor(0x1f, 0x5f, 0xa8));
  paint.setPen(Qt::NoPen);
  paint.drawRoundedRect(2, 4, 26, 20, 6, 6);  // a speech bubble
  QPolygon tail;
  tail << QPoint(8, 22) << QPoint(8, 30) << QPoint(16, 22);
  paint.drawPolygon(tail);
  paint.setBrush(color);
  paint.setPen(QPen(Qt::white, 2));
  paint.drawEllipse(18, 16, 13, 13);  // the connection's state
  if (waiting > 0) {
    // How many messages wait for the window, in a badge at the top right.
    const QString count = waiting > 99 ? QStringLiteral("99+") : QString::number(waiting);
    paint.setBrush(QColor(0xd3, 0x2f, 0x2f));
    paint.setPen(Qt::NoPen);
    const QRect badge(count.size() > 1 ? 10 : 16, 0, count.size() > 1 ? 22 : 16, 16);
    paint.drawRoundedRect(badge, 8, 8);
    QFont font = paint.font();
    font.setPixelSize(11);
    font.setBold(true);
    paint.setFont(font);
    paint.setPen(Qt::white);
    paint.drawText(badge, Qt::AlignCenter, count);
  }
  return QIcon(picture);
}

// A program of Parlavant's: beside this one when installed, in its build directory otherwise.
QString FindProgram(const QString& name) {
  const QDir here(QString::fromStdString(platform::ProgramDirectory()));
  for (const QString& candidate :
       {here.filePath(name), here.filePath("../tools/" + name), here.filePath("../app/" + name)}) {
    if (QFileInfo(candidate).isExecutable()) return QFileInfo(candidate).canonicalFilePath();
  }
  return name;  // from PATH
}

// Whether the window's settings name a translation web service (an office's, say). The window
// prefers a desktop translator whenever one is up, so none is started then: the service would
// never be used.
bool WebServiceChosen() {
  const platform::ProfileFile settings(platform::ProfilePath("parlavant.ini"));
  return !platform::TrimProfileBlanks(settings.ReadString("General", "WebService", "")).empty();
}

bool TranslatorReachable() {
  QTcpSocket probe;
  probe.connectToHost(QStringLiteral("127.0.0.1"), kTranslatorPort);
  return probe.waitForConnected(kProbeMs);
}

}  // namespace

Launcher::Programs Launcher::InstalledPrograms() {
  return {FindProgram(QStringLiteral("parlavant-translator")),
          FindProgram(QStringLiteral("parlavant")), std::chrono::seconds(1)};
}

Launcher::Launcher(AccountSettings settings, ServiceOptions options, Programs programs)
    : settings_(std::move(settings)),
      options_(std::move(options)),
      notifier_(QStringLiteral("Parlavant")),
      translatorWatch_(true, programs.restartWait),
      windowWatch_(false, programs.restartWait),
      programs_(std::move(programs)) {}

Launcher::~Launcher() {
  EndTrial();
  StopService();
}

void Launcher::Start() {
  MakeStatusView();
  ReadAccountSettings(settings_);
  std::string keyringNote;
  std::optional<std::string> password;
  try {
    password = FindPassword(settings_, &keyringNote);
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
    problem_ = e.what();
    OpenAccountDialog(true);
    return;
  }
  std::fill(password->begin(), password->end(), '\0');
  StartCompanions();
}

void Launcher::ShowParlavant() {
  if (dialog_ != nullptr && dialog_->isVisible()) {
    dialog_->raise();
    dialog_->activateWindow();
    return;
  }
  // A second start of the window brings the first to the front and ends; without a first,
  // it is the window.
  if (window_ != nullptr && window_->state() != QProcess::NotRunning) {
    QProcess::startDetached(programs_.window, {});
    return;
  }
  windowWatch_.Reset();  // asked for by the user: whatever it did before, it gets its chances
  StartWindow();
}

void Launcher::Quit() {
  if (quitting_) return;
  quitting_ = true;
  if (dialog_ != nullptr) dialog_->hide();
  EndTrial();
  StopService();
  // What the launcher started ends with it; a translator it found running stays.
  for (QProcess* child : {window_.data(), translator_.data()}) {
    if (child != nullptr && child->state() != QProcess::NotRunning) child->terminate();
  }
  for (QProcess* child : {window_.data(), translator_.data()}) {
    if (child != nullptr && child->state() != QProcess::NotRunning &&
        !child->waitForFinished(kEndMs)) {
      child->kill();
      child->waitForFinished(kEndMs);
    }
  }
  if (!translatorStateFile_.isEmpty()) QFile::remove(translatorStateFile_);
  QApplication::quit();
}

void Launcher::OpenAccountDialog(bool first) {
  if (dialog_ != nullptr && dialog_->isVisible()) {
    dialog_->raise();
    dialog_->activateWindow();
    return;
  }
  // One that closed goes once the loop next runs: a new one takes its place now.
  if (dialog_ != nullptr) dialog_->deleteLater();
  platform::KeyringAnswer probe;
  platform::KeyringLookup("", probe);
  keyringMissing_ = !probe.available;
  // The account as it is, its password too (masked), so that pressing Sign in changes nothing.
  std::optional<std::string> stored;
  try {
    if (!settings_.jid.empty()) stored = FindPassword(settings_, nullptr);
  } catch (const platform::Error&) {
  }
  dialog_ = new AccountDialog(settings_, keyringMissing_ ? probe.error : "", PrivateFile(),
                              stored.value_or(""));
  if (stored) std::fill(stored->begin(), stored->end(), '\0');
  dialog_->setAttribute(Qt::WA_DeleteOnClose);
  if (!problem_.empty()) {
    dialog_->Refused(problem_, problemCause_);
    problem_.clear();
    problemCause_ = ClientEvent::kNoCause;
  }
  dialog_->OnSignIn = [this](const AccountSettings& account, const std::string& password,
                             bool remember) { SignIn(account, password, remember); };
  connect(dialog_, &QDialog::rejected, this, [this, first] {
    if (trial_) {
      // The account being tried is dropped; the one signed in was never touched.
      EndTrial();
      pending_.reset();
      return;
    }
    const bool signingIn = pending_.has_value();
    pending_.reset();
    if (first && !serviceRunning_) {
      Quit();  // nothing to do without an account
      return;
    }
    if (signingIn) RestartSaved();
  });
  dialog_->show();
  dialog_->raise();
  dialog_->activateWindow();
}

std::string Launcher::PrivateFile() const {
  const std::string settingsDir =
      settings_.settingsFile.substr(0, settings_.settingsFile.find_last_of('/') + 1);
  return settingsDir + "parlavant-xmpp.password";
}

void Launcher::MakeStatusView() {
  auto* account = new QAction(QStringLiteral("Account…"), this);
  auto* show = new QAction(QStringLiteral("Show Parlavant"), this);
  auto* quit = new QAction(QStringLiteral("Quit"), this);
  waitingAction_ = new QAction(this);
  connect(waitingAction_, &QAction::triggered, this, [this] { ShowParlavant(); });
  waitingAction_->setVisible(false);
  translatorAction_ = new QAction(this);
  translatorAction_->setEnabled(false);
  translatorAction_->setVisible(false);
  startTranslatorAction_ = new QAction(QStringLiteral("Start the translator"), this);
  startTranslatorAction_->setVisible(false);
  connect(startTranslatorAction_, &QAction::triggered, this, [this] { StartTranslatorAgain(); });
  connect(account, &QAction::triggered, this, [this] { OpenAccountDialog(false); });
  connect(show, &QAction::triggered, this, [this] { ShowParlavant(); });
  connect(quit, &QAction::triggered, this, [this] { Quit(); });
  stateAction_ = new QAction(this);
  stateAction_->setEnabled(false);
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    menu_ = std::make_unique<QMenu>();
    menu_->addAction(stateAction_);
    menu_->addAction(waitingAction_);
    menu_->addAction(translatorAction_);
    menu_->addAction(startTranslatorAction_);
    menu_->addSeparator();
    menu_->addAction(account);
    menu_->addAction(show);
    menu_->addSeparator();
    menu_->addAction(quit);
    tray_ = new QSystemTrayIcon(StateIcon(Connection::kOffline), this);
    tray_->setContextMenu(menu_.get());
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
      if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) ShowParlavant();
    });
    tray_->show();
  } else {
    // No tray to sit in: a small window shows the same and offers the same.
    statusWindow_ = std::make_unique<QWidget>();
    statusWindow_->setWindowTitle(QStringLiteral("Parlavant: connection"));
    statusWindow_->setObjectName(QStringLiteral("StatusWindow"));
    statusLabel_ = new QLabel;
    statusLabel_->setWordWrap(true);
    statusLabel_->setMinimumWidth(280);
    auto* buttons = new QHBoxLayout;
    for (QAction* action : {account, show, quit}) {
      auto* button = new QPushButton(action->text());
      connect(button, &QPushButton::clicked, action, &QAction::trigger);
      buttons->addWidget(button);
    }
    startTranslatorButton_ = new QPushButton(startTranslatorAction_->text());
    startTranslatorButton_->setVisible(false);
    connect(startTranslatorButton_, &QPushButton::clicked, startTranslatorAction_,
            &QAction::trigger);
    buttons->insertWidget(0, startTranslatorButton_);
    auto* layout = new QVBoxLayout(statusWindow_.get());
    layout->addWidget(statusLabel_);
    layout->addLayout(buttons);
    // Closing it is quitting: nothing else would show that the program still runs.
    statusWindow_->installEventFilter(this);
    statusWindow_->show();
  }
  SetState(Connection::kOffline, QStringLiteral("Not signed in"));
}

bool Launcher::eventFilter(QObject* watched, QEvent* event) {
  if (watched == statusWindow_.get() && event->type() == QEvent::Close) {
    QTimer::singleShot(0, this, [this] { Quit(); });
  }
  return QObject::eventFilter(watched, event);
}

void Launcher::SetState(Connection state, const QString& text) {
  stateAction_->setText(text);
  connection_ = state;
  QString all = text;
  for (const QString& more : {WaitingText(), TranslatorText()}) {
    if (!more.isEmpty()) all += QStringLiteral("\n") + more;
  }
  if (tray_ != nullptr) {
    tray_->setIcon(StateIcon(state, waiting_));
    tray_->setToolTip(QStringLiteral("Parlavant: ") + all);
  }
  if (statusWindow_) {
    statusWindow_->setWindowIcon(StateIcon(state, waiting_));
    statusLabel_->setText(all);
  }
}

void Launcher::SignIn(const AccountSettings& account, const std::string& password, bool remember) {
  Account made;
  try {
    made = MakeAccount(account, password);
  } catch (const platform::Error& e) {
    dialog_->Refused(e.what(), ClientEvent::kNoCause);
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
  if (current) std::fill(current->begin(), current->end(), '\0');
  if (same) {
    KeepAccount();  // "remember" may have changed; the connection stays as it is
    if (dialog_ != nullptr) dialog_->SignedIn();
    return;
  }
  StartTrial(std::move(made));
}

void Launcher::StartTrial(Account account) {
  EndTrial();
  ClientOptions options = options_.client;
  options.retryUntilOnline = false;
  options.session.checkOnly = true;
  // A name of its own: the running connection's (or one the JID names) would end that one.
  account.jid = BareJid(account.jid);
  account.resource.clear();
  trial_ = std::make_unique<XmppClient>(std::move(account), options);
  trialWake_ = std::make_unique<QSocketNotifier>(trial_->WakeHandle(), QSocketNotifier::Read);
  connect(trialWake_.get(), &QSocketNotifier::activated, this, [this] { TrialEvents(); });
  trial_->Start();
}

void Launcher::TrialEvents() {
  if (!trial_) return;
  for (const ClientEvent& event : trial_->TakeEvents()) {
    if (event.kind == ClientEvent::kOnline) {
      EndTrial();
      const Pending& pending = *pending_;
      try {
        StartService(MakeAccount(pending.account, pending.password), false);
      } catch (const platform::Error& e) {
        pending_.reset();
        if (dialog_ != nullptr) dialog_->Refused(e.what(), ClientEvent::kNoCause);
        RestartSaved();
      }
      return;  // the new service's own sign-in keeps the account and closes the dialog
    }
    if (event.kind == ClientEvent::kFailed || event.kind == ClientEvent::kRefused) {
      EndTrial();
      pending_.reset();
      if (dialog_ != nullptr) dialog_->Refused(event.reason, event.cause);
      return;
    }
  }
}

void Launcher::EndTrial() {
  trialWake_.reset();
  trial_.reset();
}

void Launcher::KeepAccount() {
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
  std::fill(pending.password.begin(), pending.password.end(), '\0');
  std::string error;
  if (!WriteAccountSettings(s, error)) note = "the account is not remembered: " + error;
  settings_ = s;
  if (!note.empty()) notifier_.Notify(QStringLiteral("Parlavant"), QString::fromStdString(note));
  if (!note.empty()) std::cerr << "parlavant-xmpp: " << note << '\n';
}

void Launcher::RestartSaved() {
  std::optional<std::string> password;
  try {
    password = FindPassword(settings_, nullptr);
    if (!settings_.jid.empty() && password) {
      StartService(MakeAccount(settings_, *password), true);
      return;
    }
  } catch (const platform::Error&) {
  }
  SetState(Connection::kOffline, QStringLiteral("Not signed in"));
}

void Launcher::StartService(Account account, bool saved) {
  StopService();
  ServiceOptions options = options_;
  options.client.retryUntilOnline = saved;
  service_ = std::make_unique<AccountService>(std::move(account), options);
  serviceRunning_ = true;
  lostSaid_ = false;
  // What a service that was replaced still had on its way is not this one's news.
  const int generation = ++generation_;
  const QPointer<Launcher> self(this);
  service_->OnConnection = [self, generation](const ClientEvent& event) {
    QMetaObject::invokeMethod(
        qApp,
        [self, generation, event] {
          if (self && self->generation_ == generation) self->Connected(event);
        },
        Qt::QueuedConnection);
  };
  service_->OnHeld = [self, generation](const std::string& from, const std::string& body) {
    QMetaObject::invokeMethod(
        qApp,
        [self, generation, from, body] {
          if (self && self->generation_ == generation) self->Held(from, body);
        },
        Qt::QueuedConnection);
  };
  service_->OnWaiting = [self, generation](std::size_t waiting) {
    QMetaObject::invokeMethod(
        qApp,
        [self, generation, waiting] {
          if (self && self->generation_ == generation) self->SetWaiting(waiting);
        },
        Qt::QueuedConnection);
  };
  SetWaiting(0);
  SetState(Connection::kConnecting, QStringLiteral("Connecting…"));
  AccountService* service = service_.get();
  thread_ = std::thread([service, self, generation] {
    service->Run();
    QMetaObject::invokeMethod(
        qApp,
        [self, generation] {
          if (self && self->generation_ == generation) self->serviceRunning_ = false;
        },
        Qt::QueuedConnection);
  });
}

void Launcher::StopService() {
  if (!service_) return;
  service_->Stop();
  if (thread_.joinable()) thread_.join();
  service_.reset();
  serviceRunning_ = false;
}

void Launcher::Connected(const ClientEvent& event) {
  switch (event.kind) {
    case ClientEvent::kOnline: {
      const std::string& jid = pending_ ? pending_->account.jid : settings_.jid;
      SetState(Connection::kOnline,
               QStringLiteral("Signed in as %1").arg(QString::fromStdString(BareJid(jid))));
      if (lostSaid_) {
        notifier_.Notify(QStringLiteral("Connection restored"),
                         QStringLiteral("Parlavant is signed in again."));
        lostSaid_ = false;
      }
      if (pending_) {
        KeepAccount();
        if (dialog_ != nullptr) dialog_->SignedIn();
        StartCompanions();
      }
      break;
    }
    case ClientEvent::kOffline: {
      const int seconds = (event.retryMs + 999) / 1000;
      SetState(Connection::kConnecting, QStringLiteral("Connecting: %1; next attempt in %2 s")
                                            .arg(QString::fromStdString(event.reason))
                                            .arg(seconds));
      if (event.lost && !lostSaid_) {
        notifier_.Notify(QStringLiteral("Connection lost"),
                         QString::fromStdString(event.reason) +
                             QStringLiteral(". Parlavant is connecting again."));
        lostSaid_ = true;
      }
      break;
    }
    case ClientEvent::kRefused:
      SetState(Connection::kRefused,
               QStringLiteral("Login refused: correct the password under Account…"));
      notifier_.Notify(QStringLiteral("Login refused"), QString::fromStdString(event.reason));
      break;
    case ClientEvent::kFailed:
      serviceRunning_ = false;
      if (pending_ && dialog_ != nullptr) {
        pending_.reset();
        SetState(Connection::kOffline, QStringLiteral("Not signed in"));
        dialog_->Refused(event.reason, event.cause);
      } else {
        SetState(
            event.cause == ClientEvent::kPassword ? Connection::kRefused : Connection::kOffline,
            QStringLiteral("Offline: %1").arg(QString::fromStdString(event.reason)));
        // A kept password the server no longer takes: the dialog, to correct it.
        if (event.cause == ClientEvent::kPassword && dialog_ == nullptr) {
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

void Launcher::StartCompanions() {
  if (companionsStarted_) return;
  companionsStarted_ = true;
  if (!programs_.translator.isEmpty() && !WebServiceChosen() && !TranslatorReachable()) {
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty()) runtime = QDir::tempPath();
    translatorStateFile_ =
        runtime + QStringLiteral("/parlavant-translator.%1").arg(QApplication::applicationPid());
    StartTranslator();
  }
  StartWindow();
}

void Launcher::StartTranslator() {
  if (translator_ != nullptr) translator_->deleteLater();
  translator_ = new QProcess(this);
  QStringList args;
  if (!options_.desktopDir.empty()) {
    args << QStringLiteral("--desktop") << QString::fromStdString(options_.desktopDir);
  }
  translator_->setProcessChannelMode(QProcess::ForwardedChannels);
  QProcess* started = translator_;
  connect(started, &QProcess::finished, this,
          [this, started](int code, QProcess::ExitStatus status) {
            if (started == translator_) TranslatorEnded(status == QProcess::CrashExit || code != 0);
          });
  connect(started, &QProcess::errorOccurred, this, [this, started](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart && started == translator_) TranslatorEnded(true);
  });
  translatorWatch_.Started(ProgramWatch::Clock::now());
  SetTranslatorState(ProgramWatch::State::kRunning, QStringLiteral("Translator: running"));
  translator_->start(programs_.translator, args);
}

void Launcher::TranslatorEnded(bool failed) {
  if (quitting_) return;
  const ProgramWatch::Decision decision = translatorWatch_.Ended(ProgramWatch::Clock::now(), failed);
  if (decision.state == ProgramWatch::State::kStopped) {
    SetTranslatorState(decision.state,
                       QStringLiteral("Translator: stopped, after ending %1 times right after "
                                      "its start")
                           .arg(ProgramWatch::kQuickEndsToStop));
    notifier_.Notify(QStringLiteral("The translator keeps stopping"),
                     QStringLiteral("It ended %1 times right after its start and is left "
                                    "stopped: messages come untranslated. Choose \"Start the "
                                    "translator\" in Parlavant's menu to try again.")
                         .arg(ProgramWatch::kQuickEndsToStop));
    return;
  }
  const qint64 seconds = (decision.wait.count() + 999) / 1000;
  SetTranslatorState(decision.state,
                     QStringLiteral("Translator: stopped; starting it again in %1 s").arg(seconds));
  QTimer::singleShot(decision.wait, this, [this] {
    if (quitting_ || translatorWatch_.Current() != ProgramWatch::State::kRestarting) return;
    if (TranslatorReachable()) {
      // Another translator took its place meanwhile: it serves, and is none of ours to watch.
      SetTranslatorState(ProgramWatch::State::kNotStarted, QString());
      return;
    }
    StartTranslator();
  });
}

void Launcher::StartTranslatorAgain() {
  if (translatorWatch_.Current() == ProgramWatch::State::kRunning) return;
  translatorWatch_.Reset();
  StartTranslator();
}

void Launcher::SetTranslatorState(ProgramWatch::State state, const QString& text) {
  translatorAction_->setText(text);
  translatorAction_->setVisible(!text.isEmpty());
  const bool stopped = state == ProgramWatch::State::kStopped;
  startTranslatorAction_->setVisible(stopped);
  if (startTranslatorButton_ != nullptr) startTranslatorButton_->setVisible(stopped);
  SetState(connection_, stateAction_->text());
  if (translatorStateFile_.isEmpty()) return;
  // The window reads it when a translation fails; one word, replaced whole.
  const char* word = state == ProgramWatch::State::kRestarting ? "restarting"
                     : stopped                                ? "stopped"
                                                              : "running";
  QSaveFile file(translatorStateFile_);
  if (file.open(QIODevice::WriteOnly)) {
    file.write(word);
    file.write("\n");
    file.commit();
  }
}

void Launcher::StartWindow() {
  if (programs_.window.isEmpty()) return;
  if (window_ != nullptr) window_->deleteLater();
  window_ = new QProcess(this);
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  if (!options_.desktopDir.empty()) {
    environment.insert(QStringLiteral("PARLAVANT_DESKTOP"),
                       QString::fromStdString(options_.desktopDir));
  }
  if (!translatorStateFile_.isEmpty()) {
    environment.insert(QStringLiteral("PARLAVANT_TRANSLATOR_STATE"), translatorStateFile_);
  }
  window_->setProcessEnvironment(environment);
  window_->setProcessChannelMode(QProcess::ForwardedChannels);
  QProcess* started = window_;
  connect(started, &QProcess::finished, this,
          [this, started](int code, QProcess::ExitStatus status) {
            if (started == window_) WindowEnded(status == QProcess::CrashExit || code != 0);
          });
  connect(started, &QProcess::errorOccurred, this, [this, started](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart && started == window_) WindowEnded(true);
  });
  windowWatch_.Started(ProgramWatch::Clock::now());
  window_->start(programs_.window, {});
}

void Launcher::WindowEnded(bool failed) {
  if (quitting_) return;
  const ProgramWatch::Decision decision = windowWatch_.Ended(ProgramWatch::Clock::now(), failed);
  if (decision.state == ProgramWatch::State::kStopped) {
    notifier_.Notify(QStringLiteral("Parlavant's window keeps closing"),
                     QStringLiteral("It closed unexpectedly %1 times right after its start. "
                                    "Choose \"Show Parlavant\" to try again.")
                         .arg(ProgramWatch::kQuickEndsToStop));
  } else if (decision.state == ProgramWatch::State::kRestarting) {
    QTimer::singleShot(decision.wait, this, [this] {
      if (quitting_ || windowWatch_.Current() != ProgramWatch::State::kRestarting) return;
      if (window_ == nullptr || window_->state() == QProcess::NotRunning) StartWindow();
    });
  }
}

void Launcher::Held(const std::string& from, const std::string& body) {
  // A window on its way tells of it itself, translated, once it has attached.
  if (window_ != nullptr && window_->state() != QProcess::NotRunning) return;
  // Parlavant's window is not there to translate it: the text as it came, shortened.
  QString text = QString::fromStdString(body);
  if (text.size() > kNotifiedChars) text = text.left(kNotifiedChars) + QStringLiteral("…");
  notifier_.Notify(QString::fromStdString(from), text, [self = QPointer<Launcher>(this)] {
    if (self) self->ShowParlavant();
  });
}

void Launcher::SetWaiting(std::size_t waiting) {
  waiting_ = waiting;
  waitingAction_->setText(waiting == 1 ? QStringLiteral("1 message waits for Parlavant's window")
                                       : QStringLiteral("%1 messages wait for Parlavant's window")
                                             .arg(waiting));
  waitingAction_->setVisible(waiting > 0);
  SetState(connection_, stateAction_->text());
}

QString Launcher::WaitingText() const {
  return waitingAction_ != nullptr && waitingAction_->isVisible() ? waitingAction_->text()
                                                                  : QString();
}

QString Launcher::StateText() const {
  return stateAction_ != nullptr ? stateAction_->text() : QString();
}

QString Launcher::TranslatorText() const {
  return translatorAction_ != nullptr ? translatorAction_->text() : QString();
}

int RunLauncher(int argc, char** argv, AccountSettings account, ServiceOptions service,
                ProgramWatch::Duration restartWait) {
  QApplication qt(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName(QStringLiteral("parlavant-xmpp"));
  QApplication::setWindowIcon(
      QIcon::fromTheme(QStringLiteral("parlavant"), StateIcon(Launcher::Connection::kOnline)));
  const std::string desktop =
      service.desktopDir.empty() ? platform::DefaultDesktopLocation() : service.desktopDir;
  app::SingleInstance instance(QStringLiteral("parlavant-xmpp"), QString::fromStdString(desktop));
  Launcher::Programs programs = Launcher::InstalledPrograms();
  programs.restartWait = restartWait;
  auto launcher =
      std::make_unique<Launcher>(std::move(account), std::move(service), std::move(programs));
  Launcher* running = launcher.get();
  if (instance.HandOver([running] { running->ShowParlavant(); })) return 0;
  // A peer that goes away mid-write must not end the program; asked to end (at logout, say), it
  // quits as from the tray, the way Parlavant's window closes.
  tools::CatchStopSignals();
  std::unique_ptr<QSocketNotifier> stop;
  if (const int stopSignals = platform::WatchStopSignals(); stopSignals >= 0) {
    stop = std::make_unique<QSocketNotifier>(stopSignals, QSocketNotifier::Read);
    QObject::connect(stop.get(), &QSocketNotifier::activated, running, [running, stopSignals] {
      if (platform::TakeStopRequests(stopSignals)) running->Quit();
    });
  }
  launcher->Start();
  const int status = qt.exec();
  launcher.reset();
  return status;
}

}  // namespace xmpp::desktop
