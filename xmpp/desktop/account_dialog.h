#pragma once

// The account dialog: the JID, the password and whether to remember it, and under "Advanced"
// the server, its port and a CA file. It stays open until the account has signed in, and says
// why it could not, with the field to correct selected.

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>

#include <functional>
#include <string>

#include "xmpp/account_settings.h"
#include "xmpp/session.h"

namespace xmpp::desktop {

class AccountDialog : public QDialog {
 public:
  // `keyringNote`: why the keyring cannot keep the password (empty when it can); the dialog
  // then offers `privateFile` instead.
  // `password`: the current account's, shown masked (empty: none known).
  AccountDialog(const AccountSettings& current, const std::string& keyringNote,
                const std::string& privateFile, const std::string& password = {},
                QWidget* parent = nullptr);

  // Asked to sign in with what the fields hold.
  std::function<void(const AccountSettings& account, const std::string& password, bool remember)>
      OnSignIn;

  // The attempt's outcome: the dialog closes, or shows why and selects the field to correct.
  void SignedIn();
  void Refused(const std::string& reason, ClientEvent::Cause cause);

  QLineEdit* jid;
  QLineEdit* password;
  QCheckBox* remember;
  QLabel* keyringNote;
  QToolButton* advanced;  // unfolds advancedFields
  QWidget* advancedFields;
  QLineEdit* server;
  QSpinBox* port;
  QLineEdit* caFile;
  QLabel* problem;
  QPushButton* signIn;

 private:
  void Submit();
  AccountSettings base_;
};

}  // namespace xmpp::desktop
