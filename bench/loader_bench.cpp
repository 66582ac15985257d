// Loading a 100,000-record interface-translation file against zlib inflating the same
// compressed bytes alone (both reading the file), in the same run. Prints both and the ratio.
#include <benchmark/benchmark.h>

#include <zlib.h>
#include "bench/ratio_reporter.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "testsupport/temp_dir.h"
#include "uilocal/interface_file.h"
#include "uilocal/translate_interface.h"

namespace {

constexpr int kRecords = 100000;

struct File {
  testsupport::TempDir temp{"pbload"};
  const std::string path = temp / "stintf.dat";
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
    compressed = uilocal::GzipMember(uilocal::Content(text));
    std::ofstream(path, std::ios::binary) << uilocal::Scramble(compressed);
  }
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

// Short repetitions of both, interleaved at random, and their medians compared: the machine's
// load changes over seconds, and two long runs one after the other would each meet another.
BENCHMARK(BM_PlainInflate)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.3)
    ->Repetitions(11);
BENCHMARK(BM_LoadTranslations)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.3)
    ->Repetitions(11);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchsupport::RunBenchmarks(count, args.data(), [](const benchsupport::Figures& f) {
    const double plain = f.at("BM_PlainInflate"), load = f.at("BM_LoadTranslations");
    std::printf("\n%d records, %zu bytes of text, %zu compressed\n", kRecords, TheFile().textBytes,
                TheFile().compressed.size());
    std::printf("plain inflate             %8.2f ms\n", plain / 1e6);
    std::printf("LoadTranslations          %8.2f ms  ratio %.2f\n", load / 1e6, load / plain);
    benchsupport::ReportRow("loading a 100,000-record data file", load / 1e6,
                            "plain inflate of the same file", plain / 1e6, "ms");
  });
  return 0;
}
