#include "loaders/formats.h"

#include <algorithm>
#include <cstring>

namespace tunepak {

namespace {

constexpr std::size_t CountSignatures() {
    std::size_t count = 0;
    for (const SourceFormat& format : sourceFormats) {
        for (const Signature& signature : format.signatures) {
            count += signature.bytes.empty() ? 0 : 1;
        }
    }
    return count;
}

struct Probe {
    Signature signature;
    const SourceFormat* format = nullptr;
};

// Every signature with its format, by rank.
constexpr auto probes = [] {
    std::array<Probe, CountSignatures()> all{};
    std::size_t count = 0;
    for (const SourceFormat& format : sourceFormats) {
        for (const Signature& signature : format.signatures) {
            if (!signature.bytes.empty()) all[count++] = {signature, &format};
        }
    }
    std::sort(all.begin(), all.end(), [](const Probe& a, const Probe& b) {
        return a.signature.rank < b.signature.rank;
    });
    return all;
}();

constexpr bool RanksAreOneToCount() {
    for (std::size_t i = 0; i < probes.size(); ++i) {
        if (probes[i].signature.rank != static_cast<int>(i + 1)) return false;
    }
    return true;
}
static_assert(RanksAreOneToCount(), "each signature has its own rank, 1 up to their count");
static_assert(std::all_of(probes.begin(), probes.end(), [](const Probe& probe) {
    return probe.signature.offset + probe.signature.bytes.size() <= probeSize;
}), "a signature lies within the probe");

// The one format without a signature; the table's size when there is none or more than one.
constexpr std::size_t FallbackIndex() {
    std::size_t fallback = sourceFormats.size();
    for (std::size_t i = 0; i < sourceFormats.size(); ++i) {
        if (!sourceFormats[i].signatures[0].bytes.empty()) continue;
        if (fallback != sourceFormats.size()) return sourceFormats.size();
        fallback = i;
    }
    return fallback;
}
static_assert(FallbackIndex() < sourceFormats.size(), "exactly one format has no signature");
constexpr const SourceFormat& fallbackFormat = sourceFormats[FallbackIndex()];

bool Matches(std::span<const std::uint8_t, probeSize> probe, const Signature& signature) {
    return std::memcmp(probe.data() + signature.offset, signature.bytes.data(),
                       signature.bytes.size()) == 0;
}

}  // namespace

const SourceFormat& ChooseFormat(std::span<const std::uint8_t, probeSize> probe) {
    for (const Probe& candidate : probes) {
        if (Matches(probe, candidate.signature)) return *candidate.format;
    }
    return fallbackFormat;
}

Loader ChooseLoader(std::span<const std::uint8_t, probeSize> probe) {
    return ChooseFormat(probe).loader;
}

const SourceFormat* FormatOf(Loader loader) {
    for (const SourceFormat& format : sourceFormats) {
        if (format.loader == loader) return &format;
    }
    return nullptr;
}

const SourceFormat* FindFormat(std::string_view name) {
    for (const SourceFormat& format : sourceFormats) {
        if (format.name == name) return &format;
    }
    return nullptr;
}

std::string FormatList() {
    std::string list;
    for (std::size_t i = 0; i < sourceFormats.size(); ++i) {
        if (i != 0) list += i + 1 == sourceFormats.size() ? " and " : ", ";
        list += sourceFormats[i].name;
    }
    return list;
}

}  // namespace tunepak
