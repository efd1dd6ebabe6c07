/* Benchmark driver, run inside the sandbox with a no-op stand-in for every
 * program the helper starts (sandbox/run --via). Everything is measured side
 * by side in one process, A B then B A in turn, and reported as ratios, because these
 * machines are shared and absolute times drift.
 *
 *   measure ROUNDS STARTS [bash]   the table
 *   measure bare                   the reference sweep: posix_spawn + waitpid
 *                                  over the helper's 65,025 argument vectors */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "timing.h"

extern char** environ;

static const char* helper = "/opt/zarto/ZartoHelper";
static const char* self = "/opt/zarto/via";

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
    for (int i = 0; i < count; ++i) run(argv, environ, NULL);
    return now() - start;
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
        if (r % 2) t_bare[r] = run(bare, environ, NULL);
        t_helper[r] = run(sweep, environ, &rss);
        if (rss > rss_sweep) rss_sweep = rss;
        if (r % 2 == 0) t_bare[r] = run(bare, environ, NULL);
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
        t_bash = run(loop, environ, NULL);
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
    run(ten, environ, &rss_one);
    char* noop[] = {"/sbin/route", NULL};
    run(noop, environ, &rss_noop);
    FILE* services = fopen("/standin/services", "w");
    if (!services || fputs("10000\n", services) < 0 || fclose(services) != 0) {
        perror("/standin/services");
        return 1;
    }
    char* dns[] = {(char*)helper, "setDNS", NULL};
    double t_dns = run(dns, environ, &rss_dns);

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
    printf("| peak resident size, sweep | %.2f MiB | | | <= 4 MiB |\n", mib(rss_sweep));
    printf("| peak resident size, stop (10 children) | %.2f MiB | | | the sweep's, or more |\n",
           mib(rss_one));
    printf("| peak resident size, setDNS with 10,000 services (%.1f s) | %.2f MiB | | | |\n", t_dns,
           mib(rss_dns));
    printf("| peak resident size of the no-op child alone | %.2f MiB | | | |\n", mib(rss_noop));
    return 0;
}
