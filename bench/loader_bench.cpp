// Loading a 100,000-record interface-translation file against zlib inflating the same
// compressed bytes alone (both reading the file), in the same run. Prints both and the ratio.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tools/stintf/stintf_writer.h"
#include "uilocal/translate_interface.h"

namespace {

constexpr int kRecords = 100000;

struct File {
  std::string path;
  std::string compressed;  // the gzip member, unscrambled
  std::size_t textBytes = 0;
  File() {
    std::string text;
    for (int i = 0; i < kRecords; ++i) {
      const int language = 1 + i % 7;
      text += std::string("MainForm.Component") + std::to_string(i / 7) + ";" +
              std::to_string(language) + ";";
      text += language == 2 ? std::string("\"\xCF\xF0\xE8\xE5\xEC\xE8 \xED\xE0 ") +
                                  std::to_string(i) + "\"\r\n"
                            : std::string("\"Receive in ") + std::to_string(i) + "\"\r\n";
    }
    textBytes = text.size();
    compressed = stintf::GzipMember(stintf::Content(text));
    char pattern[] = "/tmp/pbload.XXXXXX";
    path = std::string(::mkdtemp(pattern)) + "/stintf.dat";
    std::ofstream(path, std::ios::binary) << stintf::Scramble(compressed);
  }
  ~File() { std::filesystem::remove_all(std::filesystem::path(path).parent_path()); }
};

File& TheFile() {
  static File file;
  return file;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void BM_LoadTranslations(benchmark::State& state) {
  File& file = TheFile();
  for (auto _ : state) {
    uilocal::LoadTranslations(file.path);
    if (uilocal::Translations().size() != static_cast<std::size_t>(kRecords))
      state.SkipWithError("records lost");
  }
}

void BM_PlainInflate(benchmark::State& state) {
  File& file = TheFile();
  std::string out(file.textBytes + 4, '\0');
  for (auto _ : state) {
    const std::string bytes = ReadFile(file.path);
    benchmark::DoNotOptimize(bytes.data());
    z_stream z{};
    inflateInit2(&z, -15);
    // The same compressed bytes (past the 10-byte header), without unscrambling.
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.compressed.data() + 10));
    z.avail_in = static_cast<uInt>(file.compressed.size() - 10);
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    if (inflate(&z, Z_FINISH) != Z_STREAM_END) state.SkipWithError("inflate failed");
    inflateEnd(&z);
    benchmark::DoNotOptimize(out.data());
  }
}

BENCHMARK(BM_PlainInflate)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_LoadTranslations)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      nanos_[run.run_name.function_name] =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double plain = nanos_["BM_PlainInflate"], load = nanos_["BM_LoadTranslations"];
    if (plain <= 0) return;
    std::printf("\n%d records, %zu bytes of text, %zu compressed\n", kRecords, TheFile().textBytes,
                TheFile().compressed.size());
    std::printf("plain inflate             %8.2f ms\n", plain / 1e6);
    std::printf("LoadTranslations          %8.2f ms  ratio %.2f\n", load / 1e6, load / plain);
  }

 private:
  std::map<std::string, double> nanos_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
