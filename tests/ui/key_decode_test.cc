#include "ui/key_decode.h"

#include <gtest/gtest.h>

namespace stackpeek::ui {
namespace {

using app::KeyEvent;
using Code = KeyEvent::Code;

void expect_char(char32_t input, char32_t key) {
  const KeyEvent event = decode_char(input);
  EXPECT_EQ(event.code, Code::Char) << static_cast<int>(input);
  EXPECT_EQ(event.ch, key) << static_cast<int>(input);
}

TEST(KeyDecode, ReadsRawModeBytes) {
  EXPECT_EQ(decode_char(13).code, Code::Enter);
  expect_char(10, U'j');  // Ctrl+J, not Enter
  EXPECT_EQ(decode_char(9).code, Code::Other);
  EXPECT_EQ(decode_char(127).code, Code::Other);
  EXPECT_EQ(decode_char(27).code, Code::Esc);
  expect_char(0, U' ');
}

TEST(KeyDecode, ControlLettersCountAsTheirLetter) {
  expect_char(3, U'c');
  expect_char(17, U'q');
  expect_char(1, U'a');
  expect_char(26, U'z');
  expect_char(28, U'4');
  expect_char(31, U'7');
}

TEST(KeyDecode, OtherCharactersAreThemselves) {
  expect_char(U'q', U'q');
  expect_char(U' ', U' ');
  expect_char(U'é', U'é');
}

}  // namespace
}  // namespace stackpeek::ui
