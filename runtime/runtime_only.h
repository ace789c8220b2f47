// Included by every header that only the runtime itself (and its tests and tools) may
// see. The code image and the plug-ins are compiled with MV_EXPORTS_ONLY: they reach the
// runtime through its exported names only, so such a header stops their build here, and
// the public headers leave out their runtime-internal sections for them.
//
// The runtime's layers are its folders; each includes only its own layer and the ones
// below (tests/layers/check_layers.py checks every include):
//   1. base: runtime/values (strings, numbers and random, arrays, dates) and
//      runtime/core/objects (the object model, exceptions and unwinding, the error
//      report, the shutdown list, the signal flags, the image's symbols and format). An
//      exception's stack is an array and a checked array access raises, so the two
//      folders share the layer.
//   2. services: runtime/console and runtime/files, which do not include each other.
//   3. top: runtime/core/process: the process entry and start-up, the loader and its
//      image checks, the plug-in host, the resources, the worker pool, the export table.
// A lower layer reaches an upper one only through a hook that start-up installs
// (MVConnectLayers): the unhandled-exception report of the console, the plug-in host's
// background tasks in the console's idle processing, the end work after a signal.
#ifdef MV_EXPORTS_ONLY
#error "runtime-internal header: the code image and plug-ins use only the exported entry points"
#endif
