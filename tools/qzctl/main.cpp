#include <cstdio>

#include "Status.h"

int main() {
    std::printf("qzctl\n");
    return 0;
}
