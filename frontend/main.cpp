#include "driver.h"

int main(int argc, char** argv) {
    tunepak::KeepFreedMemoryForNextFile();
    return tunepak::RunTunepak(argc - 1, argv + 1);
}
