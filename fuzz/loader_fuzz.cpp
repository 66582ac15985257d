// The interface-translation loader on arbitrary files, scrambled or not: the first byte picks
// whether the input is scrambled first (so the fuzzer reaches the gzip and record layers) and the
// size of the pieces it is fed in. Only the two malformed-text errors may come out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/error.h"
#include "uilocal/interface_file.h"
#include "uilocal/translate_interface.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool scramble = data[0] & 1;
  const std::size_t piece = 1 + (data[0] >> 1);
  std::string file(reinterpret_cast<const char*>(data + 1), size - 1);
  if (scramble) file = uilocal::Scramble(file);
  uilocal::ContentDecoder decoder;
  for (std::size_t i = 0; i < file.size(); i += piece) {
    if (!decoder.Feed(std::string_view(file).substr(i, piece))) break;
  }
  uilocal::RecordTable table;
  try {
    uilocal::ParseRecords(decoder.Content(), table);
  } catch (const platform::Error& e) {
    if (std::strncmp(e.what(), "List index out of bounds (", 26) != 0 &&
        std::strstr(e.what(), "is not a valid integer value") == nullptr) {
      std::abort();
    }
  }
  for (const auto& record : table.records) {
    if (record.ComponentPath.data() == nullptr && !record.ComponentPath.empty()) std::abort();
  }
  return 0;
}
