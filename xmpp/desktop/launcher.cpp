#include "xmpp/desktop/launcher.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>

#include "platform/desktop.h"
#include "platform/stop_signal.h"
#include "platform/command_line.h"

namespace xmpp::desktop {
namespace {

QIcon StateIcon(Connection state, std::size_t waiting = 0) {
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

}  // namespace

Launcher::Launcher(AccountSettings settings, ServiceOptions options, Programs programs)
    : notifications_(platform::DesktopNotifications(
          "Parlavant",
          [this](std::function<void()> task) { Post(std::move(task)); })),
      core_(std::make_unique<LauncherCore>(*this, std::move(settings), std::move(options),
                                           std::move(programs))) {
  MakeStatusView();
}

Launcher::~Launcher() {
  core_.reset();
  notifications_.reset();
  if (dialog_ != nullptr) delete dialog_.data();
}

void Launcher::Post(std::function<void()> task) {
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void Launcher::After(std::chrono::milliseconds wait, std::function<void()> task) {
  QTimer::singleShot(wait, this, std::move(task));
}

LauncherView::Watch Launcher::WatchHandle(std::intptr_t handle, HandleKind,
                                          std::function<void()> ready) {
  auto* notifier = new QSocketNotifier(static_cast<qintptr>(handle), QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, std::move(ready));
  // A watch may be dropped from its own handler: the notifier goes once that has returned.
  return std::shared_ptr<void>(notifier, [](void* watched) {
    auto* n = static_cast<QSocketNotifier*>(watched);
    n->setEnabled(false);
    n->deleteLater();
  });
}

void Launcher::EndLoop() { QApplication::quit(); }

void Launcher::Notify(const std::string& summary, const std::string& body,
                      std::function<void()> onClick) {
  notifications_->Notify(summary, body, std::move(onClick));
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
  ShowStatus(core_->Status());
}

bool Launcher::eventFilter(QObject* watched, QEvent* event) {
  if (watched == statusWindow_.get() && event->type() == QEvent::Close) {
    QTimer::singleShot(0, this, [this] { Quit(); });
  }
  return QObject::eventFilter(watched, event);
}

void Launcher::ShowStatus(const LauncherStatus& status) {
  if (stateAction_ == nullptr) return;  // before the view is made
  stateAction_->setText(QString::fromStdString(status.state));
  waitingAction_->setText(QString::fromStdString(status.waiting));
  waitingAction_->setVisible(!status.waiting.empty());
  translatorAction_->setText(QString::fromStdString(status.translator));
  translatorAction_->setVisible(!status.translator.empty());
  startTranslatorAction_->setVisible(status.translatorStopped);
  if (startTranslatorButton_ != nullptr) startTranslatorButton_->setVisible(status.translatorStopped);
  const QString all = QString::fromStdString(status.Lines());
  if (tray_ != nullptr) {
    tray_->setIcon(StateIcon(status.connection, status.waitingCount));
    tray_->setToolTip(QStringLiteral("Parlavant: ") + all);
  }
  if (statusWindow_) {
    statusWindow_->setWindowIcon(StateIcon(status.connection, status.waitingCount));
    statusLabel_->setText(all);
  }
}

void Launcher::OpenDialog(const DialogRequest& request) {
  // One that closed goes once the loop next runs: a new one takes its place now.
  if (dialog_ != nullptr) dialog_->deleteLater();
  dialog_ = new AccountDialog(request.current, request.keyringNote, request.privateFile,
                              request.password);
  dialog_->setAttribute(Qt::WA_DeleteOnClose);
  if (!request.problem.empty()) dialog_->Refused(request.problem, request.cause);
  dialog_->OnSignIn = [this](const AccountSettings& account, const std::string& password,
                             bool remember) { core_->SignIn(account, password, remember); };
  connect(dialog_, &QDialog::rejected, this, [this] { core_->DialogCancelled(); });
  dialog_->show();
  RaiseDialog();
}

bool Launcher::DialogOpen() const { return dialog_ != nullptr && dialog_->isVisible(); }

void Launcher::RaiseDialog() {
  if (dialog_ == nullptr) return;
  dialog_->raise();
  dialog_->activateWindow();
}

void Launcher::CloseDialog() {
  if (dialog_ != nullptr) dialog_->hide();
}

void Launcher::DialogSignedIn() {
  if (dialog_ != nullptr) dialog_->SignedIn();
}

void Launcher::DialogRefused(const std::string& reason, ClientEvent::Cause cause) {
  if (dialog_ != nullptr) dialog_->Refused(reason, cause);
}

QString Launcher::StateText() const { return QString::fromStdString(core_->Status().state); }

QString Launcher::TranslatorText() const {
  return QString::fromStdString(core_->Status().translator);
}

QString Launcher::WaitingText() const { return QString::fromStdString(core_->Status().waiting); }

int RunLauncher(int argc, char** argv, AccountSettings account, ServiceOptions service,
                ProgramWatch::Duration restartWait) {
  QApplication qt(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName(QStringLiteral("parlavant-xmpp"));
  QApplication::setWindowIcon(
      QIcon::fromTheme(QStringLiteral("parlavant"), StateIcon(Connection::kOnline)));
  Launcher::Programs programs = LauncherCore::InstalledPrograms();
  programs.restartWait = restartWait;
  auto launcher =
      std::make_unique<Launcher>(std::move(account), std::move(service), std::move(programs));
  Launcher* running = launcher.get();
  if (running->Core().HandOverToRunningCopy()) return 0;
  // A peer that goes away mid-write must not end the program; asked to end (at logout, say), it
  // quits as from the tray, the way Parlavant's window closes.
  platform::CatchStopSignals();
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
