/* The driver of bench/host: the real helper, as root, on the machine it is
 * on, against that machine's own floor. Each pair is measured side by side,
 * A B then B A in turn, and reported as the median of its ratios.
 *
 *   host HELPER TUNNEL      TUNNEL is the shared folder's tunnel program (a
 *                           no-op); the helper must find it there
 *   host bare TUNNEL COUNT  the reference for stop: COUNT bare posix_spawn +
 *                           waitpid of TUNNEL "stop" "utunN", N = 1, 2, ...
 *
 * Only words that leave the network alone: none, "stop" and "start TEXT". */
#include <stdio.h>
#include <string.h>

#include "timing.h"

extern char** environ;

enum { rounds = 5, starts = 1000, stops = 200, writes = 20, text_size = 4096 };

/* What the helper gives every child: the bare spawn pays for the same. */
static char* const daemon_env[] = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", NULL};

static double runs(char* const argv[], int count, long* peak) {
    double start = now();
    for (int i = 0; i < count; ++i) {
        long bytes = 0;
        run(argv, environ, &bytes);
        if (peak && bytes > *peak) *peak = bytes;
    }
    return now() - start;
}

/* What the helper does for each of stop's children, and nothing else. */
static int bare_stops(const char* tunnel, int count) {
    char name[16];
    char* argv[] = {(char*)tunnel, "stop", name, NULL};
    for (int n = 1; n <= count; ++n) {
        snprintf(name, sizeof name, "utun%d", n);
        run(argv, daemon_env, NULL);
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "bare") == 0) return bare_stops(argv[2], atoi(argv[3]));
    if (argc != 3) {
        fprintf(stderr, "usage: host HELPER TUNNEL | host bare TUNNEL COUNT\n");
        return 2;
    }
    char* helper = argv[1];
    char* tunnel = argv[2];
    char* none[] = {helper, NULL};
    char* stop[] = {helper, "stop", NULL};
    /* The reference pays what the helper pays around its children (a
     * program of its own started, and ended), and so is a program of its
     * own too: its ten spawns less its start with none, as for stop. */
    char* bare_ten[] = {argv[0], "bare", tunnel, "10", NULL};
    char* bare_none[] = {argv[0], "bare", tunnel, "0", NULL};
    char* floor_argv[] = {"/usr/bin/true", NULL};
    /* A configuration of 4 KiB, lines of printable text as a client writes. */
    static char text[text_size + 1];
    for (int i = 0; i < text_size; ++i) text[i] = i % 64 == 63 ? '\n' : (char)('a' + i % 26);
    char* start[] = {helper, "start", text, NULL};

    double startup[rounds], child[rounds], write_ms[rounds];
    double t_helper[rounds], t_true[rounds], t_child[rounds], t_bare[rounds];
    long peak_stop = 0, peak_start = 0;
    for (int r = 0; r < rounds; ++r) {
        int swap = r % 2;
        if (swap) t_true[r] = runs(floor_argv, starts, NULL);
        t_helper[r] = runs(none, starts, NULL);
        if (!swap) t_true[r] = runs(floor_argv, starts, NULL);
        startup[r] = t_helper[r] / t_true[r];

        /* stop less a start with no word is what its ten children cost. */
        double t_stop, t_none = 0, t_ten = 0, t_zero = 0;
        if (swap) {
            t_ten = runs(bare_ten, stops, NULL);
            t_zero = runs(bare_none, stops, NULL);
            t_none = runs(none, stops, NULL);
        }
        t_stop = runs(stop, stops, &peak_stop);
        if (!swap) {
            t_none = runs(none, stops, NULL);
            t_zero = runs(bare_none, stops, NULL);
            t_ten = runs(bare_ten, stops, NULL);
        }
        t_child[r] = (t_stop - t_none) / (10.0 * stops);
        t_bare[r] = (t_ten - t_zero) / (10.0 * stops);
        child[r] = t_child[r] / t_bare[r];

        write_ms[r] = runs(start, writes, &peak_start) / writes * 1e3;
    }
    double startup_ratio = median(startup, rounds), child_ratio = median(child, rounds);
    double helper_ms = median(t_helper, rounds) / starts * 1e3,
           true_ms = median(t_true, rounds) / starts * 1e3;
    double child_ms = median(t_child, rounds) * 1e3, bare_ms = median(t_bare, rounds) * 1e3;
    double write = median(write_ms, rounds);
    long peak = peak_stop > peak_start ? peak_stop : peak_start;

    printf("| measure | helper | reference | ratio | target |\n");
    printf("|---|---|---|---|---|\n");
    printf(
        "| start-up, no command word (%d starts, median of %d rounds) "
        "| %.3f ms | /usr/bin/true %.3f ms | %.3f | <= 1.10 |\n",
        starts, rounds, helper_ms, true_ms, startup_ratio);
    printf(
        "| per child: (stop - no word) / 10 (%d stops, median of %d rounds) "
        "| %.3f ms | bare posix_spawn + waitpid %.3f ms (the same way) | %.3f | <= 1.05 |\n",
        stops, rounds, child_ms, bare_ms, child_ratio);
    printf(
        "| start TEXT, %d bytes: the durable write and one child (%d runs, median of %d rounds) "
        "| %.2f ms | | | a figure only |\n",
        text_size, writes, rounds, write);
    printf("| peak resident size, stop | %.2f MiB | | | |\n", mib(peak_stop));
    printf("| peak resident size, start TEXT | %.2f MiB | | | |\n", mib(peak_start));
    printf(
        "figures: start-up %.2f x /usr/bin/true, per child %.2f x a bare spawn, "
        "start TEXT %.1f ms, peak %.1f MiB\n",
        startup_ratio, child_ratio, write, mib(peak));
    return 0;
}
