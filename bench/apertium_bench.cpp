// The stand-in translator's answer time with Apertium (its pipelines kept running), against
// apertium-apy serving the same pairs and against the cold `apertium` command, for the same
// sentences, measured in the same run, alternately: Spanish to English, French to English through
// Spanish, Bulgarian to Spanish through Macedonian and English.
//
// apertium-apy listens on every interface and cannot be told otherwise, so the whole benchmark
// runs in a network namespace of its own, where the only interface is loopback. That takes root;
// without it, or without apertium-apy, its rows are left out and the reason printed.
#include <httplib.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bench/isolate_network.h"
#include "bench/ratio_reporter.h"
#include "platform/codepage.h"
#include "testsupport/child_process.h"
#include "testsupport/net_util.h"
#include "testsupport/run_program.h"
#include "testsupport/temp_dir.h"
#include "tools/translator/pipeline.h"
#include "translate/http_request.h"
#include "translate/web_codec.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 30;
constexpr int kColdRounds = 8;

struct Case {
  const char* name;
  std::u16string text;
  int targetCode;                  // the service's language code
  const char* apyPairs;            // apertium-apy's chain
  std::vector<std::string> modes;  // the `apertium` command's steps
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <typename F>
double MillisecondsOf(F&& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Thrown rather than exiting, so that the servers started are stopped on the way out.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
[[noreturn]] void Fail(const std::string& what) {
  throw Failure(what);
}


// Where a program is on PATH; empty when it is not.
std::string Which(const char* program) {
  const std::string command = std::string("command -v ") + program + " 2>/dev/null";
  std::string path;
  if (FILE* out = ::popen(command.c_str(), "r")) {
    char line[4096];
    if (std::fgets(line, sizeof line, out) != nullptr) path = line;
    ::pclose(out);
  }
  while (!path.empty() && path.back() == '\n') path.pop_back();
  return path;
}

// apertium-apy's JSON answer's translatedText, in UTF-8 (the answer's own encoding; a character
// may also come \u-escaped).
std::string ApyText(const std::string& json) {
  const std::string key = "\"translatedText\": \"";
  const std::size_t at = json.find(key);
  if (at == std::string::npos) return "(no translation: " + json + ")";
  std::string out;
  std::u16string escaped;  // a run of \u escapes, surrogate pairs kept together
  for (std::size_t i = at + key.size(); i < json.size() && json[i] != '"'; ++i) {
    if (json[i] == '\\' && i + 5 < json.size() && json[i + 1] == 'u') {
      escaped += static_cast<char16_t>(std::stoul(json.substr(i + 2, 4), nullptr, 16));
      i += 5;
      continue;
    }
    out += platform::Utf8Encode(escaped);
    escaped.clear();
    out += json[i] == '\\' && i + 1 < json.size() ? json[++i] : json[i];
  }
  return out + platform::Utf8Encode(escaped);
}

}  // namespace

int Run();

int main() {
  try {
    return Run();
  } catch (const Failure& e) {
    std::fprintf(stderr, "apertium benchmark: %s\n", e.what());
    return 1;
  }
}

int Run() {
  const std::string isolated = benchsupport::IsolateNetwork();
  std::string apySkipped;
  if (!isolated.empty()) {
    apySkipped = "no network namespace of its own (" + isolated + "; it takes root)";
  } else if (Which("apertium-apy").empty()) {
    apySkipped = "apertium-apy is not installed (scripts/install-deps.sh bench installs it)";
  }
  if (Which("apertium").empty()) Fail("Apertium is not installed");

  const std::vector<Case> cases = {
      {"es>en",
       u"Hola, \u00bfqu\u00e9 tal? Nos vemos ma\u00f1ana en la estaci\u00f3n.",
       1,
       "spa|eng",
       {"spa-eng"}},
      {"fr>es>en",
       u"Bonjour, nous allons au march\u00e9 demain matin avec mes amis.",
       1,
       "fra|spa|eng",
       {"fr-es", "spa-eng"}},
      {"bg>mk>en>es",
       u"\u0414\u043e\u0431\u0440\u043e \u0443\u0442\u0440\u043e, \u043a\u0430\u043a "
       u"\u0441\u0438 \u0434\u043d\u0435\u0441, \u043f\u0440\u0438\u044f\u0442\u0435\u043b"
       u"\u044e? \u0412\u0440\u0435\u043c\u0435\u0442\u043e \u0435 \u0445\u0443\u0431\u0430"
       u"\u0432\u043e.",
       5,
       "bul|mkd|eng|spa",
       {"bul-mkd", "mkd-eng", "eng-spa"}},
  };

  testsupport::TempDir temp("pbapertium");
  const std::uint16_t standInPort = testsupport::FreeLoopbackPort();
  testsupport::ChildProcess standIn(
      {TRANSLATOR_PATH, "--no-window", "--port", std::to_string(standInPort)}, {},
      temp / "translator.log");
  if (!testsupport::WaitUntilListening(standInPort)) Fail("the stand-in translator did not start");
  httplib::Client standInClient("127.0.0.1", standInPort);

  std::unique_ptr<testsupport::ChildProcess> apy;
  std::unique_ptr<httplib::Client> apyClient;
  if (apySkipped.empty()) {
    const std::uint16_t apyPort = testsupport::FreeLoopbackPort();
    apy = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{Which("apertium-apy"), "-p", std::to_string(apyPort), "-j1",
                                 "/usr/share/apertium/modes"},
        temp / "apy.out", temp / "apy.log");
    if (!apy->Running() || !testsupport::WaitUntilListening(apyPort, 30000))
      Fail("apertium-apy did not start");
    apyClient = std::make_unique<httplib::Client>("127.0.0.1", apyPort);
  }

  auto askStandIn = [&](const Case& c) {
    const std::string body = translate::EncodeForm(
        {{"l1", translate::WebEncode(c.text)}, {"TargetLang", std::to_string(c.targetCode)}});
    auto reply = standInClient.Post("/", body, "application/x-www-form-urlencoded");
    if (!reply || reply->status != 200) Fail("the stand-in translator did not answer");
    // The translation's field ends where the language the translator found begins.
    const std::string& b = reply->body;
    return translate::PercentDecode(b.substr(3, b.find('&', 3) - 3));
  };
  auto askApy = [&](const Case& c) {
    const std::string pairs = c.apyPairs;
    const bool chain = std::count(pairs.begin(), pairs.end(), '|') > 1;
    httplib::Params params{{chain ? "langpairs" : "langpair", pairs},
                           {"q", platform::Utf8Encode(c.text)},
                           {"markUnknown", "no"}};
    auto reply = apyClient->Get(chain ? "/translateChain" : "/translate", params, {});
    if (!reply || reply->status != 200) Fail("apertium-apy did not answer");
    return ApyText(reply->body);
  };
  auto askCold = [&](const Case& c) {
    std::string text = platform::Utf8Encode(c.text);
    for (const std::string& mode : c.modes) {
      bool ok = false;
      text = testsupport::RunProgram({"apertium", "-u", mode}, text, ok);
      if (!ok) Fail("the apertium command failed on " + mode);
      while (!text.empty() && text.back() == '\n') text.pop_back();
    }
    return text;
  };

  std::printf("Answers (after one request each, which starts the pipelines):\n");
  for (const Case& c : cases) {
    const std::string warm = askStandIn(c);
    const std::string cold = askCold(c);
    std::printf("  %-12s stand-in: %s\n  %-12s command:  %s\n", c.name, warm.c_str(), "",
                cold.c_str());
    if (warm != cold) Fail("the stand-in's translation differs from the command's");
    if (apyClient) std::printf("  %-12s apy:      %s\n", "", askApy(c).c_str());
  }
  if (!apySkipped.empty()) std::printf("apertium-apy left out: %s\n", apySkipped.c_str());

  std::printf("\n%-12s %12s %12s %12s   (median ms of %d rounds, cold of %d)\n", "case", "stand-in",
              "apy", "cold", kRounds, kColdRounds);
  for (const Case& c : cases) {
    std::vector<double> warm, viaApy, cold;
    for (int round = 0; round < kRounds; ++round) {
      warm.push_back(MillisecondsOf([&] { askStandIn(c); }));
      if (apyClient) viaApy.push_back(MillisecondsOf([&] { askApy(c); }));
      if (round < kColdRounds) cold.push_back(MillisecondsOf([&] { askCold(c); }));
    }
    const double w = Median(warm), a = apyClient ? Median(viaApy) : 0, k = Median(cold);
    std::printf("%-12s %12.2f %12.2f %12.2f\n", c.name, w, a, k);
    const std::string figure = std::string("Apertium ") + c.name + ", stand-in translator";
    if (apyClient) benchsupport::ReportRow(figure, w, "apertium-apy", a, "ms");
    benchsupport::ReportRow(figure, w, "cold apertium command", k, "ms");
  }
  return 0;
}
