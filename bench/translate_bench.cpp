// One translation round trip through Translate against the stand-in translator's echo engine,
// measured beside curl posting the same body to the same server and a raw-socket exchange of the
// same request bytes (the floor), in the same run. Prints the figures and the ratios.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include "bench/ratio_reporter.h"

#include <filesystem>

#include "testsupport/child_process.h"
#include "testsupport/net_util.h"
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
  std::unique_ptr<testsupport::ChildProcess> process;
  Server() {
    const std::string p = std::to_string(port);
    process = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{TRANSLATOR_PATH, "--desktop", dir + "/d", "--no-window",
                                 "--engine", "echo", "--port", p, "--web-port", p});
    if (!testsupport::WaitUntilListening(port)) std::abort();
  }
  ~Server() { process.reset(); }
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
  const translate::Endpoint endpoint{"127.0.0.1", server.port, "/st.asp"};
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

BENCHMARK(BM_RawExchange)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Translate)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Curl)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchsupport::RunBenchmarks(argc, argv, [](const benchsupport::Figures& f) {
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
  });
  return 0;
}
