#include "translate/http_reply.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/error.h"

namespace translate {
namespace {

// Feeds the reply whole, then one byte at a time; both must give the same outcome.
void ForEachFeeding(const std::string& reply, bool closeAtEnd,
                    const std::function<void(ReplyReader&)>& check) {
  for (std::size_t piece : {reply.size() + 1, std::size_t{1}}) {
    SCOPED_TRACE(piece == 1 ? "byte by byte" : "whole");
    ReplyReader reader;
    bool done = false;
    for (std::size_t i = 0; i < reply.size() && !done; i += piece) {
      done = reader.Feed(std::string_view(reply).substr(i, piece));
    }
    if (closeAtEnd) reader.Finish();
    check(reader);
  }
}

std::string ErrorFeeding(const std::string& reply, bool closeAtEnd, std::size_t piece) {
  try {
    ReplyReader reader;
    bool done = false;
    for (std::size_t i = 0; i < reply.size() && !done; i += piece) {
      done = reader.Feed(std::string_view(reply).substr(i, piece));
    }
    if (closeAtEnd) reader.Finish();
  } catch (const platform::Error& e) {
    return e.what();
  }
  return {};
}

// The error a reply raises, the same whether it arrives whole or byte by byte.
std::string ErrorOf(const std::string& reply, bool closeAtEnd = true) {
  const std::string whole = ErrorFeeding(reply, closeAtEnd, reply.size() + 1);
  EXPECT_EQ(ErrorFeeding(reply, closeAtEnd, 1), whole) << "whole and byte by byte differ";
  return whole;
}

TEST(ReplyReader, BodyByLengthChunksOrClose) {
  ForEachFeeding("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nl1=Hallo+trailing", false,
                 [](ReplyReader& r) {
                   EXPECT_TRUE(r.Complete());
                   EXPECT_EQ(r.Body(), "l1=Hallo+");
                 });
  ForEachFeeding(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: "
      "chunked\r\n\r\n4;ext=1\r\nl1=O\r\nC\r\nl%C3%A1+0123\r\n0\r\nX-Trailer: "
      "1\r\n\r\n",
      false, [](ReplyReader& r) {
        EXPECT_TRUE(r.Complete());
        EXPECT_EQ(r.Body(), "l1=Ol%C3%A1+0123");
      });
  ForEachFeeding("HTTP/1.0 200 OK\nServer: x\n\nl1=abc", true, [](ReplyReader& r) {
    EXPECT_TRUE(r.Complete());
    EXPECT_EQ(r.Body(), "l1=abc");
    EXPECT_EQ(r.Headers().size(), 1u);
  });
  ForEachFeeding("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n", false,
                 [](ReplyReader& r) { EXPECT_TRUE(r.Complete()); });
}

TEST(ReplyReader, SkipsAnInterimContinueAndKeepsTheFinalHeaders) {
  ForEachFeeding(
      "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 200 OK\r\nset-COOKIE: "
      "a=1\r\nContent-Length: "
      "5\r\n\r\nl1=ok",
      false, [](ReplyReader& r) {
        EXPECT_TRUE(r.Complete());
        EXPECT_EQ(r.Status(), 200);
        EXPECT_EQ(r.StatusLine(), "HTTP/1.1 200 OK");
        ASSERT_EQ(r.Headers().size(), 2u);
        EXPECT_EQ(r.Headers()[0].first, "set-COOKIE");
        EXPECT_EQ(r.Headers()[0].second, "a=1");
        EXPECT_EQ(r.Body(), "l1=ok");
      });
}

TEST(ReplyReader, RefusesWhatCannotBeUsed) {
  EXPECT_EQ(ErrorOf("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 2\r\n\r\nno"),
            "HTTP/1.1 500 Internal Server Error");
  // A shared service's key and limits, in words a person can act on.
  EXPECT_EQ(ErrorOf("HTTP/1.1 401 Unauthorized\r\n\r\n"),
            "The translation service wants a key: set WebApiKey in parlavant.ini.");
  EXPECT_EQ(ErrorOf("HTTP/1.1 403 Forbidden\r\n\r\n"),
            "The translation service refused the key (WebApiKey in parlavant.ini).");
  EXPECT_EQ(ErrorOf("HTTP/1.1 413 Payload Too Large\r\n\r\n"),
            "The message is too long for the translation service.");
  EXPECT_EQ(ErrorOf("HTTP/1.1 429 Too Many Requests\r\nRetry-After: 12\r\n\r\n"),
            "The translation service has had too many requests; try again in 12 s.");
  EXPECT_EQ(ErrorOf("HTTP/1.1 429 Too Many Requests\r\nRetry-After: Wed, 21 Oct 2026 07:28:00 GMT"
                    "\r\n\r\n"),
            "The translation service has had too many requests; try again in a moment.");
  EXPECT_EQ(ErrorOf("HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\n\r\n"), "HTTP/1.1 302 Found");
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\nlocation: /x\r\nContent-Length: 0\r\n\r\n"),
            "HTTP/1.1 200 OK");
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\nContent-Le"), "Connection Closed Gracefully.");
  EXPECT_EQ(ErrorOf(""), "Connection Closed Gracefully.");
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nl1=short"),
            "Connection Closed Gracefully.");
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nl1=ab"),
            "Connection Closed Gracefully.");
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\nX: " + std::string(kMaxLineBytes, 'a') + "\r\n\r\n"),
            "Max line length exceeded.");
  // A header line of exactly the bound is fine.
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\n" + std::string(kMaxLineBytes, 'a') + "\r\n\r\nl1=x"), "");
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\n" + std::string(kMaxLineBytes + 1, 'a'), false),
            "Max line length exceeded.");
}

TEST(ReplyReader, HostileRepliesHitTheirBounds) {
  std::string endless = "HTTP/1.1 200 OK\r\n";
  while (endless.size() <= kMaxHeaderBytes)
    endless += "X-Filler: " + std::string(1000, 'f') + "\r\n";
  EXPECT_EQ(ErrorOf(endless, false), "Max header length exceeded.");
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", false),
            "Max body length exceeded.");
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\n",
                    false),
            "Max body length exceeded.");
  EXPECT_EQ(ErrorOf("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false),
            "Invalid chunk size.");
  ReplyReader reader;
  reader.Feed("HTTP/1.0 200 OK\r\n\r\n");
  const std::string block(1 << 20, 'x');
  std::string message;
  try {
    for (int i = 0; i < 100; ++i) reader.Feed(block);
  } catch (const platform::Error& e) {
    message = e.what();
  }
  EXPECT_EQ(message, "Max body length exceeded.");
}

}  // namespace
}  // namespace translate
