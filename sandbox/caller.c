/* A careless or hostile caller: starts a program with whatever a user's
 * session can leave to a process across exec, applied in the order given.
 *
 *   caller [option]... PROGRAM [ARGUMENT...]
 *     -i SIGNAL   ignore the signal (SIG_IGN survives exec)
 *     -b SIGNAL   block the signal (the mask survives exec)
 *     -c FD       close the descriptor
 *     -l RES=N    soft limit N, hard limit kept; RES is core, cpu, fsize,
 *                 nofile, data, as, stack, nproc, memlock or rttime
 *     -L RES=N    soft and hard limit N
 *     -g R:E      real gid R, effective gid E
 *     -G G,G...   supplementary groups
 *     -r UID      real uid UID, effective uid 0: what a setuid-root
 *                 trampoline started by that user leaves
 *     -u MASK     umask (octal)
 *     -d DIR      working directory
 *     -t S[:I]    ITIMER_REAL armed to fire after S seconds, then every I
 *     -p          standard error a pipe that nobody reads (its read end
 *                 closed)
 *     -o N        N more descriptors open on /dev/null, inheritable
 *     -n NICE     nice value
 *     -s POLICY   scheduling class idle, batch or fifo (priority 1)
 *     -I idle     the idle I/O class
 *     -P FD:S     FD a non-blocking pipe that a reader, started now, only
 *                 reads after S seconds, copying it to what FD was
 *     -F FD:S     the same pipe, but full from the start (the reader skips
 *                 the filling), and until the reader reads, O_NONBLOCK is
 *                 set on it again every millisecond, as another holder of
 *                 the pipe may
 *     -A FD       FD a pipe whose reader, started now, has O_ASYNC on its
 *                 end, owned by this process: the kernel sends it SIGIO
 *                 at every write to FD */
#define _GNU_SOURCE
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int limit(const char* setting, int hard_too) {
    static const struct {
        const char* name;
        int resource;
    } names[] = {{"core", RLIMIT_CORE},     {"cpu", RLIMIT_CPU},     {"fsize", RLIMIT_FSIZE},
                 {"nofile", RLIMIT_NOFILE}, {"data", RLIMIT_DATA},   {"as", RLIMIT_AS},
                 {"stack", RLIMIT_STACK},   {"nproc", RLIMIT_NPROC}, {"memlock", RLIMIT_MEMLOCK},
                 {"rttime", RLIMIT_RTTIME}};
    const char* value = strchr(setting, '=');
    if (!value) return -1;
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if (strncmp(setting, names[i].name, (size_t)(value - setting)) != 0 || names[i].name[value - setting])
            continue;
        struct rlimit l;
        if (getrlimit(names[i].resource, &l) != 0) return -1;
        l.rlim_cur = (rlim_t)strtoull(value + 1, NULL, 10);
        if (hard_too) l.rlim_max = l.rlim_cur;
        return setrlimit(names[i].resource, &l);
    }
    return -1;
}

static struct timeval seconds(double s) {
    struct timeval t = {(time_t)s, (suseconds_t)((s - (double)(time_t)s) * 1e6)};
    return t;
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* -P and -F: fd becomes the write end of a non-blocking pipe, read late.
 * -A: the write end of a pipe whose read end signals this process. */
static int late_reader(const char* setting, int full, int async) {
    int fd = 0;
    double delay = 0;
    int ends[2];
    if (sscanf(setting, "%d:%lf", &fd, &delay) < 1 || pipe(ends) != 0) return -1;
    if (async && (fcntl(ends[0], F_SETOWN, getpid()) != 0 || fcntl(ends[0], F_SETFL, O_ASYNC) != 0))
        return -1;
    if (!async) fcntl(ends[1], F_SETFL, O_NONBLOCK);
    size_t filling = 0;
    if (full) {
        static char block[4096];
        memset(block, '.', sizeof block);
        for (size_t size = sizeof block; size > 0; size /= 2) {
            ssize_t n;
            while ((n = write(ends[1], block, size)) > 0) filling += (size_t)n;
        }
    }
    const double start = now();
    /* The reader is nobody's child in what runs next: a tracer there that
     * waits for all its children, while holding the pipe, would never let
     * it see the end. */
    const pid_t reader = fork();
    if (reader < 0) return -1;
    if (reader == 0) {
        if (fork() != 0) _exit(0);
        do {
            if (full) fcntl(ends[1], F_SETFL, O_NONBLOCK);
            usleep(1000);
        } while (now() - start < delay);
        close(ends[1]);
        static char buffer[65536];
        ssize_t n;
        while ((n = read(ends[0], buffer, sizeof buffer)) > 0) {
            size_t skip = filling < (size_t)n ? filling : (size_t)n;
            filling -= skip;
            for (ssize_t done = (ssize_t)skip, k; done < n; done += k)
                if ((k = write(fd, buffer + done, (size_t)(n - done))) <= 0) _exit(1);
        }
        _exit(0);
    }
    int status;
    waitpid(reader, &status, 0);
    const int ok = dup2(ends[1], fd) == fd;
    close(ends[0]);
    close(ends[1]);
    return ok ? 0 : -1;
}

int main(int argc, char** argv) {
    sigset_t block;
    sigemptyset(&block);
    int opt;
    while ((opt = getopt(argc, argv, "+i:b:c:l:L:g:G:r:u:d:t:po:n:s:I:P:F:A:")) != -1) {
        switch (opt) {
            case 'i':
                signal(atoi(optarg), SIG_IGN);
                break;
            case 'b':
                sigaddset(&block, atoi(optarg));
                break;
            case 'c':
                close(atoi(optarg));
                break;
            case 'l':
            case 'L':
                if (limit(optarg, opt == 'L') != 0) return 126;
                break;
            case 'g': {
                unsigned r = 0, e = 0;
                if (sscanf(optarg, "%u:%u", &r, &e) != 2 || setregid(r, e) != 0) return 126;
                break;
            }
            case 'G': {
                gid_t groups[32];
                size_t n = 0;
                for (char* g = strtok(optarg, ","); g && n < 32; g = strtok(NULL, ","))
                    groups[n++] = (gid_t)atoi(g);
                if (setgroups(n, groups) != 0) return 126;
                break;
            }
            case 'r':
                if (setreuid((uid_t)atoi(optarg), 0) != 0) return 126;
                break;
            case 'u':
                umask((mode_t)strtol(optarg, NULL, 8));
                break;
            case 'd':
                if (chdir(optarg) != 0) return 126;
                break;
            case 't': {
                const char* interval = strchr(optarg, ':');
                struct itimerval timer = {seconds(interval ? atof(interval + 1) : 0), seconds(atof(optarg))};
                if (setitimer(ITIMER_REAL, &timer, NULL) != 0) return 126;
                break;
            }
            case 'p': {
                int ends[2];
                if (pipe(ends) != 0 || dup2(ends[1], STDERR_FILENO) < 0) return 126;
                close(ends[0]);
                close(ends[1]);
                break;
            }
            case 'o':
                for (int n = atoi(optarg); n > 0; --n)
                    if (open("/dev/null", O_RDONLY) < 0) return 126;
                break;
            case 'n':
                if (setpriority(PRIO_PROCESS, 0, atoi(optarg)) != 0) return 126;
                break;
            case 's': {
                const int fifo = strcmp(optarg, "fifo") == 0;
                const struct sched_param param = {fifo};
                const int policy = fifo ? SCHED_FIFO : strcmp(optarg, "idle") == 0 ? SCHED_IDLE : SCHED_BATCH;
                if (sched_setscheduler(0, policy, &param) != 0) return 126;
                break;
            }
            case 'I':
                /* IOPRIO_WHO_PROCESS, class IOPRIO_CLASS_IDLE at its shift */
                if (strcmp(optarg, "idle") != 0 || syscall(SYS_ioprio_set, 1, 0, 3 << 13) != 0) return 126;
                break;
            case 'P':
            case 'F':
            case 'A':
                if (late_reader(optarg, opt == 'F', opt == 'A') != 0) return 126;
                break;
            default:
                return 2;
        }
    }
    if (optind >= argc) return 2;
    sigprocmask(SIG_BLOCK, &block, NULL);
    execv(argv[optind], argv + optind);
    return 127;
}
