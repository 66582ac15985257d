// Translate against the stand-in translator running as its own process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

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
  std::string ErrorOf(const translate::TranslationService& service) {
    try {
      translate::Translate(http, *desktop, service, u"x", 1);
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
  EXPECT_EQ(http.CookiesFor({"127.0.0.1", webPort, "/st.asp"}), "visit=1");
  EXPECT_EQ(translate::Translate(http, *desktop, service, u"two", 6), u"[fr] two");
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
  const std::u16string english =
      translate::Translate(http, *desktop, service, u"El perro come la manzana.", 1);
  EXPECT_NE(english.find(u"dog"), std::u16string::npos);
  EXPECT_NE(english.find(u"apple"), std::u16string::npos);
  // No installed pair leads to German: the text comes back as it went.
  EXPECT_EQ(translate::Translate(http, *desktop, service, u"El perro come la manzana.", 4),
            u"El perro come la manzana.");
}

}  // namespace
