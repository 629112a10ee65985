#include "cli.h"

int main(int argc, char **argv) { return debug_main(argc, argv); }
