#include "translate/http_request.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/error.h"

namespace translate {
namespace {

TEST(HostSetting, HostWithOptionalPort) {
  const Endpoint plain = ParseHostSetting("translate.example", "/st.asp");
  EXPECT_EQ(plain.host, "translate.example");
  EXPECT_EQ(plain.port, 80);
  EXPECT_EQ(ParseHostSetting("127.0.0.1:4358", "/st.asp").port, 4358);
  for (const char* bad : {"host:", "host:0", "host:65536", "host:8o", "", ":80", "::1:80", "[::1",
                          "[]:80", "[::1]80", "[::1]:", "ho[st"}) {
    EXPECT_THROW(ParseHostSetting(bad, "/"), platform::Error) << bad;
  }
  const Endpoint v6 = ParseHostSetting("[::1]:4358", "/st.asp");
  EXPECT_EQ(v6.host, "::1");
  EXPECT_EQ(v6.port, 4358);
  EXPECT_THAT(BuildPostRequest(v6, "", "t", "a", "u", ""),
              ::testing::HasSubstr("\r\nHost: [::1]:4358\r\n"));
  EXPECT_EQ(ParseHostSetting("[fe80::1]", "/").port, 80);
  // Port 80 is not written into the Host line; any other port is.
  EXPECT_THAT(BuildPostRequest(plain, "", "t", "a", "u", ""),
              ::testing::HasSubstr("\r\nHost: translate.example\r\n"));
}

TEST(HostSetting, HttpsAndTheKey) {
  Endpoint secure = ParseHostSetting("HTTPS://translate.example/", "/st.asp");
  EXPECT_TRUE(secure.tls);
  EXPECT_EQ(secure.host, "translate.example");
  EXPECT_EQ(secure.port, 443);
  EXPECT_EQ(ParseHostSetting("https://[::1]:8443", "/").port, 8443);
  EXPECT_FALSE(ParseHostSetting("translate.example:443", "/").tls);
  for (const char* bad : {"https://", "https://:443", "https://host/path", "http://", "http://host/x"}) {
    EXPECT_THROW(ParseHostSetting(bad, "/"), platform::Error) << bad;
  }
  // An address copied from a browser: plain, as without the scheme.
  const Endpoint copied = ParseHostSetting("http://127.0.0.1:4358/", "/");
  EXPECT_FALSE(copied.tls);
  EXPECT_EQ(copied.host, "127.0.0.1");
  EXPECT_EQ(copied.port, 4358);
  // 443 goes unsaid over TLS; the key follows the other lines.
  secure.apiKey = "k-1";
  const std::string request = BuildPostRequest(secure, "b", "t", "a", "u", "c=1");
  EXPECT_THAT(request, ::testing::HasSubstr("\r\nHost: translate.example\r\n"));
  EXPECT_THAT(request, ::testing::EndsWith("\r\nCookie: c=1\r\nX-Api-Key: k-1\r\n\r\nb"));
}

}  // namespace
}  // namespace translate
