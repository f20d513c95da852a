#include <cstdio>

#include "pack.h"
#include "pack_process.h"

int main(int argc, char** argv) {
    rle565::preparePackProcess();
    return rle565::runPack(argc, argv, stdout, stderr);
}
