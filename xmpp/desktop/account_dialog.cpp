#include "xmpp/desktop/account_dialog.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QToolButton>
#include <QVBoxLayout>

#include "xmpp/desktop/account_form.h"

namespace xmpp::desktop {
AccountDialog::AccountDialog(const AccountSettings& current, const std::string& keyringText,
                             const std::string& privateFile, const std::string& currentPassword,
                             QWidget* parent)
    : QDialog(parent), base_(current) {
  setWindowTitle(QStringLiteral("Parlavant: chat account"));
  setObjectName(QStringLiteral("AccountDialog"));
  auto* form = new QFormLayout;
  jid = new QLineEdit(QString::fromStdString(current.jid));
  jid->setPlaceholderText(QStringLiteral("you@example.org"));
  jid->setAccessibleName(QStringLiteral("Chat address (JID)"));
  password = new QLineEdit(QString::fromStdString(currentPassword));
  password->setEchoMode(QLineEdit::Password);
  password->setAccessibleName(QStringLiteral("Password"));
  remember = new QCheckBox(QStringLiteral("remember the password"));
  remember->setChecked(true);
  form->addRow(QStringLiteral("Chat address (JID):"), jid);
  form->addRow(QStringLiteral("Password:"), password);
  form->addRow(QString(), remember);

  keyringNote = new QLabel;
  keyringNote->setWordWrap(true);
  keyringNote->setText(QString::fromStdString(KeyringNoteText(keyringText, privateFile)));
  keyringNote->setVisible(!keyringText.empty());

  // A disclosure button, not a titled frame: folded, a frame would stand empty.
  advanced = new QToolButton;
  advanced->setText(QStringLiteral("Advanced"));
  advanced->setCheckable(true);
  advanced->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  advanced->setAutoRaise(true);
  advanced->setAccessibleName(QStringLiteral("Advanced: server, port and CA file"));
  advancedFields = new QWidget;
  auto* more = new QFormLayout(advancedFields);
  more->setContentsMargins(0, 0, 0, 0);
  std::string host;
  int portNumber = 0;
  SplitServer(current.server, host, portNumber);
  server = new QLineEdit(QString::fromStdString(host));
  server->setPlaceholderText(QStringLiteral("found from the chat address"));
  server->setAccessibleName(QStringLiteral("Server"));
  port = new QSpinBox;
  port->setRange(0, 65535);
  port->setSpecialValueText(QStringLiteral("default"));
  port->setValue(portNumber);
  port->setAccessibleName(QStringLiteral("Port"));
  caFile = new QLineEdit(QString::fromStdString(current.caFile));
  caFile->setPlaceholderText(QStringLiteral("the system's certificates only"));
  caFile->setAccessibleName(QStringLiteral("CA file"));
  auto* browse = new QToolButton;
  browse->setText(QStringLiteral("…"));
  connect(browse, &QToolButton::clicked, this, [this] {
    const QString chosen =
        QFileDialog::getOpenFileName(this, QStringLiteral("CA file"), caFile->text());
    if (!chosen.isEmpty()) caFile->setText(chosen);
  });
  auto* caRow = new QHBoxLayout;
  caRow->addWidget(caFile);
  caRow->addWidget(browse);
  more->addRow(QStringLiteral("Server:"), server);
  more->addRow(QStringLiteral("Port:"), port);
  more->addRow(QStringLiteral("CA file:"), caRow);
  const auto unfold = [this](bool open) {
    advanced->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    advancedFields->setVisible(open);
  };
  connect(advanced, &QToolButton::toggled, this, unfold);
  // Folded away unless the account already needs it.
  const bool needed = !host.empty() || portNumber != 0 || !current.caFile.empty();
  advanced->setChecked(needed);
  unfold(needed);

  problem = new QLabel;
  problem->setWordWrap(true);
  problem->setStyleSheet(QStringLiteral("color: #b00020"));
  problem->setAccessibleName(QStringLiteral("Problem"));
  problem->hide();

  auto* buttons = new QDialogButtonBox;
  signIn = buttons->addButton(QStringLiteral("Sign in"), QDialogButtonBox::AcceptRole);
  buttons->addButton(QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &AccountDialog::Submit);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(keyringNote);
  layout->addWidget(advanced, 0, Qt::AlignLeft);
  layout->addWidget(advancedFields);
  layout->addWidget(problem);
  layout->addWidget(buttons);
  setMinimumWidth(380);
  (current.jid.empty() ? jid : password)->setFocus();
}

void AccountDialog::Submit() {
  const AccountSettings account =
      AccountFromFields(base_, jid->text().toStdString(), server->text().toStdString(),
                        port->value(), caFile->text().toStdString());
  problem->hide();
  signIn->setEnabled(false);
  signIn->setText(QStringLiteral("Signing in…"));
  if (OnSignIn) OnSignIn(account, password->text().toStdString(), remember->isChecked());
}

void AccountDialog::SignedIn() {
  password->clear();
  accept();
}

void AccountDialog::Refused(const std::string& reason, ClientEvent::Cause cause) {
  signIn->setEnabled(true);
  signIn->setText(QStringLiteral("Sign in"));
  problem->setText(QString::fromStdString(RefusalText(reason, cause)));
  problem->show();
  const AccountField which =
      FieldToCorrect(cause, !server->text().isEmpty() || port->value() != 0);
  QLineEdit* const fields[] = {jid, jid, password, server, caFile};
  QLineEdit* field = fields[static_cast<int>(which)];
  if (field == caFile || field == server) advanced->setChecked(true);
  field->setFocus();
  if (which == AccountField::kJidDomain) {
    const qsizetype at = jid->text().indexOf(QLatin1Char('@'));
    jid->setSelection(static_cast<int>(at + 1), static_cast<int>(jid->text().size() - at - 1));
  } else {
    field->selectAll();
  }
}

}  // namespace xmpp::desktop
