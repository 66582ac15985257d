#include "tools/translator/engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "testsupport/temp_dir.h"

namespace standin {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A directory of mode files, as Apertium's pairs install them, and one file that is no mode.
class ModesDir : public testsupport::TempDir {
 public:
  explicit ModesDir(std::initializer_list<const char*> modes) : testsupport::TempDir("pmodes") {
    for (const char* mode : modes) std::ofstream(*this / (std::string(mode) + ".mode")) << "";
    std::ofstream(*this / "README") << "";
  }
};

TEST(Form, EveryCharacterReferenceIsItsUnit) {
  // What the client's own reply decoder would read otherwise ("*", "&#0 ") is not for a server.
  EXPECT_EQ(DecodeCharacterReferences("&#10063;&#0;&#72;&#105;&#55357;&#56832;"),
            std::u16string(u"\u274F") + u'\0' + u"Hi\xD83D\xDE00");
  EXPECT_EQ(DecodeCharacterReferences("a&b;&#;&#65&#65536;&#x41;"), u"a&b;&#;&#65&#65536;&#x41;");
}

TEST(Pairs, ReadFromModeNamesWithTwoLetterCodes) {
  ModesDir dir({"eng-spa", "spa-eng", "spa-eng_US", "eco-es-fr", "fr-es", "mkd-bul"});
  const Pairs pairs = ReadPairs(dir.Path());
  ASSERT_EQ(pairs.size(), 4u);
  EXPECT_EQ(pairs.at("en").at("es"), "eng-spa");
  EXPECT_EQ(pairs.at("es").at("en"), "spa-eng");
  EXPECT_EQ(pairs.at("fr").at("es"), "fr-es");
  EXPECT_EQ(pairs.at("mk").at("bg"), "mkd-bul");
  EXPECT_THAT(ReadPairs("/nonexistent/modes"), IsEmpty());
}

TEST(Pairs, RouteTakesTheFewestPairsAndPivotsWhereNeeded) {
  ModesDir dir({"eng-spa", "spa-eng", "es-fr", "fr-es", "spa-ita", "ita-spa", "mkd-eng", "mkd-bul",
                "bul-mkd", "eng-fra"});
  const Pairs pairs = ReadPairs(dir.Path());
  EXPECT_THAT(Route(pairs, "es", "en"), ElementsAre("es", "en"));
  EXPECT_THAT(Route(pairs, "en", "fr"), ElementsAre("en", "fr"));
  EXPECT_THAT(Route(pairs, "fr", "it"), ElementsAre("fr", "es", "it"));
  EXPECT_THAT(Route(pairs, "bg", "es"), ElementsAre("bg", "mk", "en", "es"));
  EXPECT_THAT(Route(pairs, "en", "de"), IsEmpty());
  EXPECT_THAT(Route(pairs, "en", "bg"), IsEmpty());
  EXPECT_THAT(Route(pairs, "es", "es"), IsEmpty());
}

TEST(Engines, EchoTagsTheTargetAndCodesMapToLanguages) {
  EXPECT_EQ(MakeEchoEngine()->Translate("Hola  amigo\n", "en"), "[en] Hola  amigo\n");
  EXPECT_EQ(IsoOfLanguageCode(1), "en");
  EXPECT_EQ(IsoOfLanguageCode(2), "bg");
  EXPECT_EQ(IsoOfLanguageCode(4), "de");
  EXPECT_EQ(IsoOfLanguageCode(7), "it");
  EXPECT_EQ(IsoOfLanguageCode(0), "");
  EXPECT_EQ(IsoOfLanguageCode(8), "");
}

TEST(Engines, ApertiumWithoutARouteRefusesNamingBothLanguages) {
  ModesDir dir({"eng-spa"});
  auto engine = MakeApertiumEngine(dir.Path());
  try {
    engine->Translate("Guten Morgen, wie geht es dir heute?", "tr");
    ADD_FAILURE() << "the text came back as its own translation";
  } catch (const NoLanguagePair& e) {
    EXPECT_STREQ(e.what(), "No translation from German into Turkish");
  }
}

// A thumbs-up, a number, a time, a question mark, nothing: answered as they are, naming no
// language (which would set what the writer is answered in).
TEST(Engines, ApertiumAnswersTextWithoutLettersAsItIs) {
  ModesDir dir({"eng-spa"});
  auto engine = MakeApertiumEngine(dir.Path());
  for (const std::string text : {"\xF0\x9F\x91\x8D", "12", "15:30", "?", "", " :-) \n"}) {
    std::string detected = "none";
    EXPECT_EQ(engine->Translate(text, "tr", &detected), text);
    EXPECT_EQ(detected, "none") << text;
  }
}

}  // namespace
}  // namespace standin
