// The worker pool: threads of the runtime's own that run routines of the code image in
// parallel, and the environment as the image reads it.
//
// The image's work routines run on these threads only through RuntimeRunWorkers and
// RuntimeStartWorkers, and may call no runtime entry point there (reference counts and the runtime's other state are
// kept by the program's thread alone). The workers block every signal the program
// handles, so that signals always reach the program's thread, and are stopped before the
// end of the program.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The most threads a job runs on (RuntimeRunWorkers: the caller's among them).
enum { kMVMaxWorkerThreads = 16 };

// One item of work: `room` is roomBytes of memory (64-byte aligned) that belongs to the
// thread running the item for as long as the item runs.
typedef void (*MVWorkItem)(void* context, int32_t item, void* room);

// --- Exported entry points.
// Runs work(context, item, room) once for each item 0 .. count - 1, on up to `threads`
// threads (the caller's among them; 0 or less: one per processor the process may use;
// at most kMVMaxWorkerThreads), and returns when every item is done: the number of
// threads that took part, or 0 when no room could be had (then no item ran). With work
// NULL, runs nothing and returns the number of threads `threads` stands for. A job that
// RuntimeStartWorkers posted is waited for first.
int32_t RuntimeRunWorkers(int32_t threads, uint32_t roomBytes, MVWorkItem work, void* context,
                          int32_t count);
// Posts work(context, item, room) for each item 0 .. count - 1 to the pool's own threads
// and returns at once, while they run: on up to `threads` of them (0 or less: one per
// processor; at most kMVMaxWorkerThreads), the caller's thread not among them, so that it
// can read and write meanwhile. Returns the number of threads that take part, or 0 when
// no thread or room could be had (then nothing was posted, and the caller runs the items
// itself). Every posted job is ended by RuntimeWaitWorkers before its context goes; one
// still running when another is posted is waited for first.
int32_t RuntimeStartWorkers(int32_t threads, uint32_t roomBytes, MVWorkItem work, void* context,
                            int32_t count);
// Returns once every item of the job RuntimeStartWorkers posted has run (at once when
// none is posted): the items' writes are then the caller's to read.
void RuntimeWaitWorkers(void);
// The value of environment variable `name` (a NUL-terminated name), its bytes copied to
// out[0 .. room - 1]: returns its length (which may be more than room), or -1 when the
// variable is not set.
int32_t RuntimeEnvironmentValue(const char* name, uint8_t* out, int32_t room);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY).
#ifndef MV_EXPORTS_ONLY
// Waits for a posted job, then stops the workers and frees their rooms (the pool starts
// again when next needed).
void MVStopWorkers(void);
// The number of processors the process may run on (at least 1).
int32_t MVUsableProcessors(void);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
