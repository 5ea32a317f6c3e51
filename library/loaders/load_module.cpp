#include <array>

#include "io/services.h"
#include "io/stream_reader.h"
#include "loaders/formats.h"
#include "loaders/loaders.h"
#include "model/conversion_record.h"
#include "model/patterns.h"
#include "model/player.h"

namespace tunepak {

int LoadModule(void* stream, unsigned mode) {
    if (stream == nullptr) return ResultNoStream;
    if (song.channelCount != 0) return ResultLoaded;

    // Nothing of an earlier file may reach this one.
    song.title.fill(0);
    song.auxTitle.fill(0);
    song.channelPan.fill(0);
    orderList.fill(0);
    ClearConversionRecord();
    PatternEmitter::ResetChannels();
    ResetPlayer();

    stream = InstallStreams(mode, stream);
    const KnownStreamEnd end(stream);  // the file keeps its length while it is loaded
    std::array<std::uint8_t, probeSize> probe{};
    if (!StreamReader(stream).Peek(probe)) return ResultBadFile;

    const SourceFormat& format = ChooseFormat(probe);
    // The layout without any signature comes last of all.
    if (format.loader == LoadMod && IsSoundtrackerModule(stream)) return LoadSoundtracker(stream);
    return format.loader(stream);
}

}  // namespace tunepak
