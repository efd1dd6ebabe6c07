/* The smallest possible child, so that what the benchmark sees is the cost
 * of starting it. As networksetup it can also list as many services as
 * /standin/services says (the helper gives children no environment to carry
 * the number). */
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "-listallnetworkservices") == 0) {
        long count = 0;
        FILE* f = fopen("/standin/services", "r");
        if (f) {
            if (fscanf(f, "%ld", &count) != 1) count = 0;
            fclose(f);
        }
        for (long i = 0; i < count; ++i) printf("Service %ld\n", i);
    }
    return 0;
}
