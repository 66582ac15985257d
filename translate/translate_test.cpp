#include "translate/translate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/error.h"
#include "testsupport/http_test_server.h"
#include "testsupport/net_util.h"
#include "translate/web_codec.h"

namespace translate {
namespace {

using testsupport::HttpTestServer;

std::string Ok(const std::string& body, const std::string& extraHeaders = "") {
  return "HTTP/1.1 200 OK\r\n" + extraHeaders + "Content-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const platform::Error& e) {
    return e.what();
  }
  return "(no error)";
}

class TranslateTest : public ::testing::Test {
 protected:
  TranslationService WebAt(std::uint16_t port) {
    TranslationService s;
    s.webServiceHost = "127.0.0.1:" + std::to_string(port);
    s.localPort = testsupport::FreeLoopbackPort();
    return s;
  }
  std::unique_ptr<platform::Desktop> desktop = platform::MakeInProcessDesktop();
  HttpClient http;
};

TEST_F(TranslateTest, RequestGoesOutByteForByte) {
  HttpTestServer server({Ok("l1=Hallo")});
  EXPECT_EQ(http.ContentType, "text/html");
  EXPECT_EQ(Translate(http, *desktop, WebAt(server.Port()), u"Hi", 4), u"Hallo");
  const std::string port = std::to_string(server.Port());
  EXPECT_EQ(server.Requests().at(0),
            "POST /st.asp HTTP/1.0\r\n"
            "Connection: keep-alive\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "Content-Length: 40\r\n"
            "Host: 127.0.0.1:" +
                port +
                "\r\n"
                "Accept: text/html, */*\r\n"
                "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
                "\r\n"
                "l1=%26%2372%3B%26%23105%3B&TargetLang=4&");
  EXPECT_EQ(http.ContentType, "application/x-www-form-urlencoded");
}

TEST_F(TranslateTest, EmptyTextSendsAnEmptyValue) {
  HttpTestServer server({Ok("l1=")});
  EXPECT_EQ(Translate(http, *desktop, WebAt(server.Port()), u"", 7), u"");
  EXPECT_THAT(server.Requests().at(0), ::testing::EndsWith("\r\n\r\nl1=&TargetLang=7&"));
}

TEST_F(TranslateTest, DesktopTranslatorWindowChoosesTheLoopbackEndpoint) {
  HttpTestServer server({Ok("l1=local"), Ok("l1=web")});
  TranslationService service;
  service.localPort = server.Port();
  service.webServiceHost = "127.0.0.1:" + std::to_string(server.Port());
  const platform::Hwnd window = desktop->MakeWindow("Tessavo Verbalinx 3.0", nullptr);
  EXPECT_EQ(Translate(http, *desktop, service, u"x", 1), u"local");
  desktop->DestroyWindow(window);
  EXPECT_EQ(Translate(http, *desktop, service, u"x", 1), u"web");
  const auto requests = server.Requests();
  EXPECT_THAT(requests.at(0), ::testing::StartsWith("POST / HTTP/1.0\r\n"));
  EXPECT_THAT(requests.at(0), ::testing::HasSubstr(
                                  "\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"));
  EXPECT_THAT(requests.at(1), ::testing::StartsWith("POST /st.asp HTTP/1.0\r\n"));
}

TEST_F(TranslateTest, CookieFromTheFirstReplyGoesBackAsTheLastHeader) {
  HttpTestServer server(
      {Ok("l1=one", "Set-Cookie: session=abc; Path=/\r\nset-cookie2: lang=de\r\n"), Ok("l1=two")});
  const auto service = WebAt(server.Port());
  EXPECT_EQ(Translate(http, *desktop, service, u"a", 1), u"one");
  EXPECT_EQ(Translate(http, *desktop, service, u"b", 1), u"two");
  const auto requests = server.Requests();
  EXPECT_THAT(requests.at(0), ::testing::Not(::testing::HasSubstr("Cookie:")));
  EXPECT_THAT(requests.at(1),
              ::testing::HasSubstr("User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
                                   "Cookie: session=abc; lang=de\r\n\r\n"));
}

TEST_F(TranslateTest, CookiesOfFailedRepliesAreKeptToo) {
  HttpTestServer server({
      "HTTP/1.1 302 Found\r\nLocation: /x\r\nSet-Cookie: a=1\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.1 500 Internal Server Error\r\nset-COOKIE: b=2\r\nContent-Length: 0\r\n\r\n",
      // Its body breaks off: the header was whole.
      "HTTP/1.1 200 OK\r\nSet-Cookie: c=3\r\nContent-Length: 100\r\n\r\nl1=cut",
      // Its header breaks off: nothing of it is taken.
      "HTTP/1.1 200 OK\r\nSet-Cookie: d=4\r\n",
      Ok("l1=fine"),
  });
  const auto service = WebAt(server.Port());
  EXPECT_EQ(ErrorOf([&] { Translate(http, *desktop, service, u"x", 1); }), "HTTP/1.1 302 Found");
  EXPECT_EQ(ErrorOf([&] { Translate(http, *desktop, service, u"x", 1); }),
            "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(ErrorOf([&] { Translate(http, *desktop, service, u"x", 1); }),
            "Connection Closed Gracefully.");
  EXPECT_EQ(ErrorOf([&] { Translate(http, *desktop, service, u"x", 1); }),
            "Connection Closed Gracefully.");
  EXPECT_EQ(Translate(http, *desktop, service, u"x", 1), u"fine");
  EXPECT_THAT(server.Requests().at(4), ::testing::HasSubstr("\r\nCookie: a=1; b=2; c=3\r\n"));
}

TEST_F(TranslateTest, ReplyIsCutDecodedAndResolved) {
  struct Case {
    std::string body;
    std::u16string text;
  };
  const Case cases[] = {
      {"l1=Hallo+Welt&x=1", u"Hallo Welt"},
      {"abc l1=Ol%C3%A1", u"Olá"},
      {"l1=a%2Bb", u"a+b"},
      {"l1=a+b", u"a b"},
      {"l1=%00x", u"x"},
      {"l1=caf%26%23233%3B", u"café"},
      {"l1=Tom+%26+Jerry", u"Tom & Jerry"},
      {"l1=%C3", u""},
      {"l1=%F0%9F%98%80", u"\U0001F600"},
      {"<html>l1=first&l1=second", u"first"},
  };
  for (const Case& c : cases) EXPECT_EQ(ExtractTranslation(c.body), c.text) << c.body;
  // The source language rides in a field of its own after the translation, or not at all.
  EXPECT_EQ(ExtractTranslation("l1=Hola&SourceLang=5&"), u"Hola");
  EXPECT_EQ(ExtractSourceLanguage("l1=Hola&SourceLang=5&"), 5);
  EXPECT_EQ(ExtractSourceLanguage("l1=Hola"), 0);
  EXPECT_EQ(ExtractSourceLanguage("SourceLang=5&l1=Hola"), 0);
  EXPECT_EQ(ExtractSourceLanguage("l1=Hola&SourceLang=999999999999"), 0);
  EXPECT_EQ(ErrorOf([] { ExtractTranslation("<html>Service unavailable</html>"); }),
            "The translation service's reply holds no translation");
}

TEST_F(TranslateTest, FailuresCarryTheClientsMessages) {
  // The system's number for a refused connection, and its text.
#ifdef _WIN32
  const std::string refused = "Socket Error # 10061\r\nConnection refused.";
#else
  const std::string refused = "Socket Error # 111\r\nConnection refused.";
#endif
  EXPECT_EQ(
      ErrorOf([&] { Translate(http, *desktop, WebAt(testsupport::FreeLoopbackPort()), u"x", 1); }),
      refused);
  {
    HttpTestServer server({"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"});
    EXPECT_EQ(ErrorOf([&] { Translate(http, *desktop, WebAt(server.Port()), u"x", 1); }),
              "Connection Closed Gracefully.");
  }
  {
    HttpTestServer server({"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"});
    EXPECT_EQ(ErrorOf([&] { Translate(http, *desktop, WebAt(server.Port()), u"x", 1); }),
              "HTTP/1.1 500 Internal Server Error");
  }
  {
    HttpTestServer server(
        {"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/\r\nContent-Length: 0\r\n\r\n"});
    EXPECT_EQ(ErrorOf([&] { Translate(http, *desktop, WebAt(server.Port()), u"x", 1); }),
              "HTTP/1.1 302 Found");
    EXPECT_EQ(server.Requests().size(), 1u);
  }
  {
    // Not 2xx, even without a Location.
    HttpTestServer server({"HTTP/1.1 304 Not Modified\r\nContent-Length: 0\r\n\r\n"});
    EXPECT_EQ(ErrorOf([&] { Translate(http, *desktop, WebAt(server.Port()), u"x", 1); }),
              "HTTP/1.1 304 Not Modified");
  }
  {
    HttpTestServer server({"HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'x') + "\r\n\r\n"});
    EXPECT_EQ(ErrorOf([&] { Translate(http, *desktop, WebAt(server.Port()), u"x", 1); }),
              "Max line length exceeded.");
  }
  TranslationService unresolvable;
  unresolvable.webServiceHost = "no-such-host.invalid";
  // The resolver's failures carry numbers no system error has, and the resolver's text.
  const std::string resolverError =
      ErrorOf([&] { Translate(http, *desktop, unresolvable, u"x", 1); });
  EXPECT_THAT(resolverError, ::testing::StartsWith("Socket Error # 1100"));
  ASSERT_GT(resolverError.size(), 20u);
  EXPECT_TRUE(resolverError[19] >= '1' && resolverError[19] <= '4') << resolverError;
  EXPECT_EQ(resolverError.substr(20, 2), "\r\n");
  EXPECT_EQ(resolverError.back(), '.');
}

TEST_F(TranslateTest, AServiceThatNeverAnswersOrTricklesEndsAtTheTimeout) {
  // One that takes the request and writes nothing; one that answers a byte a second, which a
  // wait for each read alone would follow for ever.
  HttpTestServer silent(HttpTestServer::Streamer([](const std::string&, const HttpTestServer::Write& write) {
    while (write("")) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }));
  HttpTestServer trickling(HttpTestServer::Streamer([](const std::string&, const HttpTestServer::Write& write) {
    const std::string reply = "HTTP/1.0 200 OK\r\n" + std::string(1000, 'x');
    for (char c : reply) {
      if (!write(std::string_view(&c, 1))) return;
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }));
  http.Timeout = std::chrono::seconds(2);
  for (const std::uint16_t port : {silent.Port(), trickling.Port()}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorOf([&] { Translate(http, *desktop, WebAt(port), u"x", 1); }),
              "The translation service did not answer within 2 seconds.");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(2));
    EXPECT_LT(took, std::chrono::seconds(60));  // it ends; a loaded machine may take a while
  }
}

TEST(LocalTranslator, TitleTest) {
  EXPECT_TRUE(IsLocalTranslatorTitle("Tessavo Verbalinx 3.0"));
  EXPECT_TRUE(IsLocalTranslatorTitle("Tessavo Verbalinx 3."));
  EXPECT_TRUE(IsLocalTranslatorTitle("Tessavo Verbalinx 3.5 - document.txt"));
  EXPECT_FALSE(IsLocalTranslatorTitle("Tessavo Verbalinx 3.0 (Demo)"));
  EXPECT_FALSE(IsLocalTranslatorTitle("Tessavo Verbalinx 3.0 )"));
  EXPECT_FALSE(IsLocalTranslatorTitle("Tessavo Verbalinx 3.0 ("));
  EXPECT_FALSE(IsLocalTranslatorTitle("Tessavo Verbalinx 2.5"));
  EXPECT_FALSE(IsLocalTranslatorTitle("tessavo verbalinx 3.0"));
  EXPECT_FALSE(IsLocalTranslatorTitle("Tessavo Verbalinx 3"));
}

TEST(LocalTranslator, FoundFirstOrLastAndOnlyAmongTheFirst5000Windows) {
  auto desktop = platform::MakeInProcessDesktop();
  EXPECT_FALSE(LocalTranslatorRunning(*desktop));
  {
    auto demo = platform::MakeInProcessDesktop();
    demo->MakeWindow("Tessavo Verbalinx 3.0 (Demo)", nullptr);
    EXPECT_FALSE(LocalTranslatorRunning(*demo));
  }
  const platform::Hwnd first = desktop->MakeWindow("Tessavo Verbalinx 3.0", nullptr);
  for (int i = 0; i < 4998; ++i) desktop->MakeWindow("Tessavo Verbalinx 3.0 (Demo)", nullptr);
  EXPECT_TRUE(LocalTranslatorRunning(*desktop));
  desktop->DestroyWindow(first);
  desktop->MakeWindow(std::string("Tessavo Verbalinx 3.0\0hidden(", 29), nullptr);  // the 5000th
  EXPECT_TRUE(LocalTranslatorRunning(*desktop));
  desktop->MakeWindow("Tessavo Verbalinx 3.1", nullptr);  // the 5001st changes nothing
  EXPECT_TRUE(LocalTranslatorRunning(*desktop));
  auto fresh = platform::MakeInProcessDesktop();
  const platform::Hwnd other = fresh->MakeWindow("other", nullptr);
  for (int i = 1; i < 5000; ++i) fresh->MakeWindow("other", nullptr);
  fresh->MakeWindow("Tessavo Verbalinx 3.1", nullptr);
  EXPECT_FALSE(LocalTranslatorRunning(*fresh));
  // One window fewer before it, and it is the 5000th: read.
  fresh->DestroyWindow(other);
  EXPECT_TRUE(LocalTranslatorRunning(*fresh));
}

}  // namespace
}  // namespace translate
