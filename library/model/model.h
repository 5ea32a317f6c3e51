// The process-wide module model: one song, filled by a loader, written by the AM writer and
// emptied by ReleaseModule.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "io/endian.h"

namespace tunepak {

// Result codes of the library's entry points.
enum Result : int {
    ResultOk = 0,
    ResultLoaded = 1,           // a module is already loaded
    ResultPlaying = 2,          // the player is running; nothing was reset
    ResultNotLoaded = 3,        // no module is loaded
    ResultNoMemory = 9,         // a header, instrument or work buffer could not be allocated
    ResultNoPatternMemory = 10, // a pattern buffer could not be allocated
    ResultNoSampleMemory = 11,  // a sample data buffer could not be allocated
    ResultBadFile = 15,         // the data is not of the expected form
    ResultNoStream = 16,        // no stream was given
};

// songFlags bits.
inline constexpr std::uint8_t amigaSlides = 0x01;  // slides work on Amiga periods, else linear
inline constexpr std::uint8_t rowPacked = 0x02;    // patterns are row-packed, else event streams

inline constexpr int maxChannels = 64;

// The classic tracker period range 113.375 to 856, in the player's pitch units (x 16): the
// slide limits of songs in Amiga periods.
inline constexpr std::uint16_t amigaMinPeriod = 1814;
inline constexpr std::uint16_t amigaMaxPeriod = 13696;
// The top of the pitch range (the period table holds it for the notes below 21), and the slide
// limits of songs in linear pitches.
inline constexpr std::uint16_t highestPitch = 0xFF00;
inline constexpr std::uint16_t linearMinPeriod = 453;
inline constexpr std::uint16_t linearMaxPeriod = highestPitch;

struct SongHeader {
    std::array<std::uint8_t, 32> title{};
    std::array<std::uint8_t, 32> auxTitle{};
    std::uint8_t songFlags = 0;
    std::uint8_t channelCount = 0;  // nonzero while a module is loaded
    std::uint8_t initialSpeed = 0;
    std::uint8_t initialTempo = 0;
    std::uint16_t minPeriod = 0;
    std::uint16_t maxPeriod = 0;
    std::uint8_t globalVolume = 0;
    std::array<std::uint8_t, maxChannels> channelPan{};
    std::uint8_t lastOrder = 0;
};

// The bytes of an AM file's MAIN chunk before the channel pans: the song header's fields from
// the title to the global volume.
inline constexpr std::size_t mainFieldBytes = 73;

using OrderList = std::array<std::uint8_t, 256>;

// One pattern block with its length, so that nothing ever walks past its end.
struct PatternSlot {
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
};
using PatternTable = std::array<PatternSlot, 256>;

// Sample flags.
inline constexpr std::uint8_t deltaSource = 0x01;
inline constexpr std::uint8_t unsignedSource = 0x02;
inline constexpr std::uint8_t sixteenBit = 0x04;
inline constexpr std::uint8_t loop = 0x08;
inline constexpr std::uint8_t pingPong = 0x10;
inline constexpr std::uint8_t usePan = 0x20;
inline constexpr std::uint8_t stereoSource = 0x40;
inline constexpr std::uint8_t sampleMark = 0x80;  // set by most loaders, stored and written as is
// flags2 bits.
inline constexpr std::uint8_t fixedLoopBuffer = 0x01;
inline constexpr std::uint8_t converted = 0x80;

// A sample header exactly as it lies in an AM file. The four `data` bytes stay 0: the frames are
// owned through the instrument slot's table of sample buffers, never through a pointer in here.
struct SampleHeader {
    std::array<char, 4> id{};  // "SAMP", or zero for a sample without frames
    Le32 size;                 // 56, or zero for a sample without frames
    std::array<char, 28> name{};
    std::uint8_t pan = 0;
    std::uint8_t volume = 0;
    std::uint8_t flags = 0;
    std::uint8_t flags2 = 0;
    Le32 length;
    Le32 loopStart;
    Le32 loopEnd;
    Le32 c5Rate;
    std::array<std::uint8_t, 4> data{};
    Le32 reserved;
};

struct EnvelopePoint {
    Le16 position;  // ticks x 16
    std::uint8_t value = 0;
};

// An instrument record as it lies in an AM file; its sample headers follow it in the same block.
struct InstrumentRecord {
    std::array<char, 4> id{};  // "INST"
    Le32 size;                 // 225 + 64 x sampleCount
    std::uint8_t reserved = 0;
    std::uint8_t index = 0;
    std::array<char, 28> name{};
    std::uint8_t sampleCount = 0;
    std::array<std::uint8_t, 120> sampleMap{};
    std::uint8_t vibratoType = 0;
    Le16 vibratoSweep;
    LeS16 vibratoDepth;
    LeS16 vibratoRate;
    std::uint8_t envelopeFlags = 0;
    std::uint8_t envelopeLastPoint = 0;
    std::uint8_t envelopeSustain = 0;
    std::uint8_t envelopeLoopStart = 0;
    std::uint8_t envelopeLoopEnd = 0;
    std::array<EnvelopePoint, 10> volumeEnvelope{};
    std::array<EnvelopePoint, 10> panningEnvelope{};
    Le16 fadeOut;
};

static_assert(sizeof(SampleHeader) == 64 && alignof(SampleHeader) == 1);
static_assert(offsetof(SampleHeader, pan) == 36 && offsetof(SampleHeader, length) == 40);
static_assert(offsetof(SampleHeader, c5Rate) == 52 && offsetof(SampleHeader, data) == 56);
static_assert(sizeof(EnvelopePoint) == 3);
static_assert(sizeof(InstrumentRecord) == 233 && alignof(InstrumentRecord) == 1);
static_assert(offsetof(InstrumentRecord, sampleCount) == 38);
static_assert(offsetof(InstrumentRecord, sampleMap) == 39);
static_assert(offsetof(InstrumentRecord, vibratoType) == 159);
static_assert(offsetof(InstrumentRecord, envelopeFlags) == 166);
static_assert(offsetof(InstrumentRecord, volumeEnvelope) == 171);
static_assert(offsetof(InstrumentRecord, panningEnvelope) == 201);
static_assert(offsetof(InstrumentRecord, fadeOut) == 231);
static_assert(std::is_trivially_copyable_v<SampleHeader> &&
              std::is_trivially_copyable_v<InstrumentRecord>);

inline constexpr std::size_t instrumentRecordSize = sizeof(InstrumentRecord);
inline constexpr std::size_t sampleHeaderSize = sizeof(SampleHeader);

// One instrument slot: the block (record plus sample headers) and the sample buffers that the
// block's headers own, one per header.
struct InstrumentSlot {
    std::uint8_t* block = nullptr;
    std::array<std::uint8_t*, 256> sampleData{};
};
using InstrumentTable = std::array<InstrumentSlot, 128>;

// The model.
extern SongHeader song;
extern OrderList orderList;
extern PatternTable patternTable;
extern InstrumentTable instrumentTable;

// The record at the start of an instrument block, and sample header k behind it.
inline InstrumentRecord& RecordOf(std::uint8_t* block) {
    return *reinterpret_cast<InstrumentRecord*>(block);
}
inline SampleHeader& SampleOf(std::uint8_t* block, std::size_t k) {
    return *reinterpret_cast<SampleHeader*>(block + instrumentRecordSize + sampleHeaderSize * k);
}
inline std::size_t InstrumentBlockSize(std::size_t sampleCount) {
    return instrumentRecordSize + sampleHeaderSize * sampleCount;
}
// Whether a block begins with "INST".
bool IsInstrumentBlock(const std::uint8_t* block);

// Allocates a zero-filled instrument block with `sampleCount` headers into slot `slot` (releasing
// whatever the slot held), stamps "INST", its size and index, and returns it; null when the
// allocation fails.
std::uint8_t* NewInstrument(std::size_t slot, std::uint8_t sampleCount);

// Releases every buffer the model owns (patterns, instrument blocks, sample buffers) and nulls
// every slot.
void ReleaseModelBuffers();

// Sample data is bounded by its source. Compressed IT samples decode to up to 16 bytes a byte,
// fixed looped buffers are 64 K frames whatever the data, and instruments each hold their own
// copy of the samples they share (IT instruments whose keyboards name the same samples, S3M
// instruments that point at one sample header, IT samples whose headers name one stored block),
// so without a bound a few kilobytes of module could ask for gigabytes. Every sample byte that
// the model holds, copies included, counts against one bound for the whole load:
// `sampleBytesAnySource` plus `sampleBytesPerSourceByte` for each byte of the source, the stream
// that the current load's KnownStreamEnd watches (without one, or when its length cannot be
// told, there is no bound). Real modules hold at most about 16 bytes of samples a byte of file.
inline constexpr std::uint64_t sampleBytesAnySource = std::uint64_t{64} << 20;
inline constexpr std::uint64_t sampleBytesPerSourceByte = 32;

// The bound on the sample data of a load from a source of `sourceBytes` bytes.
constexpr std::uint64_t SampleBytesBound(std::uint64_t sourceBytes) {
    constexpr std::uint64_t counted = std::uint64_t{1} << 40;  // keeps the product in range
    return sampleBytesAnySource +
           sampleBytesPerSourceByte * (sourceBytes < counted ? sourceBytes : counted);
}

// Reserves `bytes` of sample data for a block about to be allocated; false, reserving nothing,
// when the model's sample data would then exceed its bound. ReleaseModelBuffers gives all back.
bool ReserveSampleBytes(std::uint64_t bytes);

// While it lives, the bound is that of a source of `bytes` bytes, whatever stream a load reads:
// an image unpacked from a packed file is held to the bound of the packed file's size.
class SampleBoundSource {
public:
    explicit SampleBoundSource(std::uint64_t bytes);
    ~SampleBoundSource();
    SampleBoundSource(const SampleBoundSource&) = delete;
    SampleBoundSource& operator=(const SampleBoundSource&) = delete;
};

// Bytes per sample frame: 2 for 16-bit samples, else 1.
inline std::uint32_t SampleWidth(const SampleHeader& header) {
    return (header.flags & sixteenBit) ? 2 : 1;
}

}  // namespace tunepak
