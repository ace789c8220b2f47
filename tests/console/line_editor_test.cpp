// Line editing: keys and escape sequences on one line, the session's history, and what
// the terminal line shows.
#include "runtime/console/line_editor.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Feeds the keys one byte at a time; returns the result of the last byte.
MVLineEditor::Result Type(MVLineEditor& e, const std::string& keys) {
  MVLineEditor::Result r = MVLineEditor::kEditing;
  for (unsigned char c : keys) r = e.Feed(c);
  return r;
}

const std::string kLeft = "\x1b[D", kRight = "\x1b[C", kUp = "\x1b[A", kDown = "\x1b[B";

TEST(LineEditor, TypingMovingAndDeleting) {
  MVLineHistory none;
  MVLineEditor e(none);
  EXPECT_EQ(Type(e, "enc a b 1 2"), MVLineEditor::kEditing);
  Type(e, kLeft + kLeft + "9");  // arrows move, typing inserts at the cursor
  EXPECT_EQ(e.line(), "enc a b 19 2");
  Type(e, "\x01X\x05Y");  // Ctrl-A, Ctrl-E
  EXPECT_EQ(e.line(), "Xenc a b 19 2Y");
  Type(e, "\x7f\x08");  // Backspace as DEL and as Ctrl-H
  EXPECT_EQ(e.line(), "Xenc a b 19 ");
  Type(e, "\x01\x1b[3~\x04");  // Delete key and Ctrl-D delete under the cursor
  EXPECT_EQ(e.line(), "nc a b 19 ");
  Type(e, "\x1bOF\x1bOH" + kRight + "\x0b");  // SS3 End/Home, then Ctrl-K
  EXPECT_EQ(e.line(), "n");
  Type(e, "ew line\x17");  // Ctrl-W: the word before the cursor
  EXPECT_EQ(e.line(), "new ");
  Type(e, kLeft + "\x15");  // Ctrl-U: everything before the cursor
  EXPECT_EQ(e.line(), " ");
  EXPECT_EQ(e.cursor(), 0u);
  EXPECT_EQ(Type(e, "\r"), MVLineEditor::kAccept);
}

TEST(LineEditor, WordsAndUnknownKeys) {
  MVLineHistory none;
  MVLineEditor e(none);
  Type(e, "dec src dst 1 1 1");
  Type(e, "\x1b[1;5D\x1b[1;5D\x1b" "b");  // Ctrl-Left twice, Alt-B
  EXPECT_EQ(e.cursor(), 12u);               // at the first "1"
  Type(e, "\x1b[1;5C");                     // Ctrl-Right: after it
  EXPECT_EQ(e.cursor(), 13u);
  // Function keys, Page Up, a stray Escape and other control keys change nothing; a tab
  // is an ordinary character.
  Type(e, "\x1b[15~\x1b[5~\x1bOP\x1b\x07\x12\x00");
  EXPECT_EQ(e.line(), "dec src dst 1 1 1");
  Type(e, "\t");
  EXPECT_EQ(e.line(), "dec src dst 1\t 1 1");
  // A sequence cut short by a control key ends; the key still counts.
  EXPECT_EQ(Type(e, "\x1b[1\r"), MVLineEditor::kAccept);
}

TEST(LineEditor, MultiByteCharactersMoveAndDeleteWhole) {
  MVLineHistory none;
  MVLineEditor e(none);
  Type(e, "a\xc3\xa9" "b");  // a, e-acute (two bytes), b
  Type(e, kLeft + kLeft);
  EXPECT_EQ(e.cursor(), 1u);
  Type(e, kRight + "\x7f");
  EXPECT_EQ(e.line(), "ab");
}

TEST(LineEditor, EndSuspendAndAccept) {
  MVLineHistory none;
  MVLineEditor e(none);
  EXPECT_EQ(Type(e, "\x1a"), MVLineEditor::kSuspend);
  EXPECT_EQ(Type(e, "\x04"), MVLineEditor::kEnd);  // Ctrl-D on the empty line
  MVLineEditor f(none);
  EXPECT_EQ(Type(f, "ab\x01\x04"), MVLineEditor::kEditing);  // with text: deletes
  EXPECT_EQ(f.line(), "b");
  EXPECT_EQ(Type(f, "\n"), MVLineEditor::kAccept);
}

TEST(LineHistory, UpAndDownThroughTheSessionsLines) {
  MVLineHistory h;
  h.Add("sysdat");
  h.Add("");        // empty lines are not kept
  h.Add("enc a b 1 1 1");
  h.Add("enc a b 1 1 1");  // nor a repeat of the line before
  ASSERT_EQ(h.lines().size(), 2u);

  MVLineEditor e(h);
  Type(e, "hel");
  Type(e, kUp);
  EXPECT_EQ(e.line(), "enc a b 1 1 1");
  EXPECT_EQ(e.cursor(), e.line().size());
  Type(e, "\x10" + kUp);  // Ctrl-P, then Up at the oldest line stays there
  EXPECT_EQ(e.line(), "sysdat");
  Type(e, "X");  // a recalled line is edited in place ...
  Type(e, kDown + kDown);
  EXPECT_EQ(e.line(), "hel");  // ... and Down comes back to the line being typed
  Type(e, kDown);
  EXPECT_EQ(e.line(), "hel");
  Type(e, "\x10\x10");
  EXPECT_EQ(e.line(), "sysdatX");
  EXPECT_EQ(h.lines()[0], "sysdat");  // the history keeps what was typed
}

TEST(LineHistory, KeepsTheNewestLinesOnly) {
  MVLineHistory h;
  for (size_t i = 0; i < MVLineHistory::kMaxLines + 5; i++) h.Add("line " + std::to_string(i));
  ASSERT_EQ(h.lines().size(), MVLineHistory::kMaxLines);
  EXPECT_EQ(h.lines().front(), "line 5");
}

TEST(LineEditorRender, ShortLineAndCursor) {
  MVLineHistory none;
  MVLineEditor e(none);
  EXPECT_EQ(e.Render(80), "\r\x1b[K");
  Type(e, "abc" + kLeft);
  EXPECT_EQ(e.Render(80), "\rabc\x1b[K\x1b[1D");
  Type(e, "\t");  // control characters show as ^X
  EXPECT_EQ(e.Render(80), "\rab^Ic\x1b[K\x1b[1D");
  EXPECT_EQ(e.Shown(), "ab^Ic");
}

TEST(LineEditorRender, LongLinesScrollAndNeverFillTheLastColumn) {
  MVLineHistory none;
  MVLineEditor e(none);
  Type(e, "0123456789abcdefghij");  // 20 characters on a 10-column terminal
  // The cursor at the end: the last 9 characters and the cursor in the 10th column.
  EXPECT_EQ(e.Render(10), "\rbcdefghij\x1b[K");
  Type(e, "\x01");
  EXPECT_EQ(e.Render(10), "\r012345678\x1b[K\x1b[9D");
  Type(e, kRight + kRight);  // moving inside the shown part does not scroll
  EXPECT_EQ(e.Render(10), "\r012345678\x1b[K\x1b[7D");
  Type(e, "\x05\x15");  // erase all: back to the first column
  EXPECT_EQ(e.Render(10), "\r\x1b[K");
}

}  // namespace
