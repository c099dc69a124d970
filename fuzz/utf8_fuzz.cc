// Lossy decoding always yields valid UTF-8, keeps valid input unchanged, and the helpers
// built on it agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/utf8.h"

using namespace stackpeek;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string text = utf8::decode_lossy(input);
  if (!utf8::is_valid(text)) std::abort();
  if (utf8::is_valid(input) && text != input) std::abort();
  size_t count = 0;
  std::string rebuilt;
  for (size_t pos = 0; pos < text.size(); ++count) utf8::append(rebuilt, utf8::next(text, pos));
  if (rebuilt != text || count != utf8::char_count(text)) std::abort();
  if (utf8::byte_offset(text, count) != text.size()) std::abort();
  const auto trimmed = utf8::trim(text);
  if (!utf8::is_valid(trimmed) || trimmed.size() > text.size()) std::abort();
  return 0;
}
