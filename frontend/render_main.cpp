// tunepak-render: plays a module into a WAVE file or raw PCM.

#include "render.h"

int main(int argc, char** argv) { return tunepak::RunTunepakRender(argc - 1, argv + 1); }
