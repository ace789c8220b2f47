# The code image of the x86-64 program: what app/CMakeLists.txt compiles and links it with.
# Position-independent code for one region of code and data: references between the
# image's code and data are RIP-relative (the image builder resolves them at the distance
# the loader keeps), what the image defines is hidden, and the runtime's functions are
# reached through one 8-byte slot per name that the loader fills (no PLT: a call is
# `call *slot(%rip)`, an address load `mov slot(%rip), %reg`). The small code model keeps
# every distance within 32 bits. No straight-line vectorising: it builds structures of
# addresses from constants in the data block (an address there is a pointer the loader
# would have to relocate, which the image does not carry).
set(OMBRIX_IMAGE_TARGET_FLAGS -m64 -mcmodel=small -fpie -fno-plt -fvisibility=hidden
    -fvisibility-inlines-hidden -fno-tree-slp-vectorize)
set(OMBRIX_IMAGE_ASM_FLAGS -m64)
set(OMBRIX_IMAGE_LD_EMULATION elf_x86_64)
