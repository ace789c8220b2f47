// Internals of the console frame shared by its source files and its tests.
#pragma once
#include "runtime/runtime_only.h"
#include <stddef.h>
#include <stdint.h>

#include <string>

// Writes all n bytes to a descriptor, going on after signals; false (errno set) when a
// write fails.
bool MVWriteFully(int fd, const void* bytes, size_t n);
// The width of the terminal at fd (80 when it cannot be asked).
int MVTerminalColumns(int fd);
// Forget the pending byte and the end-of-input state (a new standard input).
void MVConsoleResetInput();
// The pending byte kept after a lone CR (0: none).
uint8_t MVConsolePendingByte();
// The text of the progress line after `seconds` for a terminal of the given width.
std::string MVProgressText(int64_t done, int64_t total, int32_t unit, double seconds, int columns);
