/* Stand-in for every program the helper runs inside the sandbox.
 *
 * Each run appends one line to /standin/log: its whole argument vector,
 * each element in double quotes with every byte outside printable ASCII
 * (and '"' and '\') escaped, so the record is exact and unambiguous; then
 * the descriptors it had open, its signal state, its real and effective uid,
 * what else it inherited at exec (gids, groups, umask, working directory,
 * soft limits, timers, session, nice value, scheduling and I/O classes,
 * non-blocking standard streams) and its whole environment (sorted, quoted
 * alike). What a run does beyond that is told per program name (the last
 * part of argv[0]) by files in /standin (a fixed place: the helper gives its
 * children no environment to name another):
 *   NAME.out    copied to standard output
 *   NAME.bytewise  if present, NAME.out goes out a byte at a time, 10 ms
 *               apart, so that each of the reader's reads gets one byte
 *   NAME.cat    paths, one a line: each file's content, as it is when the
 *               run starts, is copied to standard output after NAME.out
 *   NAME.then   copied to standard output 0.3 s after NAME.out
 *   NAME.err    copied to standard error
 *   NAME.close-out  if present, standard output is closed before the sleep
 *   NAME.sleep  seconds to sleep; then a second line "NAME woke" is logged
 *   NAME.exit   exit status
 *   NAME.signal signal number to end itself with
 *   NAME.flood  "LINES LENGTH": once (the file is removed), write LINES lines
 *               of LENGTH bytes to standard output and as many to standard
 *               error, alternately; line I is "I:" then the letter a+I%26
 *               (A+I%26 on standard error) repeated
 *   NAME.parent-hwm  if present, write the parent's peak resident size in
 *               KiB to /standin/NAME.parent-hwm-kib
 * Compiled and static, because the route sweep starts 65,025 of them. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static const char* const dir = "/standin";
static const char* name = "";

static void put(char** at, const char* s) {
    size_t n = strlen(s);
    memcpy(*at, s, n);
    *at += n;
}

static void quote(char** at, const char* s) {
    static const char hex[] = "0123456789abcdef";
    *(*at)++ = '"';
    for (const unsigned char* p = (const unsigned char*)s; *p; ++p) {
        if (*p == '"' || *p == '\\') {
            *(*at)++ = '\\';
            *(*at)++ = (char)*p;
        } else if (*p < 0x20 || *p >= 0x7f) {
            *(*at)++ = '\\';
            *(*at)++ = 'x';
            *(*at)++ = hex[*p >> 4];
            *(*at)++ = hex[*p & 15];
        } else {
            *(*at)++ = (char)*p;
        }
    }
    *(*at)++ = '"';
}

static void append_log(const char* line, size_t n) {
    char path[600];
    snprintf(path, sizeof path, "%s/log", dir);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!write(fd, line, n); /* one write: records never interleave */
        close(fd);
    }
}

/* Reads /standin/NAME.what into buf; returns its length or -1. */
static long read_control(const char* what, char* buf, size_t size) {
    char path[700];
    snprintf(path, sizeof path, "%s/%s.%s", dir, name, what);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    long total = 0;
    ssize_t n;
    while (size - (size_t)total > 1 && (n = read(fd, buf + total, size - (size_t)total - 1)) > 0) total += n;
    buf[total] = 0;
    close(fd);
    return total;
}

static void copy_file(const char* path, int to, int bytewise) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, bytewise ? 1 : sizeof buf)) > 0) {
        (void)!write(to, buf, (size_t)n);
        if (bytewise) {
            const struct timespec pause = {0, 10000000};
            nanosleep(&pause, NULL);
        }
    }
    close(fd);
}

static void copy_control(const char* what, int to, int bytewise) {
    char path[700];
    snprintf(path, sizeof path, "%s/%s.%s", dir, name, what);
    copy_file(path, to, bytewise);
}

static void copy_named_files(void) {
    char list[4096];
    long n = read_control("cat", list, sizeof list);
    for (char* line = list; n > 0 && *line;) {
        char* end = strchr(line, '\n');
        if (end) *end = 0;
        if (*line) copy_file(line, 1, 0);
        if (!end) break;
        line = end + 1;
    }
}

static void open_fds(char** at) {
    put(at, " #fds=");
    DIR* d = opendir("/proc/self/fd");
    if (!d) {
        put(at, "?");
        return;
    }
    const char* sep = "";
    struct dirent* e;
    while ((e = readdir(d)) != NULL) {
        if (e->d_name[0] == '.' || atoi(e->d_name) == dirfd(d)) continue;
        put(at, sep);
        put(at, e->d_name);
        sep = ",";
    }
    closedir(d);
}

/* "clean" when no signal is blocked, ignored or caught. */
static void signal_state(char** at) {
    put(at, " #sig=");
    char status[8192];
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    ssize_t n = fd < 0 ? -1 : read(fd, status, sizeof status - 1);
    if (fd >= 0) close(fd);
    if (n <= 0) {
        put(at, "?");
        return;
    }
    status[n] = 0;
    static const char* const keys[] = {"SigBlk:\t", "SigIgn:\t", "SigCgt:\t"};
    int clean = 1;
    char details[200] = "";
    for (int i = 0; i < 3; ++i) {
        const char* v = strstr(status, keys[i]);
        if (!v) continue;
        v += strlen(keys[i]);
        unsigned long long bits = strtoull(v, NULL, 16);
        /* glibc's posix_spawn leaves its two private signals (32, 33) ignored
           in every child; they are glibc's own business and a glibc program
           sets them up again, so they don't count. */
        bits &= ~0x180000000ULL;
        if (bits) clean = 0;
        char one[60];
        snprintf(one, sizeof one, "%s%.3s:%llx", i ? "," : "", keys[i] + 3, bits);
        strcat(details, one);
    }
    put(at, clean ? "clean" : details);
}

static void ids(char** at) {
    char text[64];
    snprintf(text, sizeof text, " #ids=%d/%d", (int)getuid(), (int)geteuid());
    put(at, text);
}

/* "inf" when unlimited; "N+" when at least `enough`; with `max`, "max" when
 * as high as the hard limit lets it be (a root without the right to raise
 * hard limits, as in this sandbox, can't make it unlimited). */
static void soft_limit(char** at, const char* name, int resource, rlim_t enough, int max) {
    struct rlimit l;
    char text[64];
    if (getrlimit(resource, &l) != 0)
        snprintf(text, sizeof text, "%s:?", name);
    else if (max && l.rlim_cur == l.rlim_max)
        snprintf(text, sizeof text, "%s:max", name);
    else if (l.rlim_cur == RLIM_INFINITY)
        snprintf(text, sizeof text, "%s:inf", name);
    else if (enough && l.rlim_cur >= enough)
        snprintf(text, sizeof text, "%s:%llu+", name, (unsigned long long)enough);
    else
        snprintf(text, sizeof text, "%s:%llu", name, (unsigned long long)l.rlim_cur);
    put(at, text);
}

/* What else a process carries across exec from whoever started it: gids,
 * groups, umask, working directory, soft limits, interval timers, whether
 * it shares the session and process group of the sandbox's first process
 * (the caller's), its nice value, scheduling and I/O classes, and which
 * standard streams are non-blocking (a flag of the description it shares). */
static void daemon_state(char** at) {
    char text[600];
    gid_t r, e, s;
    if (getresgid(&r, &e, &s) != 0) r = e = s = (gid_t)-1;
    snprintf(text, sizeof text, " #gids=%d/%d/%d #groups=", (int)r, (int)e, (int)s);
    put(at, text);
    gid_t groups[64];
    int n = getgroups(64, groups);
    for (int i = 0; i < n; ++i) {
        snprintf(text, sizeof text, "%s%d", i ? "," : "", (int)groups[i]);
        put(at, text);
    }
    mode_t mask = umask(0);
    umask(mask);
    snprintf(text, sizeof text, " #umask=%03o #cwd=", (unsigned)mask);
    put(at, text);
    quote(at, getcwd(text, sizeof text) ? text : "?");
    put(at, " #rlim=");
    soft_limit(at, "core", RLIMIT_CORE, 0, 0);
    soft_limit(at, ",cpu", RLIMIT_CPU, 0, 0);
    soft_limit(at, ",fsize", RLIMIT_FSIZE, 0, 0);
    soft_limit(at, ",nofile", RLIMIT_NOFILE, 256, 0);
    soft_limit(at, ",stack", RLIMIT_STACK, 8 << 20, 0);
    soft_limit(at, ",nproc", RLIMIT_NPROC, 0, 1);
    soft_limit(at, ",memlock", RLIMIT_MEMLOCK, 0, 1);
    soft_limit(at, ",data", RLIMIT_DATA, 0, 0);
    soft_limit(at, ",as", RLIMIT_AS, 0, 1);
    soft_limit(at, ",rttime", RLIMIT_RTTIME, 0, 0);
    int armed = 0;
    for (int which = ITIMER_REAL; which <= ITIMER_PROF; ++which) {
        struct itimerval t;
        if (getitimer(which, &t) == 0 && (t.it_value.tv_sec || t.it_value.tv_usec)) armed = 1;
    }
    put(at, armed ? " #timer=armed" : " #timer=none");
    put(at, getsid(0) == getsid(1) && getpgrp() == getpgid(1) ? " #session=caller" : " #session=own");
    errno = 0;
    const int niceness = getpriority(PRIO_PROCESS, 0);
    snprintf(text, sizeof text, errno ? " #nice=?" : " #nice=%d", niceness);
    put(at, text);
    static const char* const policies[] = {"other", "fifo", "rr", "batch", "iso", "idle", "deadline"};
    const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    put(at, " #sched=");
    put(at, policy >= 0 && policy < 7 ? policies[policy] : "?");
    static const char* const io_classes[] = {"none", "rt", "be", "idle"};
    const long io = syscall(SYS_ioprio_get, 1 /* IOPRIO_WHO_PROCESS */, 0);
    put(at, " #io=");
    put(at, io >= 0 && io >> 13 < 4 ? io_classes[io >> 13] : "?");
    char nonblocking[8] = "";
    for (int fd = 0; fd <= 2; ++fd) {
        const int flags = fcntl(fd, F_GETFL);
        size_t used = strlen(nonblocking);
        if (flags >= 0 && (flags & O_NONBLOCK))
            snprintf(nonblocking + used, sizeof nonblocking - used, "%s%d", used ? "," : "", fd);
    }
    snprintf(text, sizeof text, *nonblocking ? " #stdio=nonblocking:%s" : " #stdio=blocking%s", nonblocking);
    put(at, text);
}

static int by_text(const void* a, const void* b) { return strcmp(*(char* const*)a, *(char* const*)b); }

extern char** environ;

static size_t environment_size(void) {
    size_t n = 0;
    for (char** e = environ; *e; ++e) n += 4 * strlen(*e) + 3;
    return n;
}

static void environment(char** at) {
    size_t count = 0;
    while (environ[count]) ++count;
    char** sorted = malloc((count + 1) * sizeof *sorted);
    if (!sorted) return;
    memcpy(sorted, environ, count * sizeof *sorted);
    qsort(sorted, count, sizeof *sorted, by_text);
    put(at, " #env=");
    for (size_t i = 0; i < count; ++i) {
        if (i) *(*at)++ = ' ';
        quote(at, sorted[i]);
    }
    free(sorted);
}

static void write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k <= 0) return;
        p += k;
        n -= (size_t)k;
    }
}

static void flood(void) {
    char value[64], path[700];
    if (read_control("flood", value, sizeof value) <= 0) return;
    snprintf(path, sizeof path, "%s/%s.flood", dir, name);
    unlink(path);
    long lines = 0, length = 0;
    sscanf(value, "%ld %ld", &lines, &length);
    char* line = malloc((size_t)length + 1);
    if (!line) return;
    for (long i = 0; i < lines; ++i) {
        for (int stream = 1; stream <= 2; ++stream) {
            int head = snprintf(line, (size_t)length + 1, "%ld:", i);
            memset(line + head, (stream == 1 ? 'a' : 'A') + (int)(i % 26), (size_t)(length - head));
            line[length] = '\n';
            write_all(stream, line, (size_t)length + 1);
        }
    }
    free(line);
}

static void parent_hwm(void) {
    char value[8], path[700], status[8192];
    if (read_control("parent-hwm", value, sizeof value) < 0) return;
    snprintf(path, sizeof path, "/proc/%d/status", (int)getppid());
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd < 0 ? -1 : read(fd, status, sizeof status - 1);
    if (fd >= 0) close(fd);
    if (n <= 0) return;
    status[n] = 0;
    const char* hwm = strstr(status, "VmHWM:");
    snprintf(path, sizeof path, "%s/%s.parent-hwm-kib", dir, name);
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || !hwm) return;
    char out[32];
    int len = snprintf(out, sizeof out, "%ld\n", strtol(hwm + 6, NULL, 10));
    write_all(fd, out, (size_t)len);
    close(fd);
}

int main(int argc, char** argv) {
    const char* slash = strrchr(argv[0], '/');
    name = slash ? slash + 1 : argv[0];

    size_t need = 8192 + environment_size();
    for (int i = 0; i < argc; ++i) need += 4 * strlen(argv[i]) + 3;
    char* line = malloc(need);
    if (!line) return 99;
    char* at = line;
    for (int i = 0; i < argc; ++i) {
        if (i) *at++ = ' ';
        quote(&at, argv[i]);
    }
    open_fds(&at);
    signal_state(&at);
    ids(&at);
    daemon_state(&at);
    environment(&at);
    *at++ = '\n';
    append_log(line, (size_t)(at - line));

    parent_hwm();
    char value[64];
    copy_control("out", 1, read_control("bytewise", value, sizeof value) >= 0);
    copy_named_files();
    if (read_control("then", value, sizeof value) >= 0) {
        const struct timespec pause = {0, 300000000};
        nanosleep(&pause, NULL);
        copy_control("then", 1, 0);
    }
    copy_control("err", 2, 0);
    flood();
    if (read_control("close-out", value, sizeof value) >= 0) close(1);
    if (read_control("sleep", value, sizeof value) > 0) {
        double seconds = atof(value);
        struct timespec ts = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
        while (nanosleep(&ts, &ts) != 0) {
        }
        char woke[600];
        int n = snprintf(woke, sizeof woke, "%s woke\n", name);
        append_log(woke, (size_t)n);
    }
    if (read_control("signal", value, sizeof value) > 0) {
        int sig = atoi(value);
        signal(sig, SIG_DFL);
        raise(sig);
    }
    if (read_control("exit", value, sizeof value) > 0) return atoi(value);
    return 0;
}
