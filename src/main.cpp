#include "dravlet.h"

int main(int argc, char* argv[]) { return run_dravlet(argc, argv); }
