// calibrix: stereo calibration of the two-camera head from circle-board images.
#include <iostream>

#include "calibrix/command_line.h"

int main(int argc, char** argv) { return calibrix::runCalibrix(argc, argv, std::cout, std::cerr); }
