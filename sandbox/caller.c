/* A careless caller: starts a program with signals ignored or blocked and
 * standard streams closed, the way a parent process may leave them.
 *
 *   caller [-i SIGNAL]... [-b SIGNAL]... [-c FD]... PROGRAM [ARGUMENT...]
 *     -i  ignore the signal (SIG_IGN survives exec)
 *     -b  block the signal (the mask survives exec)
 *     -c  close the descriptor */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
    sigset_t block;
    sigemptyset(&block);
    int opt;
    while ((opt = getopt(argc, argv, "+i:b:c:")) != -1) {
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
            default:
                return 2;
        }
    }
    if (optind >= argc) return 2;
    sigprocmask(SIG_BLOCK, &block, NULL);
    execv(argv[optind], argv + optind);
    return 127;
}
