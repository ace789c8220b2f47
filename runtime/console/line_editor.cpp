// Line editing at a terminal, over the terminal driver in raw mode: cursor keys,
// Home/End, Ctrl-A/E/B/F/K/U/W/D, and Up/Down (Ctrl-P/N) through this session's lines.
#include "runtime/console/line_editor.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "runtime/console/console_internal.h"
#include "runtime/core/objects/signals.h"
#include "runtime/values/alloc.h"

// --- History --------------------------------------------------------------------------

void MVLineHistory::Add(const std::string& line) {
  if (line.empty() || (!lines_.empty() && lines_.back() == line)) return;
  if (lines_.size() == kMaxLines) lines_.erase(lines_.begin());
  lines_.push_back(line);
}

// --- Editing --------------------------------------------------------------------------

namespace {

enum : uint8_t {
  kCtrlA = 1, kCtrlB = 2, kCtrlD = 4, kCtrlE = 5, kCtrlF = 6, kCtrlH = 8, kTab = 9,
  kLF = 10, kCtrlK = 11, kCR = 13, kCtrlN = 14, kCtrlP = 16, kCtrlU = 21, kCtrlW = 23,
  kCtrlZ = 26, kEscByte = 27, kDel = 127
};

const int kMaxParam = 1000;

bool Continuation(uint8_t c) { return (c & 0xC0) == 0x80; }
bool Control(uint8_t c) { return c < 0x20 || c == kDel; }

// One character as the terminal shows it: control characters as ^X.
void AppendShown(std::string& out, const std::string& text, size_t start, size_t length) {
  uint8_t c = static_cast<uint8_t>(text[start]);
  if (Control(c)) {
    out += '^';
    out += static_cast<char>(c == kDel ? '?' : c + '@');
  } else {
    out.append(text, start, length);
  }
}

// Characters of a line: a byte and its UTF-8 continuation bytes form one.
struct Unit {
  size_t start, length;
  int width;
};

std::vector<Unit> Units(const std::string& text) {
  std::vector<Unit> units;
  for (size_t i = 0; i < text.size();) {
    size_t j = i + 1;
    while (j < text.size() && Continuation(static_cast<uint8_t>(text[j]))) j++;
    units.push_back(Unit{i, j - i, Control(static_cast<uint8_t>(text[i])) ? 2 : 1});
    i = j;
  }
  return units;
}

}  // namespace

MVLineEditor::MVLineEditor(const MVLineHistory& history)
    : entries_(history.lines()), current_(0), cursor_(0), scroll_(0), state_(kPlain),
      params_{0, 0}, paramCount_(0) {
  entries_.push_back(std::string());
  current_ = entries_.size() - 1;
}

MVLineEditor::Result MVLineEditor::Feed(uint8_t c) {
  switch (state_) {
    case kEsc:
      state_ = kPlain;
      if (c == '[' || c == 'O') {
        state_ = c == '[' ? kCsi : kSs3;
        params_[0] = params_[1] = 0;
        paramCount_ = 0;
        return kEditing;
      }
      if (c == 'b' || c == 'B') {
        WordLeft();
        return kEditing;
      }
      if (c == 'f' || c == 'F') {
        WordRight();
        return kEditing;
      }
      return Key(c);  // a lone Escape is dropped; the key after it counts
    case kCsi:
      if (c >= '0' && c <= '9') {
        int& p = params_[paramCount_];
        if (p < kMaxParam) p = p * 10 + (c - '0');
      } else if (c == ';') {
        if (paramCount_ == 0) paramCount_ = 1;
      } else if (c >= 0x40 && c <= 0x7E) {
        state_ = kPlain;
        Escape(c, params_[0], params_[1]);
      } else if (c < 0x20 || c > 0x7E) {
        state_ = kPlain;  // not a sequence after all
        return Key(c);
      }
      return kEditing;
    case kSs3:
      state_ = kPlain;
      Escape(c, 0, 0);
      return kEditing;
    case kPlain:
      break;
  }
  if (c == kEscByte) {
    state_ = kEsc;
    return kEditing;
  }
  return Key(c);
}

MVLineEditor::Result MVLineEditor::Key(uint8_t c) {
  switch (c) {
    case kCR:
    case kLF:
      return kAccept;
    case kCtrlA: cursor_ = 0; break;
    case kCtrlE: cursor_ = text().size(); break;
    case kCtrlB: MoveLeft(); break;
    case kCtrlF: MoveRight(); break;
    case kCtrlH:
    case kDel: DeleteBack(); break;
    case kCtrlD:
      if (text().empty()) return kEnd;
      DeleteAt();
      break;
    case kCtrlK: text().erase(cursor_); break;
    case kCtrlU:
      text().erase(0, cursor_);
      cursor_ = 0;
      break;
    case kCtrlW: {
      size_t end = cursor_;
      WordLeft();
      text().erase(cursor_, end - cursor_);
      break;
    }
    case kCtrlP: Recall(-1); break;
    case kCtrlN: Recall(1); break;
    case kCtrlZ: return kSuspend;
    case kTab: Insert(c); break;  // a tab is an ordinary character of a command line
    default:
      if (!Control(c)) Insert(c);  // other control keys do nothing
      break;
  }
  return kEditing;
}

void MVLineEditor::Escape(uint8_t final, int param, int modifier) {
  bool word = modifier == 3 || modifier == 5;  // Alt or Ctrl held
  switch (final) {
    case 'A': Recall(-1); break;
    case 'B': Recall(1); break;
    case 'C': word ? WordRight() : MoveRight(); break;
    case 'D': word ? WordLeft() : MoveLeft(); break;
    case 'H': cursor_ = 0; break;
    case 'F': cursor_ = text().size(); break;
    case '~':
      if (param == 1 || param == 7) cursor_ = 0;
      if (param == 4 || param == 8) cursor_ = text().size();
      if (param == 3) DeleteAt();
      break;
    default: break;  // other keys (function keys, Insert, Page Up ...) do nothing
  }
}

void MVLineEditor::Insert(uint8_t c) {
  text().insert(cursor_, 1, static_cast<char>(c));
  cursor_++;
}

void MVLineEditor::MoveLeft() {
  const std::string& t = text();
  while (cursor_ > 0) {
    cursor_--;
    if (!Continuation(static_cast<uint8_t>(t[cursor_]))) break;
  }
}

void MVLineEditor::MoveRight() {
  const std::string& t = text();
  if (cursor_ < t.size()) cursor_++;
  while (cursor_ < t.size() && Continuation(static_cast<uint8_t>(t[cursor_]))) cursor_++;
}

// Words are separated by blanks, as the parameters of a command are.
void MVLineEditor::WordLeft() {
  const std::string& t = text();
  while (cursor_ > 0 && t[cursor_ - 1] == ' ') cursor_--;
  while (cursor_ > 0 && t[cursor_ - 1] != ' ') cursor_--;
}

void MVLineEditor::WordRight() {
  const std::string& t = text();
  while (cursor_ < t.size() && t[cursor_] == ' ') cursor_++;
  while (cursor_ < t.size() && t[cursor_] != ' ') cursor_++;
}

void MVLineEditor::DeleteBack() {
  size_t end = cursor_;
  MoveLeft();
  text().erase(cursor_, end - cursor_);
}

void MVLineEditor::DeleteAt() {
  size_t start = cursor_;
  MoveRight();
  text().erase(start, cursor_ - start);
  cursor_ = start;
}

void MVLineEditor::Recall(int step) {
  if (step < 0 && current_ == 0) return;
  if (step > 0 && current_ + 1 >= entries_.size()) return;
  current_ = step < 0 ? current_ - 1 : current_ + 1;
  cursor_ = text().size();
  scroll_ = 0;
}

std::string MVLineEditor::Render(int columns) {
  const std::string& t = line();
  std::vector<Unit> units = Units(t);
  // The last column stays free, so that the cursor after the last character never
  // makes the terminal wrap.
  int room = columns > 1 ? columns - 1 : 1;
  int cursorColumn = 0, total = 0;
  for (const Unit& u : units) {
    if (u.start < cursor_) cursorColumn += u.width;
    total += u.width;
  }
  if (total <= room) scroll_ = 0;
  if (cursorColumn < scroll_) scroll_ = cursorColumn;
  if (cursorColumn - scroll_ > room) scroll_ = cursorColumn - room;

  std::string out = "\r";
  int column = 0, shownEnd = 0;
  for (const Unit& u : units) {
    int start = column;
    column += u.width;
    if (start < scroll_) continue;
    if (column - scroll_ > room) break;
    AppendShown(out, t, u.start, u.length);
    shownEnd = column - scroll_;
  }
  out += "\x1b[K";
  int back = shownEnd - (cursorColumn - scroll_);
  char move[24];
  if (back > 0) {
    snprintf(move, sizeof move, "\x1b[%dD", back);
    out += move;
  } else if (back < 0) {
    snprintf(move, sizeof move, "\x1b[%dC", -back);
    out += move;
  }
  return out;
}

std::string MVLineEditor::Shown() const {
  const std::string& t = line();
  std::string out;
  for (const Unit& u : Units(t)) AppendShown(out, t, u.start, u.length);
  return out;
}

// --- The terminal ---------------------------------------------------------------------

namespace {

MVLineHistory& History() {
  static MVLineHistory history;
  return history;
}

// Raw mode for the time one line is read: keys arrive one by one without echo; Ctrl-C
// and Ctrl-\ still raise their signals, which the console acts on. Ctrl-Z arrives as a
// key so that the terminal can be restored before the program stops.
class RawMode {
 public:
  RawMode() : on_(false) { ok_ = tcgetattr(STDIN_FILENO, &saved_) == 0; }
  ~RawMode() { Leave(); }
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;
  bool Enter() {
    if (!ok_) return false;
    struct termios raw = saved_;
    raw.c_iflag &= ~(BRKINT | ICRNL | INLCR | IGNCR | INPCK | ISTRIP | IXON);
    raw.c_lflag &= ~(ECHO | ICANON | IEXTEN);
    raw.c_lflag |= ISIG;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;
    // TCSANOW: lines typed ahead stay in the input.
    on_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    return on_;
  }
  void Leave() {
    if (on_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    on_ = false;
  }

 private:
  struct termios saved_;
  bool ok_, on_;
};

// A terminal that went away shows up at the next read.
void WriteTerminal(const std::string& s) {
  fflush(stdout);
  MVWriteFully(STDOUT_FILENO, s.data(), s.size());
}

int Columns() { return MVTerminalColumns(STDOUT_FILENO); }

// More keys are already waiting (a paste): the line is drawn once they are taken.
bool MoreWaiting() {
  struct pollfd p = {STDIN_FILENO, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

MVEditOutcome ReadLoop(RawMode& raw, std::string* line) {
  MVLineEditor editor(History());
  WriteTerminal(editor.Render(Columns()));
  for (;;) {
    uint8_t c;
    ssize_t n = 0;
    bool ready = MVWaitForInput(STDIN_FILENO);
    if (ready) n = read(STDIN_FILENO, &c, 1);
    if (!ready || (n < 0 && errno == EINTR)) {
      if (RuntimeStopRequested() == kMVGoOn) continue;
      // Ctrl-C shows on the abandoned line, as the terminal itself would show it.
      if (RuntimeStopRequested() == kMVInterrupt) WriteTerminal("\r" + editor.Shown() + "^C");
      return kMVEditSignal;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;  // left non-blocking
    if (n <= 0) return kMVEditEnd;  // the terminal went away
    MVLineEditor::Result r = editor.Feed(c);
    if (r == MVLineEditor::kAccept) {
      WriteTerminal("\r" + editor.Shown() + "\x1b[K\r\n");
      *line = editor.line();
      History().Add(*line);
      return kMVEditLine;
    }
    if (r == MVLineEditor::kEnd) return kMVEditEnd;
    if (r == MVLineEditor::kSuspend) {
      raw.Leave();
      WriteTerminal("\r\n");
      kill(0, SIGTSTP);  // stops the job, as Ctrl-Z does; continues here after fg
      raw.Enter();
    } else if (MoreWaiting()) {
      continue;
    }
    WriteTerminal(editor.Render(Columns()));
  }
}

}  // namespace

bool MVLineEditingWanted() {
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return false;
  const char* term = getenv("TERM");
  return term && *term && strcmp(term, "dumb") != 0;
}

MVEditOutcome MVReadEditedLine(std::string* line) {
  RawMode raw;
  if (!raw.Enter()) return kMVEditUnavailable;
  MVEditOutcome outcome;
  try {
    outcome = ReadLoop(raw, line);
  } catch (...) {  // a line that outgrows the memory
    raw.Leave();
    MVOutOfMemory();
  }
  raw.Leave();
  return outcome;
}

void MVClearLineHistory() { History() = MVLineHistory(); }
