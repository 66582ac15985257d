// Translate against translation services over TLS: HAProxy terminating it with a certificate
// authority of the test's own, in front of the stand-in translator, as tests/with_tls_peers.sh
// starts them (on Linux, and for the Windows build under Wine).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "platform/codepage.h"
#include "platform/desktop.h"
#include "platform/error.h"
#include "testsupport/temp_dir.h"
#include "translate/translate.h"

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class WebTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("PARLAVANT_TLS_GOOD").empty()) {
      GTEST_FAIL() << "no TLS services: run through tests/with_tls_peers.sh";
    }
    desktop_ = platform::OpenDesktop(temp_ / "desktop");  // no desktop translator there
    http_.Timeout = std::chrono::seconds(20);
    http_.CaFile = CaFile();
  }
  static std::string CaFile() {
    std::string path = Env("PARLAVANT_TLS_CA");
#ifdef _WIN32
    // Wine shows the Unix file system as drive Z:.
    for (char& c : path) c = c == '/' ? '\\' : c;
    path = "Z:" + path;
#endif
    return path;
  }
  // The translation into Spanish, or the error's text.
  std::string Translated(const std::string& host, const std::string& key = "") {
    translate::TranslationService service;
    service.webServiceHost = host;
    service.webApiKey = key;
    try {
      return platform::Utf8Encode(translate::Translate(http_, *desktop_, service, u"hello", 5));
    } catch (const platform::Error& e) {
      return e.what();
    }
  }
  static std::string Https(const char* variable, const std::string& name = "localhost") {
    return "https://" + name + ":" + Env(variable);
  }

  testsupport::TempDir temp_{"webtls"};
  std::unique_ptr<platform::Desktop> desktop_;
  translate::HttpClient http_;
};

TEST_F(WebTlsTest, TheRightCertificateTranslatesAndPlainIsUnchanged) {
  EXPECT_EQ(Translated(Https("PARLAVANT_TLS_GOOD")), "[es] hello");
  EXPECT_EQ(Translated("HTTPS://localhost:" + Env("PARLAVANT_TLS_GOOD") + "/"), "[es] hello");
  EXPECT_EQ(Translated(Https("PARLAVANT_TLS_GOOD", "127.0.0.1")), "[es] hello");
  EXPECT_EQ(Translated("127.0.0.1:" + Env("PARLAVANT_TLS_PLAIN")), "[es] hello");
  // Plain to a TLS port is no fall-back: the service answers what plain HTTP gets there.
  EXPECT_NE(Translated("localhost:" + Env("PARLAVANT_TLS_GOOD")), "[es] hello");
}

TEST_F(WebTlsTest, CertificatesThatFailAreRefusedWithTheirReason) {
  const std::string refused = "The translation service's certificate was refused: ";
  EXPECT_EQ(Translated(Https("PARLAVANT_TLS_UNKNOWN")), refused + "its issuer is not trusted.");
  EXPECT_EQ(Translated(Https("PARLAVANT_TLS_WRONG_NAME")), refused + "it is for another name.");
  EXPECT_EQ(Translated(Https("PARLAVANT_TLS_EXPIRED")), refused + "it has expired.");
  // Without the test's authority, only the system's roots are trusted.
  http_.CaFile.clear();
  EXPECT_EQ(Translated(Https("PARLAVANT_TLS_GOOD")), refused + "its issuer is not trusted.");
}

TEST_F(WebTlsTest, AHandshakeThatStallsEndsAtTheTimeLimit) {
  http_.Timeout = std::chrono::seconds(1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Translated(Https("PARLAVANT_TLS_STALL")),
            "The translation service did not answer within 1 second.");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(WebTlsTest, TheServiceKeyIsSentAndItsRefusalsAreToldInWords) {
  EXPECT_EQ(Translated(Https("PARLAVANT_TLS_KEYED"), Env("PARLAVANT_TLS_KEY")), "[es] hello");
  EXPECT_EQ(Translated(Https("PARLAVANT_TLS_KEYED")),
            "The translation service wants a key: set WebApiKey in parlavant.ini.");
  EXPECT_EQ(Translated(Https("PARLAVANT_TLS_KEYED"), "not-a-key"),
            "The translation service refused the key (WebApiKey in parlavant.ini).");
}

}  // namespace
