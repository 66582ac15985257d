#pragma once

// A window for the stand-in chat client, so a person can chat through Parlavant: the signed-in
// user, the contacts, the conversation with the selected contact (what Parlavant sent, decoded
// from UTF-8, and what was typed here), and a box to type a message as that contact.

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QWidget>

#include <map>
#include <memory>

#include "tools/chatclient/stand_in_client.h"

namespace standin {

class ClientWindow : public QWidget {
 public:
  ClientWindow(platform::Desktop& desktop, StandInClient& client);

  // The conversation with a contact as shown.
  QString Conversation(const QString& contact) const { return conversations_.value(contact); }
  QListWidget* Contacts() const { return contacts_; }
  QLineEdit* Input() const { return input_; }
  QPushButton* SendButton() const { return send_; }

 private:
  void Append(const QString& contact, const QString& line);
  void ShowSelected();
  void SendTyped();

  StandInClient& client_;
  std::unique_ptr<QSocketNotifier> notifier_;
  QLabel* user_;
  QListWidget* contacts_;
  QPlainTextEdit* view_;
  QLineEdit* input_;
  QPushButton* send_;
  QMap<QString, QString> conversations_;
};

}  // namespace standin
