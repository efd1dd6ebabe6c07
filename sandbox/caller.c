/* A careless caller: starts a program with signals ignored or blocked,
 * standard streams closed, a file-size limit or a user's real uid, the way a
 * parent process may leave them.
 *
 *   caller [-i SIGNAL]... [-b SIGNAL]... [-c FD]... [-f BYTES] [-r UID] [-p]
 *          PROGRAM [ARGUMENT...]
 *     -i  ignore the signal (SIG_IGN survives exec)
 *     -b  block the signal (the mask survives exec)
 *     -c  close the descriptor
 *     -f  limit the size of files the program writes (RLIMIT_FSIZE)
 *     -r  real uid UID, effective uid 0: what a setuid-root trampoline
 *         started by that user leaves
 *     -p  standard error a pipe that nobody reads (its read end closed) */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

int main(int argc, char** argv) {
    sigset_t block;
    sigemptyset(&block);
    int opt;
    while ((opt = getopt(argc, argv, "+i:b:c:f:r:p")) != -1) {
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
            case 'f': {
                struct rlimit limit = {(rlim_t)atol(optarg), (rlim_t)atol(optarg)};
                if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 126;
                break;
            }
            case 'r':
                if (setreuid((uid_t)atoi(optarg), 0) != 0) return 126;
                break;
            case 'p': {
                int ends[2];
                if (pipe(ends) != 0 || dup2(ends[1], STDERR_FILENO) < 0) return 126;
                close(ends[0]);
                close(ends[1]);
                break;
            }
            default:
                return 2;
        }
    }
    if (optind >= argc) return 2;
    sigprocmask(SIG_BLOCK, &block, NULL);
    execv(argv[optind], argv + optind);
    return 127;
}
