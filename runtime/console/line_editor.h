// Line editing at a terminal: the keys of one line being typed, the session's history of
// lines, and the terminal in raw mode while a line is read.
#pragma once
#include "runtime/runtime_only.h"
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// The lines typed in this session, oldest first. Kept in memory only: lines carry key
// numbers and file names, so they are never written anywhere.
class MVLineHistory {
 public:
  static constexpr size_t kMaxLines = 1000;
  // Keeps a line unless it is empty or repeats the line before it.
  void Add(const std::string& line);
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

// One line being edited. Bytes go in one at a time (keys arrive as bytes and escape
// sequences); Render gives what the terminal line shows.
class MVLineEditor {
 public:
  enum Result {
    kEditing,   // the line goes on
    kAccept,    // Enter: line() is complete
    kEnd,       // Ctrl-D on an empty line: the end of input
    kSuspend    // Ctrl-Z: the caller stops the program until it is continued
  };

  explicit MVLineEditor(const MVLineHistory& history);
  Result Feed(uint8_t c);
  const std::string& line() const { return entries_[current_]; }
  size_t cursor() const { return cursor_; }
  // The bytes that redraw the terminal line (from its first column) for a terminal of
  // the given width, leaving the cursor at the editing position. Lines wider than the
  // terminal scroll sideways.
  std::string Render(int columns);
  // The whole line as shown once it is complete (control characters as ^X).
  std::string Shown() const;

 private:
  Result Key(uint8_t c);
  void Escape(uint8_t final, int param, int modifier);
  void Insert(uint8_t c);
  void MoveLeft();
  void MoveRight();
  void WordLeft();
  void WordRight();
  void DeleteBack();
  void DeleteAt();
  void Recall(int step);
  std::string& text() { return entries_[current_]; }

  // History lines and, last, the new line; recalled lines are edited in this copy, so
  // the history itself keeps what was typed.
  std::vector<std::string> entries_;
  size_t current_;
  size_t cursor_;  // byte offset in the line
  int scroll_;     // first column shown when the line is wider than the terminal
  enum { kPlain, kEsc, kCsi, kSs3 } state_;
  int params_[2];
  int paramCount_;
};

// Reading one line at a terminal.
enum MVEditOutcome {
  kMVEditLine,    // a line was typed
  kMVEditEnd,     // the end of input (Ctrl-D on an empty line, or the terminal went away)
  kMVEditSignal,  // a signal the program acts on cut the wait short
  kMVEditUnavailable  // the terminal cannot be put in raw mode: read plain lines
};

// True when lines are read with editing: standard input and standard output are both
// terminals, and the terminal type understands cursor movement.
bool MVLineEditingWanted();
// Reads one line with editing and the session's history. The terminal is in raw mode
// only inside this call and is restored before it returns, on every path.
MVEditOutcome MVReadEditedLine(std::string* line);
// Forget the session's history (tests).
void MVClearLineHistory();
