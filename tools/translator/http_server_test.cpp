#include "tools/translator/http_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <future>
#include <thread>

#include "testsupport/http_load.h"
#include "testsupport/net_util.h"

namespace standin {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A connection of the test's own, written and read in pieces.
class Client {
 public:
  explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr = testsupport::Loopback(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Client() { ::close(fd_); }
  bool Connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // What arrives until `done` holds of it, the peer closes, or 20 s pass.
  std::string Read(const std::function<bool(const std::string&)>& done) {
    std::string got;
    char buffer[4096];
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (!done(got) && std::chrono::steady_clock::now() < until) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) != 1) continue;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  std::string ReadReply() {
    return Read([](const std::string& s) {
      const std::size_t head = s.find("\r\n\r\n");
      const std::size_t length = s.find("Content-Length: ");
      return head != std::string::npos && length != std::string::npos &&
             s.size() >= head + 4 + std::stoul(s.substr(length + 16));
    });
  }
  std::string ReadToClose() {
    return Read([](const std::string&) { return false; });
  }
  bool Closed() const { return closed_; }

 private:
  int fd_;
  bool connected_ = false;
  bool closed_ = false;
};

class HttpServerTest : public ::testing::Test {
 protected:
  void Start(HttpLimits limits = {}) {
    port_ = testsupport::FreeLoopbackPort();
    std::map<std::string, HttpHandler> posts, gets;
    posts["/echo"] = [](const HttpRequest& request, HttpReply& reply) {
      reply.body = request.method + " " + request.body;
    };
    posts["/wait"] = [this](const HttpRequest&, HttpReply& reply) {
      ++waiting_;
      release_.wait();
      reply.body = "released";
    };
    gets["/health"] = [](const HttpRequest&, HttpReply& reply) { reply.body = "ok"; };
    server_ = std::make_unique<HttpServer>("127.0.0.1", port_, posts, gets, limits);
    thread_ = std::thread([this] { server_->Run(); });
  }
  void TearDown() override {
    if (!released_) promise_.set_value();
    if (server_) server_->Stop();
    if (thread_.joinable()) thread_.join();
  }
  void Release() {
    released_ = true;
    promise_.set_value();
  }
  static std::string Post(const std::string& path, const std::string& body,
                          const std::string& version = "HTTP/1.0") {
    return "POST " + path + " " + version + "\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }

  std::uint16_t port_ = 0;
  std::unique_ptr<HttpServer> server_;
  std::thread thread_;
  std::promise<void> promise_;
  std::shared_future<void> release_ = promise_.get_future().share();
  bool released_ = false;
  std::atomic<int> waiting_{0};
};

TEST_F(HttpServerTest, RequestsInTheirUsualAndLessUsualShapes) {
  Start();
  std::string reply;
  EXPECT_EQ(testsupport::Exchange(port_, Post("/echo", "a=1"), 20000, &reply), 200);
  EXPECT_THAT(reply, HasSubstr("Connection: close\r\n\r\nPOST a=1"));
  // Lines ended by a bare LF.
  EXPECT_EQ(testsupport::Exchange(port_, "POST /echo HTTP/1.0\nContent-Length: 2\n\nhi", 20000,
                                  &reply),
            200);
  EXPECT_THAT(reply, HasSubstr("POST hi"));
  // A chunked body, with an extension and a trailer.
  EXPECT_EQ(testsupport::Exchange(port_,
                                  "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
                                  "Connection: close\r\n\r\n3;x=y\r\nabc\r\n2\r\nde\r\n0\r\n"
                                  "T: v\r\n\r\n",
                                  20000, &reply),
            200);
  EXPECT_THAT(reply, HasSubstr("POST abcde"));
  EXPECT_EQ(testsupport::Exchange(port_, "GET /health HTTP/1.0\r\n\r\n"), 200);
  EXPECT_EQ(testsupport::Exchange(port_, "GET /echo HTTP/1.0\r\n\r\n"), 405);
  EXPECT_EQ(testsupport::Exchange(port_, Post("/nowhere", "")), 404);
  EXPECT_EQ(testsupport::Exchange(port_, "nonsense\r\n\r\n"), 400);
  EXPECT_EQ(testsupport::Exchange(port_, "POST /echo HTTP/1.0\r\nContent-Length: x\r\n\r\n"), 400);
  EXPECT_EQ(testsupport::Exchange(port_, "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                         "zz\r\n"),
            400);
}

TEST_F(HttpServerTest, KeepAliveServesSeveralRequestsOnOneConnectionAndPipelinedOnes) {
  Start();
  Client client(port_);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(client.Send(Post("/echo", "one", "HTTP/1.1") + Post("/echo", "two", "HTTP/1.1")));
  std::string replies = client.Read([](const std::string& s) { return s.find("POST two") != std::string::npos; });
  EXPECT_THAT(replies, HasSubstr("Connection: keep-alive\r\n\r\nPOST one"));
  EXPECT_THAT(replies, HasSubstr("POST two"));
  ASSERT_TRUE(client.Send(Post("/echo", "three", "HTTP/1.1")));
  EXPECT_THAT(client.ReadReply(), HasSubstr("POST three"));
}

TEST_F(HttpServerTest, ABodyOverTheBoundIsRefusedAtOnceWithoutReadingIt) {
  HttpLimits limits;
  limits.maxBody = 1000;
  Start(limits);
  // Announced at 10 MB, and never sent: the refusal cannot wait for it.
  Client client(port_);
  ASSERT_TRUE(client.Send("POST /echo HTTP/1.0\r\nContent-Length: 10000000\r\n\r\nabc"));
  EXPECT_THAT(client.ReadReply(), StartsWith("HTTP/1.1 413 Payload Too Large\r\n"));
  // Sent whole, the client still reads the refusal (the rest is read and dropped, not reset).
  std::string reply;
  EXPECT_EQ(testsupport::Exchange(port_, Post("/echo", std::string(10'000'000, 'x')), 20000,
                                  &reply),
            413);
  // A chunked body is counted as it comes.
  EXPECT_EQ(testsupport::Exchange(port_, "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                         "800\r\n" + std::string(2048, 'y') + "\r\n0\r\n\r\n"),
            413);
  EXPECT_EQ(testsupport::Exchange(port_, Post("/echo", std::string(1000, 'z'))), 200);
}

TEST_F(HttpServerTest, SlowAndIdleClientsAreCutOffAndCostNoWorker) {
  HttpLimits limits;
  limits.requestDeadline = 1500ms;
  limits.idleDeadline = 1000ms;
  limits.workers = 2;
  Start(limits);
  std::vector<std::unique_ptr<Client>> idle, slow;
  for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<Client>(port_));
  for (int i = 0; i < 50; ++i) {
    slow.push_back(std::make_unique<Client>(port_));
    slow.back()->Send("POST /echo HTTP/1.0\r\nContent-Le");
  }
  // Two workers are enough for the real requests meanwhile.
  for (int i = 0; i < 10; ++i) EXPECT_EQ(testsupport::Exchange(port_, Post("/echo", "x")), 200);
  // The slow ones are told they were too slow; the silent ones are closed.
  EXPECT_THAT(slow.front()->ReadToClose(), StartsWith("HTTP/1.1 408 Request Timeout"));
  EXPECT_EQ(idle.front()->ReadToClose(), "");
  EXPECT_TRUE(idle.front()->Closed());
  // A kept-alive connection is closed after its silence.
  Client kept(port_);
  kept.Send(Post("/echo", "k", "HTTP/1.1"));
  EXPECT_THAT(kept.ReadReply(), HasSubstr("POST k"));
  kept.ReadToClose();
  EXPECT_TRUE(kept.Closed());
}

TEST_F(HttpServerTest, StoppingAnswersWhatItHoldsClosesIdleConnectionsAndListensNoMore) {
  Start();
  Client inFlight(port_);
  inFlight.Send(Post("/wait", "", "HTTP/1.1"));
  for (int i = 0; i < 1000 && waiting_ == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(waiting_, 1);
  Client idle(port_);
  server_->Stop();
  // The request under way is answered, and its connection closed after, although kept alive.
  Release();
  const std::string answer = inFlight.ReadToClose();
  EXPECT_THAT(answer, HasSubstr("Connection: close\r\n\r\nreleased"));
  idle.ReadToClose();
  EXPECT_TRUE(idle.Closed());
  thread_.join();
  EXPECT_FALSE(testsupport::WaitUntilListening(port_, 100));
}

TEST(Listen, ASecondListenerOnATakenPortFailsAndSaysWhy) {
  const std::uint16_t port = testsupport::FreeLoopbackPort();
  const int first = Listen("127.0.0.1", port);
  try {
    Listen("127.0.0.1", port);
    ADD_FAILURE() << "a second listener was let in";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("Address already in use"));
  }
  EXPECT_THROW(Listen("localhost", port), std::runtime_error);
  ::close(first);
}

}  // namespace
}  // namespace standin
