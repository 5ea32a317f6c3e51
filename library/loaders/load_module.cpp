#include <array>
#include <cstring>
#include <string_view>

#include "io/services.h"
#include "loaders/loaders.h"
#include "model/conversion_record.h"
#include "model/player.h"

namespace tunepak {

namespace {

struct Signature {
    std::size_t offset;
    std::string_view bytes;
    Loader loader;
};

// Tested in this order; the first match chooses the loader, and anything else is tried as MOD.
constexpr std::array<Signature, 12> signatures = {{
    {0, "MTM", LoadMtm},
    {0, std::string_view("FAR\xFE", 4), LoadFar},
    {0, "IMPM", LoadIt},
    {8, "AMFF", LoadAm},
    {44, "SCRM", LoadS3m},
    {44, "PTMF", LoadPtm},
    {0, "MAS_UTrack_V00", LoadUlt},
    {0, "Extended Module: ", LoadXm},
    {0, "if", Load669},
    {0, "JN", Load669},
    {20, "!Scream!", LoadStm},
    {20, "BMOD2STM", LoadStm},
}};
constexpr Loader fallbackLoader = LoadMod;

bool Matches(std::span<const std::uint8_t, probeSize> probe, const Signature& signature) {
    return std::memcmp(probe.data() + signature.offset, signature.bytes.data(),
                       signature.bytes.size()) == 0;
}

}  // namespace

Loader ChooseLoader(std::span<const std::uint8_t, probeSize> probe) {
    for (const Signature& signature : signatures) {
        if (Matches(probe, signature)) return signature.loader;
    }
    return fallbackLoader;
}

int LoadModule(void* stream, unsigned mode) {
    if (stream == nullptr) return ResultNoStream;
    if (song.channelCount != 0) return ResultLoaded;

    // Nothing of an earlier file may reach this one.
    song.title.fill(0);
    song.auxTitle.fill(0);
    song.channelPan.fill(0);
    orderList.fill(0);
    ClearConversionRecord();
    ResetPlayer();

    stream = InstallStreams(mode, stream);
    const KnownStreamEnd end(stream);  // the file keeps its length while it is loaded
    std::array<std::uint8_t, probeSize> probe{};
    const std::size_t got = ReadBytes(stream, probe);
    services.seek(stream, -static_cast<std::int32_t>(got), 1);

    Loader loader = ChooseLoader(probe);
    // The layout without any signature comes last of all.
    if (loader == fallbackLoader && IsSoundtrackerModule(stream)) loader = LoadSoundtracker;
    return loader(stream);
}

}  // namespace tunepak
