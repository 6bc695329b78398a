// Preloaded into the tests that run over JACK: holds every MIDI output's
// process callback for 3 ms between its port check and its reading of the
// send queue (the buffer clear comes between the two), as a preempted
// process thread on a loaded machine would. A teardown that frees what a
// running cycle still reads then fails on every run instead of rarely.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

typedef void (*clear_fn)(void*);

void jack_midi_clear_buffer(void* port_buffer)
{
    static clear_fn resolved;
    clear_fn real = __atomic_load_n(&resolved, __ATOMIC_ACQUIRE);
    if (!real) {
        real = (clear_fn)dlsym(RTLD_NEXT, "jack_midi_clear_buffer");
        if (!real) {
            fprintf(stderr, "jack_cycle_delay: no jack_midi_clear_buffer to wrap\n");
            abort();
        }
        __atomic_store_n(&resolved, real, __ATOMIC_RELEASE);
    }
    const struct timespec delay = {0, 3 * 1000 * 1000};
    nanosleep(&delay, NULL);
    real(port_buffer);
}
