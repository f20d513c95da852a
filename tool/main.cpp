#include <cstdio>

#include "driver.h"

int main(int argc, char** argv) {
    rle565::prepareProcess();
    return rle565::runDriver(argc, argv, stdout);
}
