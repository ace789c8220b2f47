// Internals of the console frame shared by its source files and its tests.
#pragma once
#include <stdint.h>

// Forget the pending byte and the end-of-input state (a new standard input).
void MVConsoleResetInput();
// The pending byte kept after a lone CR (0: none).
uint8_t MVConsolePendingByte();
