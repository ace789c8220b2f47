# The code image of the i386 program: what app/CMakeLists.txt compiles and links it with.
# Position-dependent code: every absolute address is a field the loader relocates (the
# import table's code-address, data-address and literal records), every runtime call a
# displacement it links.
set(OMBRIX_IMAGE_TARGET_FLAGS -m32 -fno-pic -fno-pie)
set(OMBRIX_IMAGE_ASM_FLAGS -m32)
set(OMBRIX_IMAGE_LD_EMULATION elf_i386)
