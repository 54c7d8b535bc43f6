/* Counts the instructions of a load in the execution trace that qemu-arm
 * writes with -singlestep -d nochain,exec (one "Trace" line for each
 * instruction executed):
 *
 *     trace_count SYMBOLS [TRACE] [--profile]
 *
 * SYMBOLS is the program's symbol table as `arm-none-eabi-nm -n` prints it;
 * TRACE the trace (a fifo, or standard input where it is left out). Counts
 * the lines after the first call of bench_start and before the first call of
 * bench_stop, by where their instruction lies: in the port's callbacks
 * (port_code_start to port_code_end), in the harness's own code
 * (harness_code_start to harness_code_end: not counted), or elsewhere, which
 * is the loader and the libc functions that it calls. Prints
 *     loader N
 *     port N
 * and with --profile the count of every function that ran, largest first.
 * Exits 1 where a marker is missing from the symbols or the trace. */
#define _GNU_SOURCE /* F_SETPIPE_SZ */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* The markers and the ends of the code ranges, in the order of mark_names. */
enum { START, STOP, PORT_START, PORT_END, HARNESS_START, HARNESS_END, MARKS };
static const char *const mark_names[MARKS] = {"bench_start",   "bench_stop",         "port_code_start",
                                              "port_code_end", "harness_code_start", "harness_code_end"};

struct symbol {
    uint32_t address;
    char name[64];
    int port; /* one of the port's callbacks */
    unsigned long long count;
};

static struct symbol *symbols;
static size_t symbol_count;

static int by_count(const void *a, const void *b) {
    const struct symbol *x = (const struct symbol *)a, *y = (const struct symbol *)b;
    return x->count < y->count ? 1 : x->count > y->count ? -1 : strcmp(x->name, y->name);
}

/* The function that holds address: the last code symbol at or before it. */
static struct symbol *function_at(uint32_t address) {
    size_t low = 0, high = symbol_count;
    if (symbol_count == 0)
        return NULL;
    while (high - low > 1) {
        const size_t middle = (low + high) / 2;
        if (symbols[middle].address <= address)
            low = middle;
        else
            high = middle;
    }
    return symbols[low].address <= address ? &symbols[low] : NULL;
}

static int read_symbols(const char *path, uint32_t *marks) {
    FILE *file = fopen(path, "r");
    char line[256];
    size_t capacity = 0, i, kept;
    unsigned found = 0;
    if (file == NULL) {
        perror(path);
        return 0;
    }
    while (fgets(line, sizeof line, file) != NULL) {
        unsigned long address;
        char type, name[64];
        if (sscanf(line, "%lx %c %63s", &address, &type, name) != 3)
            continue;
        for (i = 0; i < MARKS; ++i)
            if (strcmp(name, mark_names[i]) == 0) {
                marks[i] = (uint32_t)address;
                found |= 1u << i;
            }
        if (type != 'T' && type != 't')
            continue;
        if (symbol_count == capacity) {
            struct symbol *more = (struct symbol *)realloc(symbols, (capacity + 256) * sizeof *symbols);
            if (more == NULL) {
                fclose(file);
                return 0;
            }
            symbols = more;
            capacity += 256;
        }
        symbols[symbol_count].address = (uint32_t)address;
        snprintf(symbols[symbol_count].name, sizeof symbols[symbol_count].name, "%s", name);
        symbols[symbol_count++].count = 0;
    }
    fclose(file);
    if (found != (1u << MARKS) - 1) {
        fprintf(stderr, "trace_count: %s lacks the markers and the code ranges\n", path);
        return 0;
    }
    /* The ends of the ranges are no functions; the port's callbacks are named
     * as such, apart from the loader's functions of the same names. */
    for (i = 0, kept = 0; i < symbol_count; ++i) {
        struct symbol symbol = symbols[i];
        if (strstr(symbol.name, "_code_start") != NULL || strstr(symbol.name, "_code_end") != NULL)
            continue;
        symbol.port = symbol.address >= marks[PORT_START] && symbol.address < marks[PORT_END];
        symbols[kept++] = symbol;
    }
    symbol_count = kept;
    return 1;
}

/* The guest address of a trace line, "Trace 0: 0x7f.. [00000000/00010234/..."
 * (the second field in the brackets), or 0 where the line is no trace line. */
static uint32_t address_of(const char *line, const char *end) {
    const char *at;
    uint32_t address = 0;
    if (end - line < 8 || memcmp(line, "Trace ", 6) != 0)
        return 0;
    at = memchr(line, '[', (size_t)(end - line));
    if (at == NULL)
        return 0;
    at = memchr(at, '/', (size_t)(end - at));
    if (at == NULL)
        return 0;
    for (++at; at < end; ++at) {
        const char c = *at;
        if (c >= '0' && c <= '9')
            address = address << 4 | (uint32_t)(c - '0');
        else if (c >= 'a' && c <= 'f')
            address = address << 4 | (uint32_t)(c - 'a' + 10);
        else
            break;
    }
    return address;
}

int main(int argc, char **argv) {
    uint32_t marks[MARKS] = {0};
    const char *trace_path = NULL;
    int profile = 0, state = 0, i; /* state: 0 before the start, 1 counting, 2 after the stop */
    unsigned long long loader = 0, port = 0;
    static char buffer[1 << 20];
    const struct timespec pause = {0, 2000000};
    size_t kept = 0;
    int trace;
    for (i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--profile") == 0)
            profile = 1;
        else
            trace_path = argv[i];
    }
    if (argc < 2 || !read_symbols(argv[1], marks))
        return 1;
    trace = trace_path != NULL ? open(trace_path, O_RDONLY) : 0;
    if (trace < 0) {
        perror(trace_path);
        return 1;
    }
    /* qemu writes the trace a line at a time: a larger pipe lets it write on
     * while this sleeps. */
    fcntl(trace, F_SETPIPE_SZ, 1 << 20);
    for (;;) {
        const ssize_t got = read(trace, buffer + kept, sizeof buffer - kept);
        const char *line = buffer, *end = buffer + kept + (got > 0 ? got : 0), *newline;
        if (got <= 0)
            break;
        while ((newline = memchr(line, '\n', (size_t)(end - line))) != NULL) {
            const uint32_t address = address_of(line, newline);
            line = newline + 1;
            if (address == 0 || state == 2)
                continue;
            if (state == 0) {
                state = address == marks[START];
                continue;
            }
            if (address == marks[STOP]) {
                state = 2;
            } else if (address >= marks[PORT_START] && address < marks[PORT_END]) {
                ++port;
            } else if (address < marks[HARNESS_START] || address >= marks[HARNESS_END]) {
                ++loader;
            } else {
                continue;
            }
            if (profile && state == 1) {
                struct symbol *function = function_at(address);
                if (function != NULL)
                    ++function->count;
            }
        }
        kept = (size_t)(end - line);
        memmove(buffer, line, kept);
        /* Waiting a little for the pipe to fill, rather than being woken by
         * each line, halves the time that the trace takes. */
        if (got < (ssize_t)(sizeof buffer / 2))
            nanosleep(&pause, NULL);
    }
    if (state != 2) {
        fprintf(stderr, "trace_count: the trace lacks a call of bench_%s\n", state == 0 ? "start" : "stop");
        return 1;
    }
    printf("loader %llu\nport %llu\n", loader, port);
    if (profile) {
        size_t k;
        qsort(symbols, symbol_count, sizeof *symbols, by_count);
        for (k = 0; k < symbol_count && symbols[k].count > 0; ++k)
            printf("  %-5s%-32s %12llu\n", symbols[k].port ? "port" : "", symbols[k].name, symbols[k].count);
    }
    return 0;
}
