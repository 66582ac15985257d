// The window as designed: its controls and their components, in design order, then their
// fonts, places, anchors, keyboard order and designed texts.
#include "app/main_form.h"

#include <initializer_list>

namespace app {
namespace {

using uilocal::ComponentKind;

// The two language lists, sorted: the six Latin names, then the Cyrillic one.
const char16_t* const kLanguageItems[] = {u"Deutch",   u"English", u"Espanol",  u"Francais",
                                          u"Italiano", u"Turkce",  u"Български"};

constexpr int kDesignedReceiveItem = 6;  // Български
constexpr int kDesignedSendItem = 1;     // English

}  // namespace

void TMainForm::Design() {
  MakeControls();
  LayOut();
}

WidgetComponent& TMainForm::Own(ComponentKind kind, std::string name, QWidget* widget) {
  // Owned, and freed, by the form's component, as every control's component is.
  return *new WidgetComponent(kind, std::move(name), form_.get(), widget);
}

void TMainForm::MakeControls() {
  form_ = std::make_unique<WidgetComponent>(ComponentKind::kForm, "MainForm", application_.Root(),
                                            uilocal::TComponent::HeldByMaker{}, this);
  // The window's face before its controls are made: they take it as they are made, instead of
  // each being told of a new face once they all exist (a layout pass per control and face).
  setFont(QFont(kWindowFace, 8));

  l_Translate_To = new QLabel(this);
  l_Translate_To->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  FitOnCaption(Own(ComponentKind::kTntLabel, "l_Translate_To", l_Translate_To), l_Translate_To);

  TranslateTo = new QComboBox(this);
  Own(ComponentKind::kTntComboBox, "TranslateTo", TranslateTo);

  WarnCB = new QCheckBox(this);
  Own(ComponentKind::kTntCheckBox, "WarnCB", WarnCB);

  PageControl1 = new PageControl(this);
  PageControl1->hide();
  pageControl_ = &Own(ComponentKind::kPageControl, "PageControl1", PageControl1);

  SendMessage = new QPlainTextEdit(this);
  MakeFlat(SendMessage);
  // Tab moves on to the next control, as in every text box of the window; it types no tab.
  SendMessage->setTabChangesFocus(true);
  Own(ComponentKind::kTntMemo, "SendMessage", SendMessage);

  btnSend = new QPushButton(this);
  btnSend->setEnabled(false);
  Own(ComponentKind::kTntButton, "btnSend", btnSend);

  l_Send_To = new QLabel(this);
  FitOnCaption(Own(ComponentKind::kTntLabel, "l_Send_To", l_Send_To), l_Send_To);

  ToUsers = new QComboBox(this);
  ToUsers->setFrame(false);
  Own(ComponentKind::kTntComboBox, "ToUsers", ToUsers);

  l_in = new QLabel(this);
  l_in->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  FitOnCaption(Own(ComponentKind::kTntLabel, "l_in", l_in), l_in);

  SendIn = new QComboBox(this);
  Own(ComponentKind::kTntComboBox, "SendIn", SendIn);

  // The two non-visual components have no widget; the form's component owns them too.
  Own(ComponentKind::kComponent, "SkypeControl", nullptr);
  Own(ComponentKind::kComponent, "HTTP", nullptr);
}

void TMainForm::LayOut() {
  // Client area 480 x 343 at 96 dpi; the minimum outer size 488 x 365 leaves a client area of at
  // least 480 x 338 with the frame the design allowed for.
  resize(480, 343);
  setMinimumSize(480, 338);
  QPalette background = palette();
  background.setColor(QPalette::Window, background.color(QPalette::Button));
  setPalette(background);
  setAutoFillBackground(true);

  // ToUsers and the tabs take the window's face; the other controls their own.
  for (QWidget* control : std::initializer_list<QWidget*>{
           l_Translate_To, TranslateTo, WarnCB, SendMessage, btnSend, l_Send_To, l_in, SendIn}) {
    control->setFont(QFont(kControlFace, 8));
  }
  for (const char16_t* item : kLanguageItems) {
    app::AddSorted(TranslateTo, QString::fromUtf16(item));
    app::AddSorted(SendIn, QString::fromUtf16(item));
  }
  // The designed selections, which the settings replace before the window shows.
  TranslateTo->setCurrentIndex(kDesignedReceiveItem);
  SendIn->setCurrentIndex(kDesignedSendItem);

  Place(l_Translate_To, 324, 6, 54, 13, akTop | akRight);
  Place(TranslateTo, 383, 3, 97, 21, akTop | akRight);
  Place(WarnCB, 224, 5, 97, 17, akLeft | akTop);
  Place(PageControl1, 1, 24, 478, 180, akLeft | akTop | akRight | akBottom);
  Place(SendMessage, 1, 206, 478, 96, akLeft | akRight | akBottom);
  Place(btnSend, 1, 307, 75, 21, akLeft | akBottom);
  Place(l_Send_To, 82, 311, 13, 13, akLeft | akBottom);
  Place(ToUsers, 99, 307, 255, 21, akLeft | akRight | akBottom);
  Place(l_in, 364, 311, 8, 13, akRight | akBottom);
  Place(SendIn, 377, 307, 103, 21, akRight | akBottom);

  setTabOrder(TranslateTo, SendMessage);
  setTabOrder(SendMessage, btnSend);
  setTabOrder(btnSend, ToUsers);
  setTabOrder(ToUsers, PageControl1);
  setTabOrder(PageControl1, SendIn);
  setTabOrder(SendIn, WarnCB);

  form_->SetCaptionAnsi("Parlavant 1.0:04");
  l_Translate_To->setText("Receive in:");
  WarnCB->setText("Warning");
  btnSend->setText("Send");
  l_Send_To->setText("To");
  l_in->setText("in");
}

void TMainForm::Place(QWidget* control, int left, int top, int width, int height, int anchors) {
  layout_.Place(control, QRect(left, top, width, height), anchors, size());
}

void TMainForm::FitOnCaption(WidgetComponent& component, QLabel* label) {
  component.AfterCaption = [this, label] { FitLabel(label); };
}

}  // namespace app
