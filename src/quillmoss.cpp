// Entry point of the daemon.
#include "main.h"

int main(int argc, char **argv) { return quillmoss_main(argc, argv); }
