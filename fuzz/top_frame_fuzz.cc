// Feeds arbitrary bytes through the live top reader, split into reads as the fuzzer's
// first byte says, and checks the invariants the screen relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "tasks/top_frame.h"

using namespace stackpeek;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = 1 + data[0] % 64;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string pending;
  while (!input.empty()) {
    const auto piece = input.substr(0, chunk);
    input.remove_prefix(piece.size());
    pending += utf8::decode_lossy(piece);
    const auto lines = tasks::top_frame_lines(pending);
    if (lines.size() > tasks::kTopFrameLines) std::abort();
    for (const auto& line : lines) {
      if (line.empty() || !utf8::is_valid(line) || line.find('\n') != std::string::npos) {
        std::abort();
      }
    }
    pending = tasks::top_frame_tail(pending);
    if (!utf8::is_valid(pending) || utf8::char_count(pending) > tasks::kTopPendingLimit) {
      std::abort();
    }
  }
  return 0;
}
