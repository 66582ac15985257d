// One translation round trip through Translate against the stand-in translator's echo engine,
// measured beside curl posting the same body to the same server and a raw-socket exchange of the
// same request bytes (the floor), in the same run; and the same over TLS, through HAProxy with a
// certificate of an authority of the bench's own, beside a raw exchange with OpenSSL (handshake,
// request, reply, on a new connection each). Prints the figures and the ratios.
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>

#include <spawn.h>
#include <sys/wait.h>
#include "bench/ratio_reporter.h"

#include <filesystem>

#include "testsupport/child_process.h"
#include "testsupport/net_util.h"
#include "testsupport/run_program.h"
#include "testsupport/temp_dir.h"
#include "translate/http_client.h"
#include "translate/translate.h"
#include "translate/web_codec.h"

namespace {

const std::u16string kText =
    u"Hola, \u00bfqu\u00e9 tal? Nos vemos ma\u00f1ana en la estaci\u00f3n.";

struct Server {
  std::uint16_t port = testsupport::FreeLoopbackPort();
  testsupport::TempDir temp{"pbtr"};
  const std::string dir = temp.Path();
  std::unique_ptr<testsupport::ChildProcess> process, haproxy;
  std::uint16_t tlsPort = testsupport::FreeLoopbackPort();
  Server() {
    const std::string p = std::to_string(port);
    process = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{TRANSLATOR_PATH, "--desktop", dir + "/d", "--no-window",
                                 "--engine", "echo", "--port", p, "--web-port", p});
    if (!testsupport::WaitUntilListening(port)) std::abort();
    // An authority, a certificate for localhost from it, and HAProxy terminating TLS with it.
    const std::string script =
        "set -e; exec 2>/dev/null; cd '" + dir + "'\n"
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
        "-subj /CN=bench-ca\n"
        "openssl req -newkey rsa:2048 -nodes -keyout s.key -out s.csr -subj /CN=localhost\n"
        "printf 'subjectAltName=DNS:localhost\\n' > s.ext\n"
        "openssl x509 -req -in s.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile s.ext -out s.crt\n"
        "cat s.crt s.key > s.pem\n"
        "printf 'defaults\\n mode http\\n timeout connect 2s\\n timeout client 10s\\n"
        " timeout server 10s\\nfrontend f\\n bind 127.0.0.1:" +
        std::to_string(tlsPort) + " ssl crt " + dir +
        "/s.pem\\n default_backend b\\nbackend b\\n server t 127.0.0.1:" + p +
        "\\n' > haproxy.cfg\n";
    bool ok = false;
    testsupport::RunProgram({"sh", "-c", script}, "", ok);
    if (!ok) std::abort();
    haproxy = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{"haproxy", "-db", "-f", dir + "/haproxy.cfg"});
    if (!testsupport::WaitUntilListening(tlsPort)) std::abort();
  }
  ~Server() {
    haproxy.reset();
    process.reset();
  }
};

Server& TheServer() {
  static Server server;
  return server;
}

std::string Body() {
  return translate::EncodeForm({{"l1", translate::WebEncode(kText)}, {"TargetLang", "1"}});
}

void BM_Translate(benchmark::State& state) {
  Server& server = TheServer();
  auto desktop = platform::MakeInProcessDesktop();
  translate::HttpClient http;
  translate::TranslationService service;
  service.webServiceHost = "127.0.0.1:" + std::to_string(server.port);
  for (auto _ : state) {
    if (translate::Translate(http, *desktop, service, kText, 1).size() != kText.size() + 5) {
      state.SkipWithError("wrong translation");
      break;
    }
  }
}

void BM_Curl(benchmark::State& state) {
  Server& server = TheServer();
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/st.asp";
  const std::string body = Body();
  const char* argv[] = {"curl",          "-s",         "-o",        "/dev/null",
                        "--data-binary", body.c_str(), url.c_str(), nullptr};
  for (auto _ : state) {
    pid_t pid;
    if (::posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
      state.SkipWithError("curl is not installed");
      break;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("curl failed");
      break;
    }
  }
}

void BM_RawExchange(benchmark::State& state) {
  Server& server = TheServer();
  const translate::Endpoint endpoint{"127.0.0.1", server.port, "/st.asp", false, ""};
  const std::string request = translate::BuildPostRequest(
      endpoint, Body(), "application/x-www-form-urlencoded", "text/html, */*", "raw", "");
  char buf[4096];
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(server.port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
      state.SkipWithError("exchange failed");
      ::close(fd);
      break;
    }
    // The reply is small: read until its body (after the blank line) has its Content-Length.
    std::string reply;
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      reply.append(buf, static_cast<std::size_t>(n));
      const std::size_t end = reply.find("\r\n\r\n");
      const std::size_t at = reply.find("Content-Length: ");
      if (end != std::string::npos && at != std::string::npos &&
          reply.size() >= end + 4 + std::stoul(reply.substr(at + 16))) {
        break;
      }
    }
    ::close(fd);
  }
}

void BM_TranslateTls(benchmark::State& state) {
  Server& server = TheServer();
  auto desktop = platform::MakeInProcessDesktop();
  translate::HttpClient http;
  http.CaFile = server.dir + "/ca.pem";
  translate::TranslationService service;
  service.webServiceHost = "https://localhost:" + std::to_string(server.tlsPort);
  for (auto _ : state) {
    if (translate::Translate(http, *desktop, service, kText, 1).size() != kText.size() + 5) {
      state.SkipWithError("wrong translation");
      break;
    }
  }
}

// The floor over TLS: the same library, the same checks (the authority's certificate, the
// name), one context made beforehand, then a connection, a handshake and the exchange each time.
void BM_RawTlsExchange(benchmark::State& state) {
  Server& server = TheServer();
  const translate::Endpoint endpoint{"localhost", server.tlsPort, "/st.asp", true, ""};
  const std::string request = translate::BuildPostRequest(
      endpoint, Body(), "application/x-www-form-urlencoded", "text/html, */*", "raw", "");
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(context, (server.dir + "/ca.pem").c_str(), nullptr);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  char buf[4096];
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = testsupport::Loopback(server.tlsPort);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_set1_host(ssl, "localhost");
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        SSL_connect(ssl) != 1 ||
        SSL_write(ssl, request.data(), static_cast<int>(request.size())) <= 0) {
      state.SkipWithError("TLS exchange failed");
    } else {
      // HAProxy writes header names in lower case.
      for (int n; (n = SSL_read(ssl, buf, sizeof buf)) > 0;) {
        for (int i = 0; i < n; ++i) reply += static_cast<char>(std::tolower(buf[i]));
        const std::size_t end = reply.find("\r\n\r\n");
        const std::size_t at = reply.find("content-length: ");
        if (end != std::string::npos && at != std::string::npos &&
            reply.size() >= end + 4 + std::stoul(reply.substr(at + 16))) {
          break;
        }
      }
    }
    SSL_free(ssl);
    ::close(fd);
  }
  SSL_CTX_free(context);
}

BENCHMARK(BM_RawExchange)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RawTlsExchange)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_TranslateTls)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Translate)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Curl)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchsupport::RunBenchmarks(argc, argv, [](const benchsupport::Figures& f) {
    for (const char* name : {"BM_RawExchange", "BM_Translate", "BM_Curl", "BM_RawTlsExchange",
                             "BM_TranslateTls"}) {
      if (f.count(name) == 0) return;  // a filter left it out: no ratios
    }
    const double raw = f.at("BM_RawExchange"), ours = f.at("BM_Translate"), curl = f.at("BM_Curl");
    std::printf("\nraw-socket exchange (floor)   %9.1f us\n", raw / 1e3);
    std::printf("Translate round trip          %9.1f us  ratio %.2f to the floor\n", ours / 1e3,
                ours / raw);
    std::printf("curl posting the same body    %9.1f us  Translate / curl %.2f\n", curl / 1e3,
                ours / curl);
    benchsupport::ReportRow("Translate round trip (echo engine)", ours / 1e3,
                            "curl posting the same body", curl / 1e3, "us");
    benchsupport::ReportRow("Translate round trip (echo engine)", ours / 1e3,
                            "raw-socket exchange of the same request", raw / 1e3, "us");
    const double rawTls = f.at("BM_RawTlsExchange"), oursTls = f.at("BM_TranslateTls");
    std::printf("raw TLS exchange (floor)      %9.1f us\n", rawTls / 1e3);
    std::printf("Translate over TLS            %9.1f us  ratio %.2f to the floor\n",
                oursTls / 1e3, oursTls / rawTls);
    benchsupport::ReportRow("Translate over TLS through HAProxy (echo engine)", oursTls / 1e3,
                            "raw OpenSSL exchange of the same request", rawTls / 1e3, "us");
  });
  return 0;
}
