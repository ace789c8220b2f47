/* Preloaded into ombrix by the benchmark to measure the portable cipher routines on a
 * processor that has the wide vector instructions: the processor identification the
 * program asks for reports no AVX-512. The kernel makes every CPUID instruction of the
 * process fault (ARCH_SET_CPUID); the fault handler executes it with faulting briefly
 * off, clears the AVX-512 feature bits and steps over the instruction. Needs the
 * processor's CPUID faulting (the cpuid_fault flag); without it the shim says so on
 * standard error and changes nothing. */
#define _GNU_SOURCE
#include <cpuid.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <unistd.h>

#ifndef ARCH_SET_CPUID
#define ARCH_SET_CPUID 0x1012
#endif

static int cpuid_faults(int on) { return (int)syscall(SYS_arch_prctl, ARCH_SET_CPUID, on ? 0 : 1); }

static void on_fault(int sig, siginfo_t* info, void* context) {
  ucontext_t* uc = (ucontext_t*)context;
  greg_t* r = uc->uc_mcontext.gregs;
  const uint8_t* ip = (const uint8_t*)r[REG_EIP];
  (void)info;
  if (ip[0] != 0x0F || ip[1] != 0xA2) {
    /* A real fault: the default action on return. */
    signal(sig, SIG_DFL);
    return;
  }
  unsigned leaf = (unsigned)r[REG_EAX], sub = (unsigned)r[REG_ECX], a, b, c, d;
  cpuid_faults(0);
  __cpuid_count(leaf, sub, a, b, c, d);
  cpuid_faults(1);
  if (leaf == 7 && sub == 0) {
    b &= ~(1u << 16 | 1u << 17 | 1u << 21 | 1u << 26 | 1u << 27 | 1u << 28 | 1u << 30 | 1u << 31);
    c &= ~(1u << 1 | 1u << 6 | 1u << 11 | 1u << 12 | 1u << 14);
  }
  r[REG_EAX] = (greg_t)a;
  r[REG_EBX] = (greg_t)b;
  r[REG_ECX] = (greg_t)c;
  r[REG_EDX] = (greg_t)d;
  r[REG_EIP] += 2;
}

__attribute__((constructor)) static void start(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = on_fault;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, NULL);
  if (cpuid_faults(1) != 0) {
    static const char msg[] = "portable_shim: CPUID faulting unavailable\n";
    if (write(2, msg, sizeof msg - 1) < 0) {
    }
  }
}
