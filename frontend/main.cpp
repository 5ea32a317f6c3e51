#include "driver.h"
#include "platform.h"

int main(int argc, char** argv) {
    tunepak::platform::GuardOutputFiles();
    tunepak::platform::KeepFreedMemoryForNextFile();
    return tunepak::RunTunepak(argc - 1, argv + 1);
}
