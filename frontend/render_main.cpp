// tunepak-render: plays a module into a WAVE file or raw PCM.

#include "platform.h"
#include "render.h"

int main(int argc, char** argv) {
    tunepak::platform::GuardOutputFiles();
    const tunepak::platform::ProgramArguments arguments(argc, argv);
    return tunepak::RunTunepakRender(arguments.Count(), arguments.Words());
}
