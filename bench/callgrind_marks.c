/* Marks for bench/workloads.py --instructions: callgrind counts only between
 * marks_start() and marks_stop(label), and writes that stretch out under the
 * label. Built by the benchmark when it runs; outside valgrind both do nothing. */
#include <valgrind/callgrind.h>

void marks_start(void) {
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
}

void marks_stop(const char* label) {
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT(label);
}
