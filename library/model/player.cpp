#include "model/player.h"

#include "model/model.h"
#include "model/patterns.h"

namespace tunepak {

PlayerState player;
std::atomic<int> lockCounter = 0;

int ResetPlayer() {
    if (player.playing) return ResultPlaying;
    for (int c = firstChannel; c < maxChannels; ++c) {
        player.channels[static_cast<std::size_t>(c)] = ChannelState{};
        player.channels[static_cast<std::size_t>(c)].instrument = 128;
        player.channels[static_cast<std::size_t>(c)].note = 127;
    }
    song.globalVolume = 128;
    song.initialSpeed = 6;
    song.initialTempo = 125;
    song.minPeriod = amigaMinPeriod;
    song.maxPeriod = amigaMaxPeriod;
    song.lastOrder = 0;
    song.songFlags = 0;
    player.songRepeat = true;
    player.currentOrder = 255;
    player.currentRow = 255;
    player.rowStep = 1;
    player.orderAdvanceMask = 0;
    player.tickCounter = 1;
    player.currentSpeed = 6;
    player.currentTempo = 125;
    return ResultOk;
}

int StopPlayback() {
    if (song.channelCount == 0) return ResultNotLoaded;
    player.playing = false;
    for (int c = 0; c < song.channelCount && firstChannel + c < maxChannels; ++c) {
        player.channels[static_cast<std::size_t>(firstChannel + c)].outputMask = 0;
    }
    return ResultOk;
}

int ReleaseModule() {
    // A load that failed early leaves buffers behind with channelCount still 0: they are freed
    // all the same, and the result still says that no module was loaded.
    const int result = StopPlayback();
    ++lockCounter;
    while (lockCounter.load() > 1) {
        // Another holder is inside the model; in this program there never is one.
    }
    ReleaseModelBuffers();
    --lockCounter;
    song.channelCount = 0;
    PatternEmitter::ResetChannels();
    return result;
}

}  // namespace tunepak
