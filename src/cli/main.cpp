#include "cli/driver.h"

int main(int argc, char** argv) { return clipwalk::run_driver(argc, argv); }
