/* Benchmark driver, run inside the sandbox with a no-op stand-in for every
 * program the helper starts (sandbox/run --via). Everything is measured side
 * by side in one process, A B then B A in turn, and reported as ratios, because these
 * machines are shared and absolute times drift.
 *
 *   measure ROUNDS STARTS [bash]   the table
 *   measure bare                   the reference sweep: posix_spawn + waitpid
 *                                  over the helper's 65,025 argument vectors */
#define _GNU_SOURCE
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static const char* helper = "/opt/zarto/ZartoHelper";
static const char* self = "/opt/zarto/via";

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Runs argv to its end; *maxrss_kib gets the peak resident size of it and
 * of its waited-for children, which is the larger of the two. */
static double run(char* const argv[], long* maxrss_kib) {
    double start = now();
    pid_t pid;
    if (posix_spawn(&pid, argv[0], NULL, NULL, argv, environ) != 0) {
        perror(argv[0]);
        exit(1);
    }
    int status;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    double elapsed = now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "measure: %s failed\n", argv[0]);
        exit(1);
    }
    if (maxrss_kib) *maxrss_kib = usage.ru_maxrss;
    return elapsed;
}

static int bare_sweep(void) {
    char gateway[32];
    char* argv[] = {"/sbin/route", "delete", "-net", "0.0.0.0", gateway, "0.0.0.0", NULL};
    for (int x = 1; x <= 255; ++x) {
        for (int y = 1; y <= 255; ++y) {
            snprintf(gateway, sizeof gateway, "10.32.%d.%d", x, y);
            pid_t pid;
            int status;
            if (posix_spawn(&pid, argv[0], NULL, NULL, argv, environ) == 0) waitpid(pid, &status, 0);
        }
    }
    return 0;
}

static double starts(char* const argv[], int count) {
    double start = now();
    for (int i = 0; i < count; ++i) run(argv, NULL);
    return now() - start;
}

static int by_value(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static double median(double* v, int n) {
    qsort(v, (size_t)n, sizeof *v, by_value);
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "bare") == 0) return bare_sweep();
    if (argc < 3) {
        fprintf(stderr, "usage: measure ROUNDS STARTS [bash] | measure bare\n");
        return 2;
    }
    int rounds = atoi(argv[1]), count = atoi(argv[2]);
    int with_bash = argc > 3 && strcmp(argv[3], "bash") == 0;
    double* ratio = calloc((size_t)rounds, sizeof *ratio);
    double* t_helper = calloc((size_t)rounds, sizeof *t_helper);
    double* t_bare = calloc((size_t)rounds, sizeof *t_bare);
    long rss, rss_sweep = 0, rss_one, rss_dns, rss_noop;

    char* sweep[] = {(char*)helper, "clearRoute", NULL};
    char* bare[] = {(char*)self, "bare", NULL};
    /* A B, then B A: whichever runs first in a pair meets a different machine
     * (caches, clock), and the swap keeps that out of the median. */
    for (int r = 0; r < rounds; ++r) {
        if (r % 2) t_bare[r] = run(bare, NULL);
        t_helper[r] = run(sweep, &rss);
        if (rss > rss_sweep) rss_sweep = rss;
        if (r % 2 == 0) t_bare[r] = run(bare, NULL);
        ratio[r] = t_helper[r] / t_bare[r];
    }
    double sweep_ratio = median(ratio, rounds);
    double per_child_helper = median(t_helper, rounds) / 65025 * 1e3;
    double per_child_bare = median(t_bare, rounds) / 65025 * 1e3;
    double t_bash = 0;
    if (with_bash) {
        char* loop[] = {"/bin/bash", "-c",
                        "for x in {1..255}; do for y in {1..255}; do "
                        "/sbin/route delete -net 0.0.0.0 10.32.$x.$y 0.0.0.0; done; done",
                        NULL};
        t_bash = run(loop, NULL);
    }

    char* bare_start[] = {(char*)helper, NULL};
    char* true_start[] = {"/bin/true", NULL};
    for (int r = 0; r < rounds; ++r) {
        if (r % 2) t_bare[r] = starts(true_start, count);
        t_helper[r] = starts(bare_start, count);
        if (r % 2 == 0) t_bare[r] = starts(true_start, count);
        ratio[r] = t_helper[r] / t_bare[r];
    }
    double start_ratio = median(ratio, rounds);
    double start_helper = median(t_helper, rounds) / count * 1e3;
    double start_true = median(t_bare, rounds) / count * 1e3;

    char* ten[] = {(char*)helper, "stop", NULL};
    run(ten, &rss_one);
    char* noop[] = {"/sbin/route", NULL};
    run(noop, &rss_noop);
    FILE* services = fopen("/standin/services", "w");
    if (!services || fputs("10000\n", services) < 0 || fclose(services) != 0) {
        perror("/standin/services");
        return 1;
    }
    char* dns[] = {(char*)helper, "setDNS", NULL};
    double t_dns = run(dns, &rss_dns);

    printf("| measure | helper | reference | ratio | target |\n");
    printf("|---|---|---|---|---|\n");
    printf(
        "| route sweep, 65,025 children (median of %d A/B pairs) | %.3f ms/child | bare C loop %.3f ms/child "
        "| %.3f | <= 1.02 |\n",
        rounds, per_child_helper, per_child_bare, sweep_ratio);
    if (with_bash)
        printf("| same sweep as a bash loop (one run) | | %.3f ms/child | %.2f x bare | for comparison |\n",
               t_bash / 65025 * 1e3, t_bash / 65025 * 1e3 / per_child_bare);
    printf(
        "| start-up, no command word (%d starts, median of %d rounds) | %.3f ms | /bin/true %.3f ms | %.3f | "
        "<= 1.10 |\n",
        count, rounds, start_helper, start_true, start_ratio);
    printf("| peak resident size, sweep | %.2f MiB | | | <= 4 MiB |\n", rss_sweep / 1024.0);
    printf("| peak resident size, stop (10 children) | %.2f MiB | | | the sweep's, or more |\n",
           rss_one / 1024.0);
    printf("| peak resident size, setDNS with 10,000 services (%.1f s) | %.2f MiB | | | |\n", t_dns,
           rss_dns / 1024.0);
    printf("| peak resident size of the no-op child alone | %.2f MiB | | | |\n", rss_noop / 1024.0);
    return 0;
}
