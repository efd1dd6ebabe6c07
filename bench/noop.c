/* The smallest possible child, so that what the benchmark sees is the cost
 * of starting it. As networksetup it can also list $BENCH_SERVICES services. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "-listallnetworkservices") == 0) {
        const char* n = getenv("BENCH_SERVICES");
        for (long i = 0, count = n ? atol(n) : 0; i < count; ++i) printf("Service %ld\n", i);
    }
    return 0;
}
