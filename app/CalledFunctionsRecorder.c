/* Records which functions of the app run, for a build made with -finstrument-functions-after-inlining:
 * each function's entry address is kept once, and on SIGTERM the list (offsets into the executable) is
 * written to the file $BRISKO_CALLED_FUNCTIONS_FILE names. bench/record-symbol-order.sh turns it into
 * the order in which the linker lays out the app's code. Never part of a shipped build. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define NO_INSTRUMENT __attribute__((no_instrument_function))
#define SLOT_COUNT (1u << 20) /* well above the number of functions in the app */

static uintptr_t calledFunctions[SLOT_COUNT];
static uintptr_t executableBase;

NO_INSTRUMENT void __cyg_profile_func_enter(void* function, void* callSite) {
    (void)callSite;
    const uintptr_t address = (uintptr_t)function;
    uint32_t slot = (uint32_t)((address * 0x9E3779B97F4A7C15ull) >> 40) & (SLOT_COUNT - 1);
    for (uint32_t probes = 0; probes < SLOT_COUNT; ++probes, slot = (slot + 1) & (SLOT_COUNT - 1)) {
        uintptr_t seen = __atomic_load_n(&calledFunctions[slot], __ATOMIC_RELAXED);
        if (seen == 0 && __atomic_compare_exchange_n(&calledFunctions[slot], &seen, address, 0, __ATOMIC_RELAXED,
                                                     __ATOMIC_RELAXED)) {
            return;
        }
        if (seen == address) return;
    }
}

NO_INSTRUMENT void __cyg_profile_func_exit(void* function, void* callSite) {
    (void)function;
    (void)callSite;
}

/* Writes one hexadecimal offset a line with write(2) only: this runs in a signal handler. */
NO_INSTRUMENT static void writeCalledFunctions(int fd) {
    char line[2 + 2 * sizeof(uintptr_t) + 1];
    for (uint32_t slot = 0; slot < SLOT_COUNT; ++slot) {
        uintptr_t offset = calledFunctions[slot];
        if (offset == 0) continue;
        offset -= executableBase;
        size_t length = 0;
        char digits[2 * sizeof(uintptr_t)];
        do {
            digits[length++] = "0123456789abcdef"[offset & 0xf];
            offset >>= 4;
        } while (offset != 0);
        size_t at = 0;
        while (length > 0) line[at++] = digits[--length];
        line[at++] = '\n';
        if (write(fd, line, at) != (ssize_t)at) return;
    }
}

static const char* outputPath;

NO_INSTRUMENT static void dumpAndExit(int signal) {
    (void)signal;
    const int fd = open(outputPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        writeCalledFunctions(fd);
        close(fd);
    }
    _exit(0);
}

NO_INSTRUMENT static int firstObject(struct dl_phdr_info* info, size_t size, void* data) {
    (void)size;
    (void)data;
    executableBase = info->dlpi_addr; /* the executable comes first */
    return 1;
}

NO_INSTRUMENT __attribute__((constructor)) static void installRecorder(void) {
    outputPath = getenv("BRISKO_CALLED_FUNCTIONS_FILE");
    if (!outputPath || !*outputPath) return;
    dl_iterate_phdr(firstObject, NULL);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = dumpAndExit;
    sigaction(SIGTERM, &action, NULL);
}
