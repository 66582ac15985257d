// The store against Qt Network's cookie jar, which kept the cookies before: every case runs on
// both, and both must give the expected Cookie line.
#include "translate/cookie_store.h"

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QUrl>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace translate {
namespace {

struct Step {
  // A reply from `url` that sets `header`; or, with an empty header, a request to `url` that
  // must carry `expected`.
  std::string url, header, expected;
};

struct Case {
  const char* name;
  std::vector<Step> steps;
};

std::string QtJar(const std::vector<Step>& steps, std::vector<std::string>& lines) {
  QNetworkCookieJar jar;
  for (const Step& step : steps) {
    const QUrl url(QString::fromStdString(step.url));
    if (!step.header.empty()) {
      jar.setCookiesFromUrl(QNetworkCookie::parseCookies(QByteArray::fromStdString(step.header)),
                            url);
      continue;
    }
    std::string line;
    for (const QNetworkCookie& cookie : jar.cookiesForUrl(url)) {
      if (!line.empty()) line += "; ";
      line += cookie.toRawForm(QNetworkCookie::NameAndValueOnly).toStdString();
    }
    lines.push_back(line);
  }
  return {};
}

void Ours(const std::vector<Step>& steps, std::vector<std::string>& lines) {
  CookieStore store;
  for (const Step& step : steps) {
    const QUrl url(QString::fromStdString(step.url));
    const std::string host = url.host().toStdString();
    const std::string path = url.path().isEmpty() ? "/" : url.path().toStdString();
    if (!step.header.empty()) {
      store.Receive(step.header, host, path);
    } else {
      lines.push_back(store.For(host, path));
    }
  }
}

TEST(CookieStore, KeepsAndSendsWhatQtsJarKeptAndSent) {
  const std::string h = "http://127.0.0.1:4358";
  const std::string w = "http://www.example.com";
  const Case cases[] = {
      {"plain", {{h + "/st.asp", "a=1", ""}, {h + "/st.asp", "", "a=1"}, {h + "/", "", "a=1"}}},
      {"port plays no part", {{h + "/", "a=1", ""}, {"http://127.0.0.1:4357/", "", "a=1"}}},
      {"path",
       {{h + "/", "a=1; Path=/docs", ""},
        {h + "/docs/x", "", "a=1"},
        {h + "/docs", "", "a=1"},
        {h + "/docsx", "", ""},
        {h + "/", "", ""}}},
      {"default path",
       {{h + "/dir/page", "a=1", ""},
        {h + "/dir/other", "", "a=1"},
        {h + "/dir", "", ""},
        {h + "/", "", ""}}},
      {"same name replaces and goes last",
       {{h + "/", "a=1", ""},
        {h + "/", "b=2", ""},
        {h + "/", "a=3", ""},
        {h + "/", "", "b=2; a=3"}}},
      {"another path is another cookie",
       {{h + "/", "a=1; Path=/", ""}, {h + "/", "a=2; Path=/x", ""}, {h + "/x", "", "a=2; a=1"}}},
      {"max-age 0 deletes",
       {{h + "/", "a=1", ""},
        {h + "/", "b=2", ""},
        {h + "/", "a=; Max-Age=0", ""},
        {h + "/", "", "b=2"}}},
      {"past expires deletes",
       {{h + "/", "a=1", ""},
        {h + "/", "a=x; Expires=Thu, 01 Jan 1970 00:00:00 GMT", ""},
        {h + "/", "", ""}}},
      {"expires in the old forms",
       {{h + "/", "a=1; expires=Wednesday, 01-Jan-99 00:00:00 GMT", ""},
        {h + "/", "b=2; expires=Fri Jan  1 00:00:00 2100", ""},
        {h + "/", "c=3; Expires=Fri, 01 Jan 2100 00:00:00 GMT", ""},
        {h + "/", "", "b=2; c=3"}}},
      {"max-age in the future",
       {{h + "/", "a=1; Max-Age=3600", ""},
        {h + "/", "b=2; max-age=junk", ""},
        {h + "/", "", "a=1; b=2"}}},
      {"attributes in any case, blanks trimmed",
       {{h + "/", " a = 1 ; PATH=/p ; MAX-AGE=100", ""}, {h + "/p", "", "a=1"}}},
      {"secure never over plain HTTP", {{h + "/", "a=1; Secure", ""}, {h + "/", "", ""}}},
      {"names differ in letter case",
       {{h + "/", "A=1", ""}, {h + "/", "a=2", ""}, {h + "/", "", "A=1; a=2"}}},
      {"a domain cookie goes to its subdomains",
       {{w + "/", "a=1; Domain=example.com", ""},
        {"http://example.com/", "", "a=1"},
        {"http://other.example.com/", "", "a=1"},
        {"http://example.org/", "", ""}}},
      {"a host-only cookie does not",
       {{"http://example.com/", "a=1", ""}, {w + "/", "", ""}, {"http://EXAMPLE.com/", "", "a=1"}}},
      {"another domain or a top-level one is refused",
       {{w + "/", "a=1; Domain=other.com", ""},
        {w + "/", "b=2; Domain=com", ""},
        {"http://other.com/", "", ""},
        {w + "/", "", ""}}},
      {"an address's own domain",
       {{h + "/", "a=1; Domain=127.0.0.1", ""},
        {h + "/", "b=2; Domain=0.0.1", ""},
        {h + "/", "", "a=1"}}},
      {"set-cookie2 attributes", {{h + "/", "a=1; Version=1; Path=/", ""}, {h + "/", "", "a=1"}}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> qt, ours, expected;
    QtJar(c.steps, qt);
    Ours(c.steps, ours);
    for (const Step& step : c.steps) {
      if (step.header.empty()) expected.push_back(step.expected);
    }
    EXPECT_EQ(qt, expected) << c.name << " (Qt's jar)";
    EXPECT_EQ(ours, expected) << c.name;
  }
}

TEST(CookieStore, ReadsTheDatesServersWrite) {
  const auto at = [](std::string_view text) {
    const auto t = ParseCookieDate(text);
    return t ? CookieStore::Clock::to_time_t(*t) : std::time_t(-1);
  };
  EXPECT_EQ(at("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  EXPECT_EQ(at("Sunday, 06-Nov-94 08:49:37 GMT"), 784111777);
  EXPECT_EQ(at("Sun Nov  6 08:49:37 1994"), 784111777);
  EXPECT_EQ(at("6 Nov 1994 08:49:37"), 784111777);
  EXPECT_EQ(at("Sun, 06 Nov 1994"), -1);  // no time
  EXPECT_EQ(at("Sun, 32 Nov 1994 08:49:37 GMT"), -1);
  EXPECT_EQ(at(""), -1);
}

}  // namespace
}  // namespace translate
