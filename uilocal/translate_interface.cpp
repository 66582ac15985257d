#include "uilocal/translate_interface.h"

#include <fstream>

#include "platform/codepage.h"
#include "platform/error.h"

namespace uilocal {
namespace {

RecordTable& TheTable() {
  static RecordTable table;
  return table;
}

}  // namespace

const std::vector<ComponentTrRec>& Translations() {
  return TheTable().records;
}

void LoadTranslations(const std::string& fileName, const std::vector<std::string>& alsoIn) {
  std::ifstream file(fileName, std::ios::binary);
  for (std::size_t i = 0; !file.is_open() && i < alsoIn.size(); ++i) {
    file.open(alsoIn[i] + "/" + fileName, std::ios::binary);
  }
  ContentDecoder decoder;
  if (file.is_open()) {
    char block[kReadBlock];
    while (file) {
      file.read(block, sizeof block);
      const std::streamsize got = file.gcount();
      if (got <= 0 || !decoder.Feed(std::string_view(block, static_cast<std::size_t>(got)))) break;
    }
  }
  try {
    ParseRecords(decoder.TakeContent(), TheTable());
  } catch (const platform::Error& e) {
    throw platform::Error(std::string("LoadTranslations:") + e.what());
  }
}

int FindTranslation(std::string_view path, std::int32_t language) {
  const std::vector<ComponentTrRec>& table = Translations();
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i].Language == language && table[i].ComponentPath == path) return static_cast<int>(i);
  }
  return -1;
}

namespace {

void Apply(uilocal::TComponent& c, std::u16string_view text) {
  using K = uilocal::ComponentKind;
  const std::string ansi = platform::WideToAnsi(text);
  if (c.InheritsFrom(K::kForm)) c.SetCaptionAnsi(ansi);
  if (c.InheritsFrom(K::kTntForm)) c.SetCaptionWide(text);
  if (c.InheritsFrom(K::kMenuItem)) c.SetCaptionAnsi(ansi);
  if (c.InheritsFrom(K::kLabel)) c.SetCaptionAnsi(ansi);
  if (c.InheritsFrom(K::kTntMenuItem)) c.SetCaptionWide(text);
  if (c.InheritsFrom(K::kTntLabel)) c.SetCaptionWide(text);
  if (c.InheritsFrom(K::kTabSheet)) c.SetCaptionAnsi(ansi);
  if (c.InheritsFrom(K::kTntTabSheet)) c.SetCaptionWide(text);
  if (c.InheritsFrom(K::kTntRadioButton)) c.SetCaptionWide(text);
  // A speed button takes the hint and nothing else.
  const bool speedButton = c.InheritsFrom(K::kSpeedButton);
  if (speedButton && !c.InheritsFrom(K::kTntSpeedButton)) c.SetHintAnsi(ansi);
  if (c.InheritsFrom(K::kTntSpeedButton)) c.SetHintWide(text);
  if (speedButton) return;
  if (c.InheritsFrom(K::kButton)) c.SetCaptionAnsi(ansi);
  if (c.InheritsFrom(K::kTntButton)) c.SetCaptionWide(text);
  if (c.InheritsFrom(K::kTntBitBtn)) c.SetCaptionWide(text);
}

}  // namespace

void TranslateComponent(uilocal::TComponent& component, std::string_view ownerPath,
                        std::int32_t language) {
  std::string key(ownerPath);
  key += '.';
  key.erase(
      0, key.find_first_not_of('.') == std::string::npos ? key.size() : key.find_first_not_of('.'));
  key += component.Name();
  const int index = FindTranslation(key, language);
  if (index != -1) Apply(component, Translations()[static_cast<std::size_t>(index)].Text);
  for (int i = 0; i < component.ComponentCount(); ++i) {
    TranslateComponent(*component.Components(i), key, language);
  }
}

void SetInterfaceLanguage(uilocal::TComponent& application, std::int32_t language) {
  TranslateComponent(application, ".", language);
}

}  // namespace uilocal
