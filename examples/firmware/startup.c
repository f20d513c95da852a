/* Start-up code for the mps2-an385 board (Cortex-M3) under qemu: the vector
 * table, the reset handler that sets up the data and runs main, the board's
 * output through semihosting, and the two functions the compiler may call.
 * Nothing here allocates; with these, a program needs no C library. */
#include <stddef.h>
#include <stdint.h>

#include "board.h"

int main(void);

/* Laid out by mps2-an385.ld. */
extern uint32_t __data_load[], __data_start[], __data_end[], __bss_start[], __bss_end[];
extern void (*__init_array_start[])(void);
extern void (*__init_array_end[])(void);

/* Semihosting operations, taken by the debugger (here qemu) at bkpt 0xAB. */
enum { SYS_WRITE0 = 0x04, SYS_EXIT = 0x18 };
enum { ADP_STOPPED_APPLICATION_EXIT = 0x20026, ADP_STOPPED_RUN_TIME_ERROR = 0x20023 };

static uintptr_t semihost(uintptr_t op, uintptr_t arg) {
    register uintptr_t r0 __asm__("r0") = op;
    register uintptr_t r1 __asm__("r1") = arg;
    __asm__ volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

void board_print(const char* text) { semihost(SYS_WRITE0, (uintptr_t)text); }

/* qemu ends with status 0 for an application exit and 1 for any other
 * reason, which is all a test needs. */
static void board_exit(int status) {
    semihost(SYS_EXIT, status == 0 ? ADP_STOPPED_APPLICATION_EXIT : ADP_STOPPED_RUN_TIME_ERROR);
    for (;;) {
    }
}

/* The compiler may call memcpy and memset for any copy or fill, in
 * freestanding code too: the runtime's 8-byte stores of unknown alignment
 * become memcpy calls on parts without unaligned stores. These copy a byte
 * at a time, so that they make no unaligned access of their own (newlib's
 * for the M3 do, and this board traps them); the attribute keeps the
 * compiler from turning their loops back into calls of themselves. */
__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memcpy(
    void* restrict to, const void* restrict from, size_t n) {
    unsigned char* d = to;
    const unsigned char* s = from;
    while (n--) *d++ = *s++;
    return to;
}

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memset(void* to, int value,
                                                                           size_t n) {
    unsigned char* d = to;
    while (n--) *d++ = (unsigned char)value;
    return to;
}

/* The System Control Block's configuration and control register. */
#define SCB_CCR (*(volatile uint32_t*)0xE000ED14u)
#define SCB_CCR_UNALIGN_TRP (1u << 3)

/* The memory protection unit: control, region number, base, attributes. */
#define MPU_CTRL (*(volatile uint32_t*)0xE000ED94u)
#define MPU_RNR (*(volatile uint32_t*)0xE000ED98u)
#define MPU_RBAR (*(volatile uint32_t*)0xE000ED9Cu)
#define MPU_RASR (*(volatile uint32_t*)0xE000EDA0u)
#define MPU_CTRL_ENABLE 1u
#define MPU_CTRL_PRIVDEFENA 4u /* the default memory map where no region applies */
#define MPU_RASR_READ_ONLY (6u << 24)
#define MPU_RASR_CACHEABLE (1u << 17)
#define MPU_RASR_SIZE_4M (21u << 1) /* 2^(21 + 1) bytes */
#define MPU_RASR_ENABLE 1u

/* The code memory stands in for flash but is RAM in qemu: one MPU region
 * makes it read-only, so that a store into code or const data (a sprite's
 * bytes) faults as it would in flash. */
static void protect_flash(void) {
    MPU_RNR = 0;
    MPU_RBAR = 0x00000000u;
    MPU_RASR = MPU_RASR_READ_ONLY | MPU_RASR_CACHEABLE | MPU_RASR_SIZE_4M | MPU_RASR_ENABLE;
    MPU_CTRL = MPU_CTRL_ENABLE | MPU_CTRL_PRIVDEFENA;
    __asm__ volatile("dsb\n\tisb" ::: "memory");
}

void board_reset(void) {
    /* Unaligned loads and stores fault, as they always do on a Cortex-M0+:
     * code that runs here runs there. */
    SCB_CCR |= SCB_CCR_UNALIGN_TRP;
    protect_flash();
    const uint32_t* from = __data_load;
    for (uint32_t* to = __data_start; to < __data_end;) *to++ = *from++;
    for (uint32_t* to = __bss_start; to < __bss_end;) *to++ = 0;
    for (void (**init)(void) = __init_array_start; init < __init_array_end; ++init) (*init)();
    board_exit(main());
}

/* A fault ends the run with a line that says so and where, instead of a
 * silent hang that only the test's time limit would end. The exception
 * stacked r0-r3, r12, lr, pc and xpsr on the main stack. */
__attribute__((used)) static void board_fault_report(const uint32_t* frame) {
    board_print_hex("fault at pc", frame[6]);
    board_exit(1);
}

__attribute__((naked)) static void board_fault(void) {
    __asm__ volatile("mrs r0, msp\n\tb board_fault_report");
}

/* The exceptions of a Cortex-M3 from the reset vector on; the initial stack
 * pointer comes first, from the linker script. */
__attribute__((section(".vectors"), used)) static void (*const vectors[15])(void) = {
    board_reset, board_fault, board_fault, board_fault, board_fault, board_fault, 0,           0,
    0,           0,           board_fault, board_fault, 0,           board_fault, board_fault,
};
