#include "tools/chatclient/client_window.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QTimer>
#include <QVBoxLayout>

#include "tools/chatclient/window_mode.h"
#include "platform/command_line.h"
#include "platform/stop_signal.h"

namespace standin {

ClientWindow::ClientWindow(platform::Desktop& desktop, StandInClient& client) : client_(client) {
  setWindowTitle("Chat client (stand-in)");
  user_ = new QLabel(QString::fromStdString("Signed in as " + client_.Options().user), this);
  contacts_ = new QListWidget(this);
  for (const std::string& contact : client_.Options().contacts)
    contacts_->addItem(QString::fromStdString(contact));
  view_ = new QPlainTextEdit(this);
  view_->setReadOnly(true);
  input_ = new QLineEdit(this);
  input_->setPlaceholderText("A message from the selected contact");
  send_ = new QPushButton("Send as contact", this);

  auto* top = new QVBoxLayout(this);
  top->addWidget(user_);
  auto* middle = new QHBoxLayout;
  contacts_->setMaximumWidth(140);
  middle->addWidget(contacts_);
  middle->addWidget(view_, 1);
  top->addLayout(middle, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(input_, 1);
  bottom->addWidget(send_);
  top->addLayout(bottom);
  resize(560, 360);

  connect(contacts_, &QListWidget::currentRowChanged, this, [this] { ShowSelected(); });
  connect(send_, &QPushButton::clicked, this, [this] { SendTyped(); });
  connect(input_, &QLineEdit::returnPressed, this, [this] { SendTyped(); });
  if (contacts_->count() > 0) contacts_->setCurrentRow(0);

  client_.OnMessageSent = [this](const StandInClient::SentMessage& message) {
    const QString contact = QString::fromStdString(message.handle);
    if (contacts_->findItems(contact, Qt::MatchExactly).isEmpty()) contacts_->addItem(contact);
    Append(contact, "Parlavant: " + QString::fromUtf8(message.text));
  };
  if (desktop.EventHandle() >= 0) {
    notifier_ = std::make_unique<QSocketNotifier>(desktop.EventHandle(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this,
            [&desktop] { desktop.ProcessPending(); });
  }
}

void ClientWindow::Append(const QString& contact, const QString& line) {
  QString& log = conversations_[contact];
  if (!log.isEmpty()) log += '\n';
  log += line;
  ShowSelected();
}

void ClientWindow::ShowSelected() {
  const QListWidgetItem* item = contacts_->currentItem();
  view_->setPlainText(item != nullptr ? conversations_.value(item->text()) : QString());
}

void ClientWindow::SendTyped() {
  const QListWidgetItem* item = contacts_->currentItem();
  const QString text = input_->text();
  if (item == nullptr || text.isEmpty()) return;
  const QString contact = item->text();
  input_->clear();
  Append(contact, contact + ": " + text);
  client_.Receive(contact.toStdString(), text.toUtf8().toStdString());
}

int RunClientWindow(int argc, char** argv, platform::Desktop& desktop, StandInClient& client,
                    bool announce) {
  QApplication qt(argc, argv);
  ClientWindow window(desktop, client);
  window.show();
  if (announce) client.AnnounceApi();
  // The signal handler only sets a flag: the event loop looks at it, so the window too ends on
  // SIGTERM and SIGINT.
  QTimer stopCheck;
  QObject::connect(&stopCheck, &QTimer::timeout, [&qt] {
    if (platform::StopRequested()) qt.quit();
  });
  stopCheck.start(100);
  return qt.exec();
}

}  // namespace standin
