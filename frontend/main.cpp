#include "driver.h"

int main(int argc, char** argv) { return tunepak::RunTunepak(argc - 1, argv + 1); }
