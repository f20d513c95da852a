#include <cstdio>

#include "driver.h"

int main(int argc, char** argv) { return rle565::runDriver(argc, argv, stdout); }
