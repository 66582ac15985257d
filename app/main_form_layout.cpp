// The window as designed: its controls in design order, then their fonts, places, keyboard order
// and designed texts, all from the design table.
#include "app/main_form.h"

namespace app {
void TMainForm::Design() {
  MakeControls();
  LayOut();
}

void TMainForm::MakeControls() {
  // The window's face before its controls are made: they take it as they are made, instead of
  // each being told of a new face once they all exist (a layout pass per control and face).
  setFont(QFont(kWindowFace, 8));

  l_Translate_To = new QLabel(this);
  TranslateTo = new QComboBox(this);
  WarnCB = new QCheckBox(this);
  PageControl1 = new PageControl(this);
  PageControl1->hide();
  SendMessage = new QPlainTextEdit(this);
  // Tab moves on to the next control, as in every text box of the window; it types no tab.
  SendMessage->setTabChangesFocus(true);
  btnSend = new QPushButton(this);
  btnSend->setEnabled(false);
  l_Send_To = new QLabel(this);
  ToUsers = new QComboBox(this);
  l_in = new QLabel(this);
  SendIn = new QComboBox(this);

  for (const DesignedControl& c : kDesign) {
    QWidget* widget = ControlWidget(c.id);
    widget->setObjectName(QString::fromUtf8(c.name.data(), static_cast<qsizetype>(c.name.size())));
    if (IsLabel(c.id)) {
      auto* label = static_cast<QLabel*>(widget);
      label->setAlignment((c.rightAligned ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
    }
    if (c.flat) {
      if (auto* frame = qobject_cast<QFrame*>(widget)) {
        MakeFlat(frame);
      } else if (auto* list = qobject_cast<QComboBox*>(widget)) {
        list->setFrame(false);
      }
    }
  }
}

void TMainForm::LayOut() {
  resize(kDesignClient.width, kDesignClient.height);
  setMinimumSize(kMinimumClient.width, kMinimumClient.height);
  QPalette background = palette();
  background.setColor(QPalette::Window, background.color(QPalette::Button));
  setPalette(background);
  setAutoFillBackground(true);

  for (const DesignedControl& c : kDesign) {
    if (c.face == Face::kControl) ControlWidget(c.id)->setFont(QFont(kControlFace, 8));
  }
  for (const std::u16string_view item : kLanguageItems) {
    TranslateTo->addItem(FromWide(item));
    SendIn->addItem(FromWide(item));
  }
  for (std::size_t i = 1; i < kTabOrder.size(); ++i) {
    setTabOrder(ControlWidget(kTabOrder[i - 1]), ControlWidget(kTabOrder[i]));
  }
  core_->Components().ShowDesignedTexts();
  PlaceControls();
}

}  // namespace app
