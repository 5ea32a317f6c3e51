#include "driver.h"
#include "platform.h"

int main(int argc, char** argv) {
    tunepak::platform::GuardOutputFiles();
    tunepak::platform::KeepFreedMemoryForNextFile();
    const tunepak::platform::ProgramArguments arguments(argc, argv);
    return tunepak::RunTunepak(arguments.Count(), arguments.Words());
}
