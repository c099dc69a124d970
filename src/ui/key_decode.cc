#include "ui/key_decode.h"

namespace stackpeek::ui {

app::KeyEvent decode_char(char32_t ch) {
  using app::KeyEvent;
  using Code = KeyEvent::Code;
  switch (ch) {
    case U'\r':
      return KeyEvent::of(Code::Enter);
    case U'\t':
      return KeyEvent::of(Code::Other);
    case 0x7F:
    case 0x08:
      return KeyEvent::of(Code::Backspace);
    case 0x1B:
      return KeyEvent::of(Code::Esc);
    case 0:
      return KeyEvent::character(U' ');
    default:
      break;
  }
  if (ch >= 1 && ch <= 26) return KeyEvent::ctrl(U'a' + ch - 1);
  if (ch >= 28 && ch <= 31) return KeyEvent::character(U'4' + ch - 28);
  return KeyEvent::character(ch);
}

}  // namespace stackpeek::ui
