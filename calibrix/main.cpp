// calibrix: stereo calibration tool (command line entry point).
#include <iostream>

int main(int argc, char** argv) {
    (void)argv;
    if (argc < 3) return 1;
    return 0;
}
