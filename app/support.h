// The memory routines of app/support.cpp: the compiler may call them on its own, and the
// application may call them like any other function of its own.
#pragma once
#include <stddef.h>

extern "C" {
void* memcpy(void* dst, const void* src, size_t n);
void* memmove(void* dst, const void* src, size_t n);
void* memset(void* dst, int c, size_t n);
int memcmp(const void* a, const void* b, size_t n);
}
