#pragma once

// TMainForm: Parlavant's one window on Qt. It holds the designed controls and their components,
// shows them to the form's behaviour (FormCore) as its FormView, and calls the behaviour's
// handlers from the controls' signals.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "app/application.h"
#include "app/form_core.h"
#include "app/form_view.h"
#include "app/page_control.h"
#include "app/pending.h"
#include "app/widgets.h"

namespace app {

class TMainForm : public QWidget, private FormView {
  // First, so that the references below can be bound to the behaviour's members.
  TApplication& application_;
  std::unique_ptr<FormCore> core_;

 public:
  // Creates the window from its design and runs FormCreate; an error there is shown in the
  // application's error box and the window stays as far as it was set up. `settingsPath` is
  // where "parlavant.ini" lives.
  TMainForm(TApplication& application, std::string settingsPath);
  ~TMainForm() override;

  // Controls, named as designed.
  QLabel* l_Translate_To;
  QComboBox* TranslateTo;
  QCheckBox* WarnCB;
  PageControl* PageControl1;
  QPlainTextEdit* SendMessage;
  QPushButton* btnSend;
  QLabel* l_Send_To;
  QComboBox* ToUsers;
  QLabel* l_in;
  QComboBox* SendIn;

  // The behaviour, and what of it the program and its tests reach through the window.
  FormCore& Core() { return *core_; }
  chatlink::TSkypeControl& SkypeControl;
  TPendingChatMsgList& PendingChatMessages;
  std::string& CurrentUserHandle;
  std::function<void(const std::u16string& sender, const std::u16string& line)>& OnUnseenMessage;
  std::u16string Translate(std::u16string_view text, std::int32_t languageCode) {
    return core_->Translate(text, languageCode);
  }
  static std::int32_t LangCodeFromComboIndex(int index) {
    return FormCore::LangCodeFromComboIndex(index);
  }
  std::int32_t InterfaceLanguage() const { return core_->InterfaceLanguage(); }

  // The conversation tab for a handle (compared exactly), made when missing; and the text box
  // named "Memo" on a page (the name compared without regard to letter case), or null.
  QWidget* FindOrCreateConversationTab(const std::string& handle);
  static QPlainTextEdit* FindMemo(QWidget* page);
  // A tab's context menu, not yet shown (the caller's to show and delete).
  QMenu* TabMenu(int page);
  // A page's memo, made (with the page's lines) when it has none yet.
  QPlainTextEdit* Memo(int conversation);

  // The window caption in 8 bits, as the caption holds it; the window's component.
  std::string CaptionAnsi() const { return core_->Model().Caption(); }
  uilocal::TComponent& Component() const { return core_->Components().Form(); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // FormView.
  FormBounds Bounds() const override;
  void SetBounds(const FormBounds& bounds) override;
  void PlaceBottomRow() override;
  bool IsActive() const override { return isActiveWindow(); }
  void RequestAttention() override;
  bool WarnChecked() const override { return WarnCB->isChecked(); }
  void SetWarnChecked(bool checked) override { WarnCB->setChecked(checked); }
  std::u16string TypedText() const override;
  void ClearTyped() override;
  void SetSendEnabled(bool enabled) override { btnSend->setEnabled(enabled); }
  void ShowCaption(Control control, std::u16string_view text) override;
  void ShowPageCaption(int page, std::u16string_view text) override;
  void SetBusy(bool busy) override;
  void Later(std::function<void()> work) override;
  // The model, shown.
  void ContactsChanged() override;
  void RecipientChanged() override;
  void LanguagesChanged() override;
  void ConversationAdded(int conversation) override;
  void LineAdded(int conversation, int line) override;
  void LinesRestored(int conversation) override;
  void ShownChanged() override;
  void UnreadChanged(int conversation) override;
  void CaptionChanged() override;

  // The design (in main_form_layout.cpp), and the handlers bound to the controls.
  void Design();
  void MakeControls();
  void LayOut();
  void BindEvents();
  bool rendering_ = false;  // a page is being filled again: its scrolling is not the user's
  std::set<int> stale_;     // pages whose lines changed while they were not on show
  // Fills a page's memo with its lines, the reader's place kept.
  void Render(int conversation, QPlainTextEdit* memo);
  // Every control where the design's layout puts it for the client size now in force.
  void PlaceControls();
  void FitLabel(Control control);
  QWidget* ControlWidget(Control control) const;

  FormLayout layout_;
};

}  // namespace app
