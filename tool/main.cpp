#include <cstdio>

#include "driver.h"
#include "process.h"

int main(int argc, char** argv) {
    rle565::prepareProcess();
    return rle565::runDriver(argc, argv, stdout);
}
