#include "ui/text_fit.h"

#include <gtest/gtest.h>

#include "common/grapheme.h"

namespace stackpeek::ui {
namespace {

app::ListRow row(app::ListRow::Kind kind, std::string before, std::string part, std::string after) {
  app::ListRow r{kind, 0, 0, before + part + after};
  r.fit_begin = before.size();
  r.fit_end = before.size() + part.size();
  return r;
}

TEST(TextFit, CutsCountColumnsAndKeepTheEllipsisInside) {
  EXPECT_EQ(cut_end("abcdef", 6), "abcdef");
  EXPECT_EQ(cut_end("abcdef", 4), "abc…");
  EXPECT_EQ(cut_middle("abcdefgh", 5), "ab…gh");
  EXPECT_EQ(cut_middle("abcdefgh", 6), "ab…fgh");  // the tail gets the odd column
  EXPECT_EQ(keep_end("abcdef", 4), "…def");
  EXPECT_EQ(cut_end("abc", 0), "");
  // A wide character never straddles the limit.
  EXPECT_EQ(cut_end("ab漢字", 5), "ab漢…");
  EXPECT_EQ(cut_end("ab漢字", 4), "ab…");
  EXPECT_EQ(keep_end("漢字ab", 4), "…ab");
  for (const int width : {1, 2, 3, 7})
    EXPECT_LE(display_width(cut_middle("漢字漢字ab漢字", width)), width) << width;
}

TEST(TextFit, ProcessRowShrinksTheInterpreterThenPathsThenCutsTheEnd) {
  const auto process = row(app::ListRow::Kind::Process, "  pid 42      rank 0/4 local 0 ",
                           "/root/.pyenv/versions/3.11.9/bin/python3.11 /srv/job/train.py "
                           "--epochs 10",
                           "");
  EXPECT_EQ(fit_row(process, 200), process.text);
  EXPECT_EQ(fit_row(process, 71),
            "  pid 42      rank 0/4 local 0 python3.11 /srv/job/train.py --epochs 10");
  EXPECT_EQ(fit_row(process, 62), "  pid 42      rank 0/4 local 0 python3.11 train.py --epochs 10");
  EXPECT_EQ(fit_row(process, 51), "  pid 42      rank 0/4 local 0 python3.11 train.py…");
  // Options and URLs keep their slashes.
  const auto options = row(app::ListRow::Kind::Process, "  pid 7       ",
                           "python3 -m serve --root=/srv/a http://h/x /srv/app/main.py", "");
  EXPECT_EQ(fit_row(options, 63),
            "  pid 7       python3 -m serve --root=/srv/a http://h/x main.py");
}

TEST(TextFit, GroupRowCutsItsLabelBeforeTheTag) {
  const auto group =
      row(app::ListRow::Kind::Group, "v ", "train.py --epochs 10", " [torch/ddp] 4 procs");
  EXPECT_EQ(fit_row(group, 34), "v train.py --… [torch/ddp] 4 procs");
  // Only a width below the tag itself cuts it.
  EXPECT_EQ(fit_row(group, 20), "v train.py --epochs…");
}

}  // namespace
}  // namespace stackpeek::ui
