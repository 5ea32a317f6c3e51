// The source formats: what each is called, how its first bytes are recognised and which loader
// reads it. Detection, the programs' help and format names, the fuzz targets and the benchmark
// modules all read this one table, so a new format is one more row here besides its loader.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include <cstdint>
#include <span>

namespace tunepak {

// A format's loader takes the installed stream, positioned at the start of the module, fills the
// model and returns a result code.
using LoaderFunction = int(void* stream);
using Loader = LoaderFunction*;

LoaderFunction LoadMod, LoadS3m, LoadXm, LoadIt, LoadMtm, Load669, LoadStm, LoadFar, LoadUlt,
    LoadPtm, LoadAm;

// The 15-sample Soundtracker layout, which has no signature: the probe, tried after every other
// format, tells it by plausible headers and the file's size (so never in memory mode, where the
// size is unknown) and puts the stream back; the loader reads it as a MOD of 4 channels.
bool IsSoundtrackerModule(void* stream);
LoaderFunction LoadSoundtracker;

// How many of a module's first bytes detection looks at.
inline constexpr std::size_t probeSize = 48;

// Bytes that a module holds at `offset` of its first probeSize bytes. Signatures are tested by
// `rank`, lowest first, whatever their format's place in the table: where two can coincide
// (a file with "MTM" at 0 and "SCRM" at 44), the lower rank decides.
struct Signature {
    int rank = 0;
    std::size_t offset = 0;
    std::string_view bytes;
};

struct SourceFormat {
    std::string_view name;  // as the programs name it; a literal, so also a C string
    Loader loader;
    std::array<Signature, 2> signatures{};  // those without bytes are unused
};

// In the order the programs list them. MOD has no signature: anything that no other format
// claims is tried as MOD.
inline constexpr std::array<SourceFormat, 11> sourceFormats = {{
    {"MOD", LoadMod},
    {"S3M", LoadS3m, {{{5, 44, "SCRM"}}}},
    {"XM", LoadXm, {{{8, 0, "Extended Module: "}}}},
    {"IT", LoadIt, {{{3, 0, "IMPM"}}}},
    {"MTM", LoadMtm, {{{1, 0, "MTM"}}}},
    {"669", Load669, {{{9, 0, "if"}, {10, 0, "JN"}}}},
    {"STM", LoadStm, {{{11, 20, "!Scream!"}, {12, 20, "BMOD2STM"}}}},
    {"FAR", LoadFar, {{{2, 0, std::string_view("FAR\xFE", 4)}}}},
    {"ULT", LoadUlt, {{{7, 0, "MAS_UTrack_V00"}}}},
    {"PTM", LoadPtm, {{{6, 44, "PTMF"}}}},
    {"AM", LoadAm, {{{4, 8, "AMFF"}}}},
}};

// The format that the first probeSize bytes of a module choose, and its loader.
const SourceFormat& ChooseFormat(std::span<const std::uint8_t, probeSize> probe);
Loader ChooseLoader(std::span<const std::uint8_t, probeSize> probe);

// The format read by `loader`, or null for a loader of no format.
const SourceFormat* FormatOf(Loader loader);

// The format called `name`, or null.
const SourceFormat* FindFormat(std::string_view name);

// The formats' names as a list for people: "MOD, S3M, ... and AM".
std::string FormatList();

}  // namespace tunepak
