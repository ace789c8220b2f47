// The progress line of long commands on a terminal's standard error.
#include "runtime/console/progress.h"
#include "runtime/console/console_internal.h"

#include <stdio.h>
#include <time.h>
#include <unistd.h>

namespace {

// Short jobs stay silent; a shown line is refreshed at most ten times a second.
const double kFirstShown = 0.5;
const double kRefresh = 0.1;

struct Progress {
  bool active = false;
  int64_t total = 0;
  int32_t unit = kMVProgressBytes;
  double start = 0, last = 0;
  size_t shown = 0;  // columns of the line on the terminal, 0 when none
} g;

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

void WriteErr(const std::string& s) { MVWriteFully(STDERR_FILENO, s.data(), s.size()); }

int Columns() { return MVTerminalColumns(STDERR_FILENO); }

std::string Size(int64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  char text[32];
  if (bytes < 1024) {
    snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
    return text;
  }
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    u++;
  }
  snprintf(text, sizeof text, "%.1f %s", v, kUnits[u]);
  return text;
}

std::string Duration(double seconds) {
  char text[32];
  long long s = static_cast<long long>(seconds + 0.5);
  if (s >= 3600)
    snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  return text;
}

}  // namespace

std::string MVProgressText(int64_t done, int64_t total, int32_t unit, double seconds, int columns) {
  if (done < 0) done = 0;
  if (done > total) done = total;
  int percent = total > 0 ? static_cast<int>(done * 100.0 / total) : 100;
  double rate = seconds > 0 ? done / seconds : 0;
  std::string text;
  char number[64];
  if (unit == kMVProgressBytes) {
    text = Size(done) + " of " + Size(total);
  } else {
    snprintf(number, sizeof number, "%lld of %lld key files", static_cast<long long>(done),
             static_cast<long long>(total));
    text = number;
  }
  snprintf(number, sizeof number, "  %3d%%  ", percent);
  text += number;
  if (unit == kMVProgressBytes) {
    text += Size(static_cast<int64_t>(rate)) + "/s";
  } else {
    snprintf(number, sizeof number, "%.0f files/s", rate);
    text += number;
  }
  text += "  ";
  text += rate > 0 ? Duration((total - done) / rate) : std::string("--:--");
  text += " left";
  // The last column stays free: a full line would make the terminal wrap.
  size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : 0;
  if (text.size() > room) text.resize(room);
  return text;
}

extern "C" void RuntimeProgressBegin(int64_t total, int32_t unit) {
  RuntimeProgressEnd();
  g.active = total > 0 && isatty(STDERR_FILENO);
  if (!g.active) return;
  g.total = total;
  g.unit = unit;
  g.start = Now();
  g.last = g.start;
}

extern "C" void RuntimeProgressStep(int64_t done) {
  if (!g.active) return;
  double now = Now();
  if (now - g.start < kFirstShown || (g.shown && now - g.last < kRefresh)) return;
  g.last = now;
  std::string text = MVProgressText(done, g.total, g.unit, now - g.start, Columns());
  std::string line = "\r" + text;
  if (text.size() < g.shown) line.append(g.shown - text.size(), ' ');
  g.shown = text.size() > g.shown ? text.size() : g.shown;
  WriteErr(line);
}

extern "C" void RuntimeProgressEnd(void) {
  MVProgressErase();
  g.active = false;
}

extern "C" void MVProgressErase(void) {
  if (!g.shown) return;
  WriteErr("\r" + std::string(g.shown, ' ') + "\r");
  g.shown = 0;
}
