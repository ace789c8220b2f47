#include "runtime/core/objects/shutdown.h"

namespace {
MVShutdownParticipant* g_head = nullptr;
}

MVShutdownParticipant::MVShutdownParticipant() : next_(g_head) { g_head = this; }

MVShutdownParticipant::~MVShutdownParticipant() {
  for (MVShutdownParticipant** p = &g_head; *p; p = &(*p)->next_) {
    if (*p == this) {
      *p = next_;
      break;
    }
  }
}

void MVRunShutdownList() {
  while (g_head) delete g_head;
}
