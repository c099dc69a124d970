#include "ui/key_decode.h"

#include <gtest/gtest.h>

#include <utility>

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
  EXPECT_EQ(decode_char(9).code, Code::Other);
  EXPECT_EQ(decode_char(127).code, Code::Backspace);
  EXPECT_EQ(decode_char(27).code, Code::Esc);
  expect_char(0, U' ');
}

TEST(KeyDecode, ControlLettersAreCtrlKeysNotTheirLetter) {
  for (const auto& [byte, letter] : {std::pair{3, U'c'}, {10, U'j'}, {17, U'q'}, {26, U'z'}}) {
    EXPECT_EQ(decode_char(byte).code, Code::Ctrl) << byte;
    EXPECT_EQ(decode_char(byte).ch, letter) << byte;
  }
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
