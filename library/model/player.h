// Moving the model between its states: the player reset before a load, the stop, and the
// release that empties the model.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace tunepak {

// The part of the player's state that reset and release touch.
struct ChannelState {
    std::uint8_t instrument = 0;
    std::uint8_t note = 0;
    std::uint8_t outputMask = 0;
    std::uint8_t volume = 0;
    std::uint8_t pan = 0;
    std::uint8_t command = 0;
    std::uint8_t parameter = 0;
    std::uint16_t pitch = 0;
};

struct PlayerState {
    bool playing = false;
    bool songRepeat = false;
    std::uint8_t currentOrder = 0;
    std::uint8_t currentRow = 0;
    std::uint8_t rowStep = 0;
    std::uint8_t orderAdvanceMask = 0;
    std::uint8_t tickCounter = 0;
    std::uint8_t currentSpeed = 0;
    std::uint8_t currentTempo = 0;
    std::array<ChannelState, 64> channels{};
};

extern PlayerState player;
// The first channel of the song among the player's channels; 0 in this program.
inline constexpr int firstChannel = 0;
// Holders of the model; ReleaseModule waits until it is the only one.
extern std::atomic<int> lockCounter;

int ResetPlayer();
int StopPlayback();
int ReleaseModule();

}  // namespace tunepak
