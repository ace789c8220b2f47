// Shutdown participants: runtime objects with work to do when the process ends. Each
// links itself at the head of one process-wide list when created and unlinks itself in
// its destructor, which does the work.
#pragma once
#include "runtime/runtime_only.h"

class MVShutdownParticipant {
 public:
  MVShutdownParticipant();
  virtual ~MVShutdownParticipant();
  MVShutdownParticipant(const MVShutdownParticipant&) = delete;
  MVShutdownParticipant& operator=(const MVShutdownParticipant&) = delete;

 private:
  MVShutdownParticipant* next_;
  friend void MVRunShutdownList();
};

// Destroy the head of the list until the list is empty.
void MVRunShutdownList();
