/* Start-up for the Cortex-M3: the vector table, and a reset handler that sets
 * up memory for C, runs main and reports its status to the debugger (QEMU),
 * which then stops. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* From the linker script. */
extern char data_load[], data_start[], data_end[], bss_start[], bss_end[], stack_top[];

int main(void);
void initialise_monitor_handles(void);

void reset(void) {
    memcpy(data_start, data_load, (size_t)(data_end - data_start));
    memset(bss_start, 0, (size_t)(bss_end - bss_start));
    /* Standard output goes to the debugger over semihosting. */
    initialise_monitor_handles();
    exit(main());
}

/* A fault stops here; the test's time limit ends the run. */
static void halt(void) {
    for (;;) {
    }
}

/* The initial stack pointer, then reset, NMI, HardFault, MemManage,
 * BusFault and UsageFault. */
__attribute__((section(".vectors"), used)) static const uintptr_t vectors[] = {
    (uintptr_t)stack_top, (uintptr_t)reset, (uintptr_t)halt, (uintptr_t)halt,
    (uintptr_t)halt,      (uintptr_t)halt,  (uintptr_t)halt,
};
