// Translate against the stand-in translator running as its own process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/error.h"
#include "testsupport/child_process.h"
#include "testsupport/net_util.h"
#include "testsupport/temp_dir.h"
#include "translate/translate.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ChildProcess;

class TranslatorProcessTest : public ::testing::Test {
 protected:
  TranslatorProcessTest() { desktop = platform::OpenDesktop(Desktop()); }
  ~TranslatorProcessTest() override {
    translator.reset();
    desktop.reset();
  }
  std::string Desktop() const { return dir_ + "/d"; }

  // Starts the stand-in and waits until it listens on `port` (unless it serves no HTTP).
  void Start(std::vector<std::string> extra, std::uint16_t port) {
    translator.reset();  // the one before gives up its ports first
    std::vector<std::string> argv = {TRANSLATOR_PATH, "--desktop", Desktop()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    translator = std::make_unique<ChildProcess>(argv);
    ASSERT_TRUE(translator->Running());
    if (port != 0) {
      ASSERT_TRUE(testsupport::WaitUntilListening(port));
    }
  }
  // Waits until the stand-in's window is on the desktop.
  bool WindowUp() {
    for (int i = 0; i < 500; ++i) {
      if (translate::LocalTranslatorRunning(*desktop)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string ErrorOf(const translate::TranslationService& service,
                      const std::u16string& text = u"x") {
    try {
      translate::Translate(http, *desktop, service, text, 1);
    } catch (const platform::Error& e) {
      return e.what();
    }
    return "(no error)";
  }

  testsupport::TempDir temp_{"ptrans"};
  const std::string dir_ = temp_.Path();
  std::unique_ptr<platform::Desktop> desktop;
  std::unique_ptr<ChildProcess> translator;
  translate::HttpClient http;
};

TEST_F(TranslatorProcessTest, DesktopTranslatorOnItsFixedPortThroughItsWindow) {
  Start({"--engine", "echo"}, translate::kLocalTranslatorPort);
  ASSERT_TRUE(WindowUp());
  translate::TranslationService service;
  service.webServiceHost = "127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort());
  EXPECT_EQ(translate::Translate(http, *desktop, service, u"Hi \U0001F600 & ça", 5),
            u"[es] Hi \U0001F600 & ça");
  EXPECT_EQ(translate::Translate(http, *desktop, service, u"Привет", 2), u"[bg] Привет");
}

TEST_F(TranslatorProcessTest, WebServiceWhenNoWindowIsUp) {
  const std::uint16_t port = testsupport::FreeLoopbackPort();
  const std::uint16_t webPort = testsupport::FreeLoopbackPort();
  Start({"--engine", "echo", "--no-window", "--port", std::to_string(port), "--web-port",
         std::to_string(webPort), "--cookie", "visit=1"},
        webPort);
  translate::TranslationService service;
  service.webServiceHost = "127.0.0.1:" + std::to_string(webPort);
  service.localPort = port;
  EXPECT_EQ(translate::Translate(http, *desktop, service, u"one", 1), u"[en] one");
  EXPECT_EQ(http.CookiesFor({"127.0.0.1", webPort, "/st.asp", false, ""}), "visit=1");
  EXPECT_EQ(translate::Translate(http, *desktop, service, u"two", 6), u"[fr] two");
  // Every client gets it, not only the first.
  translate::HttpClient another;
  EXPECT_EQ(translate::Translate(another, *desktop, service, u"three", 7), u"[it] three");
  EXPECT_EQ(another.CookiesFor({"127.0.0.1", webPort, "/st.asp", false, ""}), "visit=1");
}

TEST_F(TranslatorProcessTest, ItsFailureModesReachTheCallerAsErrors) {
  // A port of its own for each start: the one before may leave its port in TIME_WAIT.
  auto at = [](std::uint16_t port) {
    translate::TranslationService service;
    service.localPort = port;
    service.webServiceHost = "127.0.0.1:" + std::to_string(port);
    return service;
  };
  std::uint16_t port = testsupport::FreeLoopbackPort();
  Start({"--window-only", "--port", std::to_string(port)}, 0);
  ASSERT_TRUE(WindowUp());
  EXPECT_EQ(ErrorOf(at(port)), "Socket Error # 111\r\nConnection refused.");

  port = testsupport::FreeLoopbackPort();
  Start({"--no-window", "--engine", "echo", "--port", std::to_string(port), "--web-port",
         std::to_string(port), "--status", "503"},
        port);
  EXPECT_EQ(ErrorOf(at(port)), "HTTP/1.1 503 Service Unavailable");

  port = testsupport::FreeLoopbackPort();
  Start({"--no-window", "--port", std::to_string(port), "--web-port", std::to_string(port),
         "--close-early"},
        port);
  EXPECT_EQ(ErrorOf(at(port)), "Connection Closed Gracefully.");
}

TEST_F(TranslatorProcessTest, ApertiumTranslatesSpanishIntoEnglish) {
  if (std::system("command -v apertium >/dev/null 2>&1") != 0 ||
      !fs::exists("/usr/share/apertium/modes/spa-eng.mode")) {
    GTEST_SKIP() << "Apertium or its Spanish-English pair is not installed";
  }
  const std::uint16_t port = testsupport::FreeLoopbackPort();
  Start({"--no-window", "--port", std::to_string(port), "--web-port", std::to_string(port)}, port);
  translate::TranslationService service;
  service.localPort = port;
  service.webServiceHost = "127.0.0.1:" + std::to_string(port);
  std::int32_t source = 0;
  const std::u16string english =
      translate::Translate(http, *desktop, service, u"El perro come la manzana.", 1, &source);
  EXPECT_EQ(source, 5);  // the detected language, for answering in it
  EXPECT_NE(english.find(u"dog"), std::u16string::npos);
  EXPECT_NE(english.find(u"apple"), std::u16string::npos);
  // Text without a letter is itself in every language: a thumbs-up goes out as it is, and says
  // nothing of the language the contact writes in.
  for (const std::u16string& text : {std::u16string(u"\U0001F44D"), std::u16string(u"12"),
                                    std::u16string(u"15:30"), std::u16string()}) {
    std::int32_t said = -1;
    EXPECT_EQ(translate::Translate(http, *desktop, service, text, 5, &said), text);
    EXPECT_EQ(said, 0);
  }
  // No installed pair leads to German: an error that names both languages, never the text as
  // its own translation.
  try {
    translate::Translate(http, *desktop, service, u"El perro come la manzana.", 4);
    ADD_FAILURE() << "the text came back as its own translation";
  } catch (const platform::Error& e) {
    EXPECT_STREQ(e.what(), "HTTP/1.1 422 No translation from Spanish into German");
  }
}

// A fake Spanish-English mode: each stage records its process id, passes NUL-ended records on
// with "hola" made "hello", and on "cuelga" says so and sleeps for a minute as itself, reading
// no more input.
class FakeModes : public testsupport::TempDir {
 public:
  FakeModes() : testsupport::TempDir("pfmodes") {
    fs::create_directory(*this / "pids");
    std::ofstream(*this / "stage") << R"(#!/bin/bash
[ "$1" = -z ] || exit 2
: > "$2/pids/$$"
while IFS= read -r -d '' record; do
  case "$record" in *cuelga*) : > "$2/hung"; exec sleep 60 ;; esac
  printf '%s\0' "${record//hola/hello}"
done
)";
    fs::permissions(*this / "stage", fs::perms::owner_all);
    const std::string stage = *this / "stage" + " " + Path();
    std::ofstream(*this / "spa-eng.mode") << stage << " | " << stage;
  }
  std::vector<pid_t> Pids() const {
    std::vector<pid_t> pids;
    for (const auto& entry : fs::directory_iterator(*this / "pids"))
      pids.push_back(std::stoi(entry.path().filename().string()));
    return pids;
  }
};

TEST_F(TranslatorProcessTest, AHungPipelineIsAnswered503AndPipelinesEndWithTheTranslator) {
  FakeModes modes;
  const std::uint16_t port = testsupport::FreeLoopbackPort();
  auto startWithBound = [&](const char* ms) {
    Start({"--no-window", "--port", std::to_string(port), "--web-port", std::to_string(port),
           "--modes", modes.Path(), "--hang-bound", ms},
          port);
  };
  startWithBound("300");
  translate::TranslationService service;
  service.localPort = port;
  service.webServiceHost = "127.0.0.1:" + std::to_string(port);
  const std::u16string spanish = u"Buenos días, ¿cómo estás hoy, amigo mío? Yo estoy muy bien";
  EXPECT_EQ(translate::Translate(http, *desktop, service, u"hola " + spanish, 1),
            u"hello " + spanish);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(ErrorOf(service, spanish + u" cuelga"), ::testing::HasSubstr("503"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(translate::Translate(http, *desktop, service, u"hola " + spanish, 1),
            u"hello " + spanish);

  // Killed outright while a request hangs: the stage asleep reads nothing and would outlive it
  // but for the death signal; the stage after it waits for input from that one. The request's
  // connection ends with the translator: no stage holds a copy of it.
  startWithBound("60000");
  for (const auto& entry : fs::directory_iterator(modes / "pids")) fs::remove(entry.path());
  fs::remove(modes / "hung");
  std::thread hanging([&] { ErrorOf(service, spanish + u" cuelga"); });
  // The second stage may still be starting when the first has taken the record and gone to
  // sleep: both are waited for.
  for (int i = 0; i < 500 && !(fs::exists(modes / "hung") && modes.Pids().size() >= 2); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(fs::exists(modes / "hung"));
  const std::vector<pid_t> stages = modes.Pids();
  ASSERT_EQ(stages.size(), 2u);
  translator->Kill();
  const auto killed = std::chrono::steady_clock::now();
  hanging.join();
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(5));
  for (pid_t pid : stages)
    EXPECT_TRUE(testsupport::WaitUntilProcessEnded(pid, 2000)) << "stage " << pid;
}

}  // namespace
