// The console program TAVO_L0.
#include "driver/driver.h"

int main(int argc, char** argv) { return run_main(argc, argv); }
