#include "driver.h"

int main(int argc, char** argv) { return tunepak::TunepakMain(argc, argv); }
