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

}  // namespace
}  // namespace translate
