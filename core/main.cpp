// main of the multi-call executable: the dispatcher's status, given to exit once standard
// output is flushed.
#include "core/applet.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    int status = varitool_main(argc, argv);
    fflush(stdout);
    exit(status);
}
