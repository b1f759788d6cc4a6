// box-fault: commits one fault that the sanitizers report, so that a box test
// can check their reports reach it through the box.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    volatile int index = 16;
    if (strcmp(argv[1], "heap") == 0) {
        char *p = static_cast<char *>(malloc(16));
        memset(p, 1, index + 1); // one byte past the block
        printf("%d\n", p[0]);
        free(p);
        return 0;
    }
    if (strcmp(argv[1], "overflow") == 0) {
        volatile int big = INT_MAX;
        printf("%d\n", big + index); // signed overflow
        return 0;
    }
    return 2;
}
