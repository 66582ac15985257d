// parlavant-translator: the stand-in desktop translator and web service. See the README for its
// options.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "platform/codepage.h"
#include "platform/desktop.h"
#include "platform/error.h"
#include "platform/command_line.h"
#include "platform/stop_signal.h"
#include "tools/translator/engine.h"
#include "tools/translator/http_server.h"
#include "tools/translator/metrics.h"
#include "translate/web_codec.h"

namespace {

struct Options {
  std::string desktop;
  std::string title = "Tessavo Verbalinx 3.0";
  int port = 4357;
  int webPort = 0;
  std::string engine = "apertium";
  std::string modes = "/usr/share/apertium/modes";
  int hangBoundMs = 10000;
  std::string bind = "127.0.0.1";
  int pipelines = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  standin::HttpLimits limits;
  bool window = true;
  bool http = true;
  bool service = false;
  bool maxBodySet = false;
  std::string cookie;
  int status = 200;
  bool closeEarly = false;
  bool dieEarly = false;
};

std::mutex gLogMutex;
void Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(gLogMutex);
  std::cerr << "parlavant-translator: " << line << std::endl;
}

// Percent-encoding of the reply value: a blank as "+", letters and digits as themselves.
std::string EncodeValue(const std::string& utf8) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : utf8) {
    if (c == ' ') {
      out += '+';
    } else if (c < 0x80 && std::isalnum(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// The usual reason phrase of a status that --status asks for.
std::string ReasonPhrase(int status) {
  static const std::map<int, std::string> phrases = {{200, "OK"},
                                                     {301, "Moved Permanently"},
                                                     {302, "Found"},
                                                     {400, "Bad Request"},
                                                     {403, "Forbidden"},
                                                     {404, "Not Found"},
                                                     {500, "Internal Server Error"},
                                                     {502, "Bad Gateway"},
                                                     {503, "Service Unavailable"}};
  auto it = phrases.find(status);
  return it != phrases.end() ? it->second : "Status " + std::to_string(status);
}

// The form fields of a request body: name=value pairs joined by "&", values form-encoded.
std::map<std::string, std::string> ParseForm(const std::string& body) {
  std::map<std::string, std::string> fields;
  std::size_t pos = 0;
  while (pos <= body.size()) {
    std::size_t end = body.find('&', pos);
    if (end == std::string::npos) end = body.size();
    const std::string item = body.substr(pos, end - pos);
    const std::size_t eq = item.find('=');
    if (eq != std::string::npos)
      fields[item.substr(0, eq)] = translate::PercentDecode(item.substr(eq + 1));
    pos = end + 1;
  }
  return fields;
}

class Service {
 public:
  Service(const Options& options, std::unique_ptr<standin::Engine> engine)
      : options_(options), engine_(std::move(engine)) {}

  void Handle(const standin::HttpRequest& request, standin::HttpReply& reply) {
    const auto started = std::chrono::steady_clock::now();
    std::string source, target;
    Translate(request, reply, source, target);
    metrics_.Record(source, target, reply.status,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
                        .count());
  }

  std::string MetricsText(const standin::HttpServer::Counts& counts) const {
    return metrics_.Text(counts, engine_->PipelineStarts());
  }

 private:
  void Translate(const standin::HttpRequest& request, standin::HttpReply& reply,
                 std::string& source, std::string& target) {
    auto fields = ParseForm(request.body);
    // The text arrives as character references of its UTF-16 units.
    const std::u16string text = standin::DecodeCharacterReferences(fields["l1"]);
    const int code = std::atoi(fields["TargetLang"].c_str());
    target = standin::IsoOfLanguageCode(code);
    if (target.empty()) {
      Log("unknown language code " + fields["TargetLang"] + "; answered 400");
      reply = {400, "Unknown target language " + fields["TargetLang"], {}, {}};
      return;
    }
    std::string translation;
    try {
      translation = engine_->Translate(platform::Utf8Encode(text), target, &source);
    } catch (const standin::NoLanguagePair& e) {
      // Said in the status line, which the caller shows: the original passed off as its own
      // translation would go out signed as translated.
      Log(std::string(e.what()) + "; answered 422");
      reply = {422, e.what(), {}, {}};
      return;
    } catch (const standin::TranslationFailed& e) {
      // No translation is better than the original passed off as one.
      Log(std::string(e.what()) + "; answered 503");
      reply = {503, "Service Unavailable", {}, {}};
      return;
    }
    if (!options_.cookie.empty() &&
        request.Header("cookie").find(options_.cookie) == std::string::npos) {
      reply.headers.emplace_back("Set-Cookie", options_.cookie + "; Path=/");
    }
    reply.status = options_.status;
    reply.reason = ReasonPhrase(options_.status);
    reply.headers.emplace_back("Content-Type", "text/html");
    reply.body = "l1=" + EncodeValue(translation);
    // A field of its own after the translation, which a reader that knows only "l1" ignores:
    // the language the text came in, so that an answer can go back in it.
    if (const int from = standin::LanguageCodeOfIso(source); from != 0) {
      reply.body += "&SourceLang=" + std::to_string(from);
    }
  }

  const Options& options_;
  std::unique_ptr<standin::Engine> engine_;
  standin::Metrics metrics_;
};

// Accepts on 127.0.0.1:port and answers every request with the start of a reply's headers, then
// closes the connection; or, with `die`, kills the whole process right after the first such
// start, as a crash in mid-reply would.
void ServeClosingEarly(const std::string& address, int port, bool die) {
  int fd = -1;
  try {
    fd = standin::Listen(address, port);
  } catch (const std::runtime_error& e) {
    Log(e.what());
    platform::RequestStop();
    return;
  }
  while (!platform::StopRequested()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) != 1) continue;
    const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    char buf[4096];
    pollfd r{c, POLLIN, 0};
    if (::poll(&r, 1, 1000) == 1 && ::read(c, buf, sizeof buf) > 0) {
      const char partial[] = "HTTP/1.1 200 OK\r\nContent-Type: text/";
      if (::send(c, partial, sizeof partial - 1, MSG_NOSIGNAL) < 0) Log("send failed");
      if (die) ::raise(SIGKILL);
    }
    ::close(c);
  }
  ::close(fd);
}

// The options, with their help.
platform::CommandLine DescribeOptions(Options& o) {
  platform::CommandLine line(
      "parlavant-translator: the stand-in desktop translator (its window and \"/\" on loopback)\n"
      "and translation web service (\"/st.asp\"). With Debian's Apertium pairs it translates\n"
      "into English, Spanish, French and Italian from one another and from Macedonian (and\n"
      "Bulgarian through it), and into Bulgarian from Macedonian; no pair leads into German or\n"
      "Turkish. A text it cannot translate is answered 422 with the two languages in the\n"
      "status line (\"No translation from Spanish into German\"), never returned as it came;\n"
      "a text without a letter (a number, a time, an emoji) needs none and is.");
  line.Value("desktop", "DIR", "desktop directory (default: the user's desktop)",
             [&](const std::string& v) { o.desktop = v; });
  line.Value("title", "TEXT", "title of its window (default \"Tessavo Verbalinx 3.0\")",
             [&](const std::string& v) { o.title = v; });
  line.Value("port", "N", "port of the desktop translator's \"/\" (default 4357)",
             [&](const std::string& v) { o.port = platform::IntegerIn(v, 1, 65535); });
  line.Value("web-port", "N", "also serve the web service's \"/st.asp\" on port N",
             [&](const std::string& v) { o.webPort = platform::IntegerIn(v, 1, 65535); });
  line.Value("engine", "NAME", "apertium (default) or echo", [&](const std::string& v) {
    if (v != "apertium" && v != "echo") throw std::invalid_argument("apertium or echo");
    o.engine = v;
  });
  line.Value("modes", "DIR", "Apertium's modes (default /usr/share/apertium/modes)",
             [&](const std::string& v) { o.modes = v; });
  line.Value("hang-bound", "MS", "give up a pipeline silent this long (default 10000)",
             [&](const std::string& v) { o.hangBoundMs = platform::IntegerIn(v, 1, 3600000); });
  line.Value("bind", "ADDR",
             "the IPv4 address the HTTP ports listen on (default 127.0.0.1; 0.0.0.0: every one)",
             [&](const std::string& v) { o.bind = v; });
  line.Flag("service", "the office service: /st.asp on --web-port (default 4358), no window",
            [&] {
              o.service = true;
              o.window = false;
            });
  line.Value("pipelines", "N", "pipelines per language pair (default: the number of cores)",
             [&](const std::string& v) { o.pipelines = platform::IntegerIn(v, 1, 64); });
  line.Value("workers", "N", "requests translated at once, at most (default 128)",
             [&](const std::string& v) { o.limits.workers = platform::IntegerIn(v, 1, 4096); });
  line.Value("max-body", "BYTES",
             "longest request body; longer ones get 413 (default 65536 with --service, "
             "1048576 otherwise)",
             [&](const std::string& v) {
               o.limits.maxBody = static_cast<std::size_t>(platform::IntegerIn(v, 1024, 1 << 30));
               o.maxBodySet = true;
             });
  line.Value("request-deadline", "MS", "time a client has to send a request (default 10000)",
             [&](const std::string& v) {
               o.limits.requestDeadline = std::chrono::milliseconds(platform::IntegerIn(v, 1, 3600000));
             });
  line.Value("idle-deadline", "MS", "silence allowed between requests on one connection "
             "(default 5000)", [&](const std::string& v) {
               o.limits.idleDeadline = std::chrono::milliseconds(platform::IntegerIn(v, 1, 3600000));
             });
  line.Flag("window-only", "put the window up, serve no HTTP", [&] { o.http = false; });
  line.Flag("no-window", "serve HTTP, put no window up", [&] { o.window = false; });
  line.Value("cookie", "NAME=VAL", "set this cookie on every reply to a request without it",
             [&](const std::string& v) { o.cookie = v; });
  line.Value("status", "N", "answer every request with status N",
             [&](const std::string& v) { o.status = platform::IntegerIn(v, 100, 599); });
  line.Flag("close-early", "close every connection before the reply's headers end",
            [&] { o.closeEarly = true; });
  line.Flag("die-early", "be killed (SIGKILL) in the middle of the first reply",
            [&] { o.dieEarly = true; });
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (auto status = DescribeOptions(options).Parse(argc, argv)) return *status;
  platform::CatchStopSignals();
  if (options.service && options.webPort == 0) options.webPort = 4358;
  // A shared service takes chat-sized messages (its balancer holds each whole, to retry it); a
  // desktop's own translator also takes the long text its one user pastes.
  if (!options.maxBodySet) options.limits.maxBody = options.service ? 64u << 10 : 1u << 20;

  Service service(options,
                  options.engine == "echo"
                      ? standin::MakeEchoEngine()
                      : standin::MakeApertiumEngine(options.modes, "es",
                                                    std::chrono::milliseconds(options.hangBoundMs),
                                                    options.pipelines));
  std::vector<std::unique_ptr<standin::HttpServer>> servers;
  std::vector<std::thread> threads;
  // One server per port; the web service may share the desktop translator's port.
  auto serve = [&](int port, const std::vector<std::string>& documents) {
    if (options.closeEarly || options.dieEarly) {
      threads.emplace_back(ServeClosingEarly, options.bind, port, options.dieEarly);
      return;
    }
    std::map<std::string, standin::HttpHandler> posts, gets;
    for (const std::string& document : documents) {
      posts[document] = [&](const standin::HttpRequest& request, standin::HttpReply& reply) {
        service.Handle(request, reply);
      };
    }
    // Filled once the server exists; the handlers run only after that.
    auto server = std::make_shared<standin::HttpServer*>(nullptr);
    // For a balancer: up while it takes requests, down from the moment it is asked to stop.
    gets["/health"] = [server](const standin::HttpRequest&, standin::HttpReply& reply) {
      reply = (*server)->Stopping() ? standin::HttpReply{503, "Service Unavailable", {}, "stopping\n"}
                                 : standin::HttpReply{200, "OK", {}, "ok\n"};
      reply.headers.emplace_back("Content-Type", "text/plain");
    };
    gets["/metrics"] = [server, &service](const standin::HttpRequest&,
                                          standin::HttpReply& reply) {
      reply.body = service.MetricsText((*server)->Snapshot());
      reply.headers.emplace_back("Content-Type", "text/plain; version=0.0.4");
    };
    try {
      servers.push_back(std::make_unique<standin::HttpServer>(
          options.bind, port, std::move(posts), std::move(gets), options.limits));
    } catch (const std::runtime_error& e) {
      Log(e.what());
      std::exit(1);
    }
    *server = servers.back().get();
    threads.emplace_back([s = *server] { s->Run(); });
  };
  int status = 0;
  try {
    std::unique_ptr<platform::Desktop> desktop;
    platform::Hwnd window = 0;
    if (options.window) {
      desktop = platform::OpenDesktop(options.desktop);
      window =
          desktop->MakeWindow(options.title, [](platform::Hwnd, platform::MsgId, platform::WParam,
                                                platform::LParam) { return platform::LResult{0}; });
      if (window == 0) throw platform::Error("cannot put the window on the desktop");
    }
    if (options.service) {
      serve(options.webPort, {"/st.asp"});
    } else if (options.http) {
      if (options.webPort == options.port) {
        serve(options.port, {"/", "/st.asp"});
      } else {
        serve(options.port, {"/"});
        if (options.webPort > 0) serve(options.webPort, {"/st.asp"});
      }
    }
    Log("ready: engine " + options.engine +
        (options.http ? ", on " + options.bind : "") +
        (options.http && !options.service ? ", port " + std::to_string(options.port) : "") +
        (options.webPort > 0 ? ", web service port " + std::to_string(options.webPort) : ""));
    // The window answers what the desktop sends it (discovery broadcasts among others).
    while (!platform::StopRequested()) {
      if (desktop) {
        desktop->WaitAndProcess(200);
      } else {
        ::poll(nullptr, 0, 200);
      }
    }
  } catch (const platform::Error& e) {
    Log(e.what());
    platform::RequestStop();
    status = 1;  // it did not start: a launcher that watches it must see so
  }
  for (auto& server : servers) server->Stop();
  for (auto& thread : threads) thread.join();
  return status;
}
