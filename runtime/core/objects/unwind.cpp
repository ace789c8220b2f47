// Raising and re-raising: the stack trace of saved frame pointers, and the unwinder that
// finds the next inline handler record after a return address and redirects that
// return address to the handler.
#include <string.h>

#include <vector>

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/image_format.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/objects/objects_internal.h"
#include "runtime/core/objects/symbols.h"
#include "runtime/values/array.h"
#include "runtime/values/string.h"

namespace {

const uintptr_t kMaxFrameStep = 4096;
const int kArrayResizeSlot = 4;  // one-dimensional arrays: resize to a new upper bound

// One frame record: what a function's frame pointer points at.
struct FrameRecord {
  FrameRecord* saved;  // the caller's frame pointer
  uintptr_t returnAddress;
};

// Empty the exception's Stack array and fill it with the names of the image functions
// on the frame chain, starting with the caller of `frame`'s function. The array stays
// the same one, so whoever holds it sees the new trace.
void BuildStackTrace(MVException* e, const FrameRecord* frame) {
  std::vector<const char*> names;
  uintptr_t top = MVStackTop();
  for (const FrameRecord* rec = frame;;) {
    const char* name = nullptr;
    uint32_t distance = 0;
    if (MVNameCodeAddress(rec->returnAddress, &name, &distance) && name && *name)
      names.push_back(name);
    const FrameRecord* next = rec->saved;
    if (!(next > rec && reinterpret_cast<uintptr_t>(next) < top)) break;
    rec = next;
  }
  int32_t upper = static_cast<int32_t>(names.size()) - 1;
  MVArray* stack = e->stack;
  if (stack && stack->dimensions == 1) {
    auto resize = reinterpret_cast<void (*)(MVArray*, int32_t)>(stack->ops->slot[kArrayResizeSlot]);
    resize(stack, -1);
    resize(stack, upper);
  } else {
    // No array of its own (an initializer that did not run): one is made.
    MVArray* old = stack;
    stack = CreateArray(1, kMVElemString, upper);
    e->stack = stack;
    RuntimeUnlockArray(old);
  }
  if (stack) {
    MVArraySet1 set = reinterpret_cast<MVArraySet1>(stack->ops->slot[kMVArraySet]);
    for (size_t i = 0; i < names.size(); i++) {
      MVString* s = MVStringFromCString(names[i], kEncodingUTF8);
      set(stack, reinterpret_cast<MVWord>(s), static_cast<int32_t>(i));
      RuntimeUnlockString(s);
    }
  }
}

// Walks outward from its own frame. On a handler it redirects the return address of the
// frame that returns into the protecting function and returns normally; the frames in
// between finish the code after their calls.
__attribute__((noinline)) void Unwind(MVObject* exception) {
  FrameRecord* rec = static_cast<FrameRecord*>(__builtin_frame_address(0));
  uintptr_t top = MVStackTop();
  for (;;) {
    uintptr_t here = reinterpret_cast<uintptr_t>(rec);
    uintptr_t next = reinterpret_cast<uintptr_t>(rec->saved);
    // A chain that does not move outward (next == here included) ends the walk too.
    if (next == 0 || next <= here || next > top || next - here > kMaxFrameStep) {
      RuntimeUnhandledException(exception);
      return;
    }
    if (rec->returnAddress) {
      const uint8_t* record = MVFindHandlerRecord(reinterpret_cast<const uint8_t*>(rec->returnAddress));
      if (record) {
        int16_t local;
        memcpy(&local, record + MV_HANDLER_LOCAL, sizeof local);
        if (local) {
          *reinterpret_cast<MVObject**>(next + local) = exception;
          RuntimeLockObject(exception);
        }
        rec->returnAddress = reinterpret_cast<uintptr_t>(record + MV_HANDLER_SIZE);
        return;
      }
    }
    rec = reinterpret_cast<FrameRecord*>(next);
  }
}

}  // namespace

const uint8_t* MVFindHandlerRecord(const uint8_t* code) {
  uint32_t depth = 0;
  // In the code image the scan never runs past the end of the code block, whatever a
  // function's last bytes look like.
  const bool inImage = MVIsImageCode(reinterpret_cast<uintptr_t>(code));
  for (const uint8_t* p = code;; p++) {
    const uint8_t* markerEnd = p + MV_HANDLER_MARKER + 3;  // the marker's last byte
    if (inImage && !MVIsImageCode(reinterpret_cast<uintptr_t>(markerEnd))) return nullptr;
    if ((p[0] == 0xC9 || p[0] == 0x5D) && p[1] == 0xC3) return nullptr;
    if (p[0] != MV_HANDLER_JUMP && p[0] != MV_HANDLER_SHORT_JUMP) continue;
    uint32_t marker;
    memcpy(&marker, p + MV_HANDLER_MARKER, sizeof marker);
    if (marker == MV_MARKER_HANDLER) {
      if (depth == 0) return p;
    } else if (marker == MV_MARKER_REGION_START) {
      depth++;
    } else if (marker == MV_MARKER_REGION_END) {
      if (depth >= 1) depth--;
    } else {
      p += p[0] == MV_HANDLER_SHORT_JUMP ? 1 : 4;  // the jump's operand
    }
  }
}

extern "C" __attribute__((noinline)) void RuntimeRaiseException(MVObject* exception) {
  if (!exception) return;
  // Only exception objects have a Stack field to fill.
  if (exception->cls && exception->cls->instanceSize >= sizeof(MVException))
    BuildStackTrace(reinterpret_cast<MVException*>(exception),
                    static_cast<const FrameRecord*>(__builtin_frame_address(0)));
  Unwind(exception);
}

extern "C" __attribute__((noinline)) void RuntimeReraiseException(MVObject* exception) {
  if (!exception) return;
  Unwind(exception);
}
