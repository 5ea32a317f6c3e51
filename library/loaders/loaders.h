// The load entry, and the sample preparation that the format loaders share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "io/stream_reader.h"
#include "loaders/formats.h"
#include "model/model.h"

namespace tunepak {

// Loads one module from `stream` (a FILE* in file mode, a memory block in memory mode); the
// format is recognised by content.
int LoadModule(void* stream, unsigned mode);

// How a sample's frames lie in its source, before PrepareSample brings them to plain signed form.
struct SampleEncoding {
    bool delta = false;           // each value is the difference from the one before
    bool wordDeltas = false;      // 16-bit deltas between whole words, not a stream of byte deltas
    bool unsignedValues = false;  // silence at 0x80 (0x8000) rather than 0
    bool stereo = false;          // left and right frames interleaved

    bool Converts() const { return delta || unsignedValues || stereo; }
};

// The encoding that the flags of a header as an AM file stores it state: the delta, unsigned and
// stereo bits (stereo only while the frames are not split yet), and word deltas by the pan bit
// of 16-bit delta samples (which every XM sample carries).
SampleEncoding StoredEncoding(const SampleHeader& header);

// Where PrepareSample takes a sample's bytes from: the stream as they lie in it, or a decoder that
// serves them from the stream they are coded in (compressed IT data).
class SampleSource {
public:
    // The bytes that can still be read, or nothing when that cannot be told.
    virtual std::optional<std::uint64_t> BytesLeft() = 0;
    // Fills `bytes`, with zeros where the source ends first.
    virtual void Read(std::span<std::uint8_t> bytes) = 0;

protected:
    ~SampleSource() = default;
};

// Reads the frames of one sample into a new buffer in canonical signed form with its run-out
// tail, normalising the header on the way. `data` is the header's buffer slot. Until the frames
// are converted for good, the header's flags state `encoding` as an AM file keeps it; a fixed
// looped buffer is converted again whenever it is read, and keeps stating it.
int PrepareSample(SampleHeader& header, std::uint8_t*& data, SampleSource& source,
                  SampleEncoding encoding);
// The same for frames that lie in `stream` as they are.
int PrepareSample(SampleHeader& header, std::uint8_t*& data, void* stream,
                  SampleEncoding encoding);
// The same for a header as an AM file stores it, whose flags state the encoding.
int PrepareSample(SampleHeader& header, std::uint8_t*& data, void* stream);

// The same for a sample whose frames lie where the stream cannot reach: it keeps no frames and
// is reported as cut.
int PrepareUnreachableSample(SampleHeader& header, std::uint8_t*& data, SampleEncoding encoding);
// The same for frames that lie at `offset` from the reader's origin, or cannot be reached.
int PrepareSampleAt(StreamReader& reader, std::uint64_t offset, SampleHeader& header,
                    std::uint8_t*& data, SampleEncoding encoding);

// The frames of the run-out tail behind a prepared sample's `length` frames, as PrepareSample
// builds it from the header: 31, a fixed looped stereo buffer's second half besides, and a
// ping-pong loop's backward copy.
std::uint64_t RunOutTail(const SampleHeader& header);

}  // namespace tunepak
