// The console program TAVO_L0.
#include "run/run.h"

int main(int argc, char** argv) { return run_main(argc, argv); }
