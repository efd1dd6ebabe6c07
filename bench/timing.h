/* What the benchmark drivers share: a program run to its end and timed,
 * its peak resident size in bytes, and the median of the rounds. Both
 * drivers alternate A and B (A B, then B A) and quote ratios, because the
 * machines they run on are shared and absolute times drift. */
#ifndef ZARTO_BENCH_TIMING_H
#define ZARTO_BENCH_TIMING_H

#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Runs argv with envp to its end, and ends the driver unless it exits 0: a
 * figure of a failed run means nothing. *peak_bytes (if asked) gets wait4's
 * ru_maxrss, the larger of the program's and its waited-for children's,
 * which macOS counts in bytes and Linux in KiB. */
static double run(char* const argv[], char* const envp[], long* peak_bytes) {
    double start = now();
    pid_t pid;
    if (posix_spawn(&pid, argv[0], NULL, NULL, argv, envp) != 0) {
        perror(argv[0]);
        exit(1);
    }
    int status;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bench: %s%s%s failed\n", argv[0], argv[1] ? " " : "", argv[1] ? argv[1] : "");
        exit(1);
    }
    double elapsed = now() - start;
#ifdef __APPLE__
    if (peak_bytes) *peak_bytes = usage.ru_maxrss;
#else
    if (peak_bytes) *peak_bytes = usage.ru_maxrss * 1024L;
#endif
    return elapsed;
}

static int by_value(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static double median(double* v, int n) {
    qsort(v, (size_t)n, sizeof *v, by_value);
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

static double mib(long bytes) { return (double)bytes / (1024.0 * 1024.0); }

#endif
