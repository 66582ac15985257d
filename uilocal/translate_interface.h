#pragma once

// TranslateInterface: the texts of the user interface in every language, read once from the
// interface-translation file into the table `Translations`, and put into the components of all
// forms in one language at a time.
//
// The file's format: uilocal/interface_file.h.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "uilocal/component.h"
#include "uilocal/interface_file.h"

namespace uilocal {

// The table, in file order; one for the whole process. Only loading changes it.
const std::vector<ComponentTrRec>& Translations();

// Reads the file into Translations(). The name is opened as it stands (a bare name against the
// current directory); when no file of that name is there, in each of `alsoIn` in turn. A file
// that is missing or unreadable, or content that is cut short or damaged, leaves the well-formed
// records found so far and raises nothing. Malformed text raises platform::Error
// "LoadTranslations:" + the reason.
void LoadTranslations(const std::string& fileName, const std::vector<std::string>& alsoIn = {});

// The index of the first record with exactly this path and language, or -1.
int FindTranslation(std::string_view path, std::int32_t language);

// Puts the texts of `language` into every component that `application` owns, at any depth.
void SetInterfaceLanguage(uilocal::TComponent& application, std::int32_t language);
// One component and, depth first, everything it owns; `ownerPath` is its owner's path.
void TranslateComponent(uilocal::TComponent& component, std::string_view ownerPath,
                        std::int32_t language);

}  // namespace uilocal
