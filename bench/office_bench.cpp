// The office translation service under load, Spanish chat lines into English, one connection
// per request as Parlavant's client makes them:
//  - closed loop (1, 8 and 64 clients, each sending again once answered) against one
//    parlavant-translator instance and against apertium-apy with a process per core (-j0), on
//    the same cores in the same run, and the memory each holds afterwards;
//  - open loop at 200 requests a second (about a thousand people chatting) through HAProxy with
//    TLS terminated there, in front of two instances, against the same rate sent to one
//    instance directly without either.
// Runs in a network namespace of its own (apertium-apy listens on every interface), which takes
// root; without apertium-apy its rows are left out and the reason printed.
#include <net/if.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "bench/isolate_network.h"
#include "bench/ratio_reporter.h"
#include "testsupport/child_process.h"
#include "testsupport/http_load.h"
#include "testsupport/net_util.h"
#include "testsupport/run_program.h"
#include "testsupport/temp_dir.h"

namespace {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};


std::string Which(const std::string& program) {
  bool ok = false;
  std::string path = testsupport::RunProgram({"sh", "-c", "command -v " + program}, "", ok);
  while (!path.empty() && path.back() == '\n') path.pop_back();
  return ok ? path : "";
}

const char* kLines[] = {"Hola, como estas hoy?", "El gato duerme en la casa.",
                        "Necesito comprar pan y leche.", "Nos vemos el lunes por la tarde."};

std::string Percent(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    out += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(hex);
  }
  return out;
}

std::string ServiceRequest(int client, int i) {
  return testsupport::FormPost("/st.asp",
                               "l1=" + Percent(kLines[(client + i) % 4]) + "&TargetLang=1");
}

std::string ApyRequest(int client, int i) {
  return "GET /translate?langpair=spa%7Ceng&markUnknown=no&q=" + Percent(kLines[(client + i) % 4]) +
         " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
}

// What the process and its descendants hold, proportional to sharing (PSS), in MB.
double TreeMegabytes(pid_t root) {
  double kb = 0;
  std::vector<pid_t> pending{root};
  while (!pending.empty()) {
    const pid_t pid = pending.back();
    pending.pop_back();
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string key; rollup >> key;) {
      if (key == "Pss:") {
        double value = 0;
        rollup >> value;
        kb += value;
      }
      rollup.ignore(1 << 20, '\n');
    }
    namespace fs = std::filesystem;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
      std::ifstream children(task.path() / "children");
      for (pid_t child; children >> child;) pending.push_back(child);
    }
  }
  return kb / 1024;
}

// One request over TLS on a connection of its own, as the client will make it: handshake,
// request, the reply to the close. The reply's status; 0 on any failure.
int TlsExchange(SSL_CTX* context, std::uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = testsupport::Loopback(port);
  int status = 0;
  SSL* ssl = nullptr;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      (ssl = SSL_new(context)) != nullptr && SSL_set_fd(ssl, fd) == 1 &&
      SSL_set_tlsext_host_name(ssl, "localhost") == 1 && SSL_connect(ssl) == 1 &&
      SSL_write(ssl, request.data(), static_cast<int>(request.size())) ==
          static_cast<int>(request.size())) {
    std::string reply;
    char buffer[16384];
    for (int n; (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;) reply.append(buffer, n);
    if (reply.compare(0, 5, "HTTP/") == 0 && reply.size() > 12) status = std::atoi(&reply[9]);
  }
  if (ssl != nullptr) SSL_free(ssl);
  ::close(fd);
  return status;
}

void Print(const char* what, const testsupport::LoadResult& r) {
  std::printf("  %-44s %8.0f req/s  p50 %7.1f ms  p99 %7.1f ms  failed %d\n", what, r.PerSecond(),
              r.Quantile(0.5), r.Quantile(0.99), r.Failed());
}

void WarmUp(std::uint16_t port, const std::function<std::string(int, int)>& request) {
  // Enough at once that every pipeline (or process) is started.
  const auto r = testsupport::ClosedLoop(port, 16, 8, request);
  if (r.Failed() != 0) throw Failure("the warm-up failed");
}

int Run() {
  const std::string isolated = benchsupport::IsolateNetwork();
  if (!isolated.empty()) throw Failure("no network namespace of its own (" + isolated + ")");
  testsupport::TempDir temp("pboffice");

  const std::uint16_t port = testsupport::FreeLoopbackPort();
  testsupport::ChildProcess instance({TRANSLATOR_PATH, "--service", "--web-port",
                                      std::to_string(port)},
                                     {}, temp / "instance.log");
  if (!testsupport::WaitUntilListening(port, 30000)) throw Failure("the translator did not start");
  WarmUp(port, ServiceRequest);

  std::unique_ptr<testsupport::ChildProcess> apy;
  std::uint16_t apyPort = 0;
  if (const std::string path = Which("apertium-apy"); path.empty()) {
    std::printf("apertium-apy left out: not installed (scripts/install-deps.sh bench)\n");
  } else {
    apyPort = testsupport::FreeLoopbackPort();
    apy = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{path, "-p", std::to_string(apyPort), "-j0",
                                 "/usr/share/apertium/modes"},
        temp / "apy.out", temp / "apy.log");
    if (!testsupport::WaitUntilListening(apyPort, 60000)) throw Failure("apertium-apy did not start");
    WarmUp(apyPort, ApyRequest);
  }

  std::printf("Closed loop, es>en, a connection per request (%u cores):\n",
              std::thread::hardware_concurrency());
  for (const int clients : {1, 8, 64}) {
    // About five seconds each at the speeds measured before.
    const auto own = testsupport::ClosedLoop(port, clients, 2400 / clients + 20, ServiceRequest);
    Print(("parlavant-translator, " + std::to_string(clients) + " clients").c_str(), own);
    if (!apy) continue;
    const auto theirs = testsupport::ClosedLoop(apyPort, clients, 400 / clients + 4, ApyRequest);
    Print(("apertium-apy -j0, " + std::to_string(clients) + " clients").c_str(), theirs);
    if (own.Failed() != 0 || theirs.Failed() != 0) throw Failure("requests failed");
    benchsupport::ReportRow("Office service, " + std::to_string(clients) +
                                " clients closed loop, throughput",
                            own.PerSecond(), "apertium-apy -j0", theirs.PerSecond(), "req/s");
    benchsupport::ReportRow("Office service, " + std::to_string(clients) +
                                " clients closed loop, p99",
                            own.Quantile(0.99), "apertium-apy -j0", theirs.Quantile(0.99), "ms");
  }
  const double ownMb = TreeMegabytes(instance.Pid());
  std::printf("  memory after the load (PSS, process tree): parlavant-translator %.0f MB\n", ownMb);
  if (apy) {
    const double theirMb = TreeMegabytes(apy->Pid());
    std::printf("  memory after the load (PSS, process tree): apertium-apy -j0 %.0f MB\n", theirMb);
    benchsupport::ReportRow("Office service, memory after load (PSS)", ownMb, "apertium-apy -j0",
                            theirMb, "MB");
  }
  apy.reset();

  // Two instances behind HAProxy with TLS, as the office script starts them.
  bool ok = false;
  testsupport::RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                           "2", "-subj", "/CN=localhost", "-keyout", temp / "key.pem", "-out",
                           temp / "cert.pem"},
                          "", ok);
  if (!ok) throw Failure("openssl could not make a certificate");
  {
    std::ofstream pem(temp / "office.pem");
    pem << std::ifstream(temp / "cert.pem").rdbuf() << std::ifstream(temp / "key.pem").rdbuf();
  }
  const std::uint16_t front = testsupport::FreeLoopbackPorts(1);
  const std::uint16_t base = testsupport::FreeLoopbackPorts(2);
  testsupport::ChildProcess office(
      {OFFICE_SCRIPT, "--instances", "2", "--cert", temp / "office.pem", "--bind",
       "127.0.0.1:" + std::to_string(front), "--base-port", std::to_string(base), "--rate",
       "100000000", "--translator", TRANSLATOR_PATH, "--work", temp / "office"},
      {}, temp / "office.log");
  for (int i = 0; i < 2; ++i) {
    const auto at = static_cast<std::uint16_t>(base + i);
    if (!testsupport::WaitUntilListening(at, 30000)) throw Failure("an instance did not start");
    WarmUp(at, ServiceRequest);
  }
  if (!testsupport::WaitUntilListening(front, 30000)) throw Failure("HAProxy did not start");
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // its health checks passed

  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  constexpr double kRate = 200;
  constexpr int kCount = 2000;
  std::printf("Open loop, %.0f requests/s for %.0f s:\n", kRate, kCount / kRate);
  const auto direct = testsupport::OpenLoop(kRate, kCount, 64, [&](int i) {
    return testsupport::Exchange(port, ServiceRequest(0, i));
  });
  Print("one instance, plain HTTP", direct);
  const auto viaTls = testsupport::OpenLoop(kRate, kCount, 64, [&](int i) {
    return TlsExchange(context, front, ServiceRequest(0, i));
  });
  Print("HAProxy with TLS, two instances", viaTls);
  SSL_CTX_free(context);
  if (direct.Failed() != 0 || viaTls.Failed() != 0) throw Failure("requests failed");
  benchsupport::ReportRow("Office service, 200 req/s open loop through HAProxy and TLS, p99",
                          viaTls.Quantile(0.99), "one instance, plain HTTP",
                          direct.Quantile(0.99), "ms");
  return 0;
}

}  // namespace

int main() {
  try {
    return Run();
  } catch (const Failure& e) {
    std::fprintf(stderr, "office benchmark: %s\n", e.what());
    return 1;
  }
}
