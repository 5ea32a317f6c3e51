#include "loaders/scream_common.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "io/services.h"
#include "model/conversion_record.h"

namespace tunepak::scream {

namespace {

// How a letter's info byte becomes the internal parameter.
enum class Rule : std::uint8_t {
    drop,         // no internal equivalent
    same,         // the info byte as it is
    speed,        // limited to 0x20
    volumeSlide,  // fine slides split off
    slideDown,    // fine and extra-fine slides split off
    slideUp,      // fine and extra-fine slides split off
    retrigger,    // the low nibble only
    tempo,        // values below 0x20 are not tempos
    hexRow,       // the info byte as it is, though the row it names is hexadecimal
    fineVibrato,  // depth quartered
    halvedPan,    // 0..255 halved
    special,      // by the S sub-command table
};

// Which formats let a zero info byte repeat the channel's remembered one.
enum class ZeroInfo : std::uint8_t { no, both, itOnly };

// One letter as each format reads it. The names follow the format's own name in the labels of
// the conversion record; `itName` is IT's where it differs.
struct LetterRow {
    std::uint8_t command;
    Rule s3m;
    Rule it;
    ZeroInfo recall;
    std::string_view name;
    std::string_view itName;
};

using enum Rule;
using enum ZeroInfo;

constexpr std::array<LetterRow, 27> letterRows = {{
    {0, drop, drop, no, "none", {}},
    {EffectSpeedTempo, speed, speed, itOnly, "A (set speed)", {}},
    {EffectPositionJump, same, same, no, "B (jump to order)", {}},
    {EffectPatternBreak, same, hexRow, no, "C (pattern break)", "C (break to row)"},
    {EffectVolSlide, volumeSlide, volumeSlide, both, "D (volume slide)", {}},
    {EffectPortaDown, slideDown, slideDown, both, "E (portamento down)", {}},
    {EffectPortaUp, slideUp, slideUp, both, "F (portamento up)", {}},
    {EffectTonePorta, same, same, no, "G (tone portamento)", {}},
    {EffectVibrato, same, same, no, "H (vibrato)", {}},
    {0, drop, drop, no, "I (tremor)", {}},
    {EffectArpeggio, same, same, no, "J (arpeggio)", {}},
    {EffectVibratoVolSlide, same, same, both, "K (vibrato + vol slide)", {}},
    {EffectTonePortaVolSlide, same, same, both, "L (porta + vol slide)", {}},
    {0, drop, drop, no, "M (channel volume)", {}},
    {0, drop, drop, no, "N (channel volume slide)", {}},
    {EffectSampleOffset, same, same, no, "O (sample offset)", {}},
    {0, drop, drop, no, "P (panning slide)", {}},
    {EffectExtended, retrigger, retrigger, no, "Q (retrigger)", {}},
    {EffectTremolo, same, same, no, "R (tremolo)", {}},
    {EffectExtended, special, special, no, "S (special)", {}},
    {EffectSpeedTempo, tempo, tempo, no, "T (tempo)", {}},
    {EffectVibrato, fineVibrato, drop, no, "U (fine vibrato)", {}},
    {0, drop, drop, no, "V (global volume)", {}},
    {0, drop, drop, no, "W (global volume slide)", {}},
    {EffectSetPan, same, halvedPan, no, "X (set panning)", {}},
    {0, drop, drop, no, "Y (panbrello)", {}},
    {0, drop, drop, no, "Z (MIDI macro)", "Z (macro)"},
}};

// How an S sub-command becomes an extended command.
enum class Special : std::uint8_t {
    dropped,   // no internal equivalent
    kept,      // the info byte as an extended command with the same sub-command
    value,     // the given sub-command with the low nibble
    inert,     // the given sub-command, which does nothing: a non-zero low nibble is lost
    waveform,  // as value; the random waveform 3 becomes a sine
    surround,  // a set-pan to the alternative stereo treatment
};

struct SpecialRow {
    Special rule;
    std::uint8_t subCommand;
    std::string_view name;
    std::string_view itName;
};

using enum Special;

constexpr std::array<SpecialRow, 16> specialRows = {{
    {kept, 0, "S0 (filter)", {}},                          // no action
    {inert, 3, "S1 (glissando)", {}},                      // accepted, no action
    {dropped, 0, "S2 (set finetune)", "S2 (finetune)"},
    {waveform, ExtVibratoWave, "S3 (vibrato waveform)", {}},
    {waveform, ExtTremoloWave, "S4 (tremolo waveform)", {}},
    {dropped, 0, "S5 (panbrello waveform)", {}},
    {dropped, 0, "S6 (fine pattern delay)", {}},
    {dropped, 0, "S7 (instrument controls)", {}},
    {kept, ExtSetPan16, "S8 (set pan)", {}},
    {surround, 0, "S9 (sound control)", {}},
    {dropped, 0, "SA (high sample offset)", {}},
    {value, ExtPatternLoop, "SB (pattern loop)", {}},
    {kept, ExtNoteCut, "SC (note cut)", {}},
    {kept, ExtNoteDelay, "SD (note delay)", {}},
    {kept, ExtPatternDelay, "SE (pattern delay)", {}},
    {kept, 15, "SF (funk repeat)", "SF (macro)"},          // no action
}};

// The losses noted besides a dropped letter or sub-command.
enum Note : std::size_t {
    speedLimited,
    slideRounded,
    retriggerVolumeLost,
    tempoSlide,
    tempo32,
    hexBreakRow,
    randomWaveform,
    fineVibratoRounded,
    beyondZ,
    noteCount,
};
constexpr std::array<std::string_view, noteCount> noteTexts = {{
    "A (speeds above 32, limited)",
    "E/F extra-fine slides, rounded to fine ones",
    "Q (retrigger, its volume change lost)",
    "T below 20h (tempo slide)",
    "T20 (tempo 32), kept as speed 32",
    "C10 and above (hex row), kept as decimal",
    "S33/S43 (random waveform), kept as sine",
    "U (fine vibrato depth, rounded)",
    "effects beyond Z",
}};

// The record keeps a label's address, so each format's labels are built once, at compile time.
using Label = std::array<char, 48>;

constexpr Label Join(std::string_view format, std::string_view text) {
    if (format.size() + 1 + text.size() >= Label{}.size()) throw "label too long";
    Label label{};
    std::copy(format.begin(), format.end(), label.begin());
    label[format.size()] = ' ';
    std::copy(text.begin(), text.end(), label.begin() + format.size() + 1);
    return label;
}

struct Labels {
    std::array<Label, letterRows.size()> letters;
    std::array<Label, specialRows.size()> specials;
    std::array<Label, noteCount> notes;
};

constexpr Labels MakeLabels(LetterFormat format) {
    const bool it = format == LetterFormat::it;
    const std::string_view prefix = it ? "IT" : "S3M";
    const auto name = [it](std::string_view own, std::string_view itName) {
        return it && !itName.empty() ? itName : own;
    };
    Labels labels{};
    for (std::size_t i = 0; i < letterRows.size(); ++i) {
        labels.letters[i] = Join(prefix, name(letterRows[i].name, letterRows[i].itName));
    }
    for (std::size_t i = 0; i < specialRows.size(); ++i) {
        labels.specials[i] = Join(prefix, name(specialRows[i].name, specialRows[i].itName));
    }
    for (std::size_t i = 0; i < noteCount; ++i) labels.notes[i] = Join(prefix, noteTexts[i]);
    return labels;
}

constexpr std::array<Labels, 2> formatLabels = {
    MakeLabels(LetterFormat::s3m),
    MakeLabels(LetterFormat::it),
};

constexpr std::uint8_t surroundPan = 0xA4;
constexpr std::uint8_t speedLimit = 0x20;
constexpr std::uint8_t lowestTempo = 0x20;

Effect TranslateSpecial(const Labels& labels, std::uint8_t info) {
    const std::size_t subCommand = info >> 4;
    const SpecialRow& row = specialRows[subCommand];
    switch (row.rule) {
        case dropped: NoteDroppedEffect(labels.specials[subCommand].data()); return {};
        case kept: return {EffectExtended, info};
        case value: return Extended(row.subCommand, info);
        case inert:
            if ((info & 0x0F) != 0) NoteDroppedEffect(labels.specials[subCommand].data());
            return Extended(row.subCommand, info);
        case waveform:
            if ((info & 3) == 3) NoteChangedParameter(labels.notes[randomWaveform].data());
            return Extended(row.subCommand, info);
        case surround: return {EffectSetPan, surroundPan};
    }
    return {};
}

}  // namespace

bool PackedRows::Next(PackedCell& cell) {
    if (position_ >= data_.size()) return false;
    const std::uint8_t flag = data_[position_];
    if (flag == 0) {
        ++position_;
        return false;
    }
    std::size_t length = 1;
    for (int part = 0; part < 3; ++part) {
        if (flag & (0x20 << part)) length += widths_[static_cast<std::size_t>(part)];
    }
    if (length > data_.size() - position_) {
        position_ = data_.size();  // an incomplete cell: nothing more of this pattern is read
        return false;
    }
    cell = {};
    cell.flag = flag;
    std::size_t at = position_ + 1;
    for (int part = 0; part < 3; ++part) {
        if (!(flag & (0x20 << part))) continue;
        auto& bytes = cell.parts[static_cast<std::size_t>(part)];
        const std::uint8_t width = widths_[static_cast<std::size_t>(part)];
        std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(at), width, bytes.begin());
        at += width;
    }
    position_ = at;
    return true;
}

Effect VolumeSlide(std::uint8_t parameter) {
    const int x = parameter >> 4;
    const int y = parameter & 0x0F;
    if (y == 0x0F && x != 0) return Extended(ExtFineVolUp, x);
    if (parameter >= 0xF1 && parameter <= 0xFE) return Extended(ExtFineVolDown, y);
    return {EffectVolSlide, y != 0 ? static_cast<std::uint8_t>(y) : parameter};
}

Effect PitchSlide(std::uint8_t parameter, EffectCommand coarse, ExtendedCommand fine,
                  const char* rounded) {
    const int y = parameter & 0x0F;
    if (parameter >= 0xF0) return Extended(fine, y);
    if (parameter >= 0xE0) {
        if ((y & 3) != 0) NoteChangedParameter(rounded);
        return Extended(fine, (y + 2) >> 2);
    }
    return {coarse, parameter};
}

bool RecallsInfo(LetterFormat format, std::uint8_t letter) {
    if (letter >= letterRows.size()) return false;
    const ZeroInfo recall = letterRows[letter].recall;
    return recall == both || (recall == itOnly && format == LetterFormat::it);
}

Effect TranslateLetter(LetterFormat format, std::uint8_t letter, std::uint8_t info,
                       std::uint8_t& memory) {
    const Labels& labels = formatLabels[static_cast<std::size_t>(format)];
    const auto note = [&labels](Note which) { return labels.notes[which].data(); };
    if (letter >= letterRows.size()) {
        NoteDroppedEffect(note(beyondZ));
        return {};
    }
    const LetterRow& row = letterRows[letter];
    if (RecallsInfo(format, letter)) info = Recall(memory, info);
    switch (format == LetterFormat::it ? row.it : row.s3m) {
        case drop:
            if (letter != 0) NoteDroppedEffect(labels.letters[letter].data());
            return {};
        case same: return {row.command, info};
        case speed:
            if (info > speedLimit) NoteChangedParameter(note(speedLimited));
            return {row.command, std::min(info, speedLimit)};
        case volumeSlide: return VolumeSlide(info);
        case slideDown:
            return PitchSlide(info, EffectPortaDown, ExtFinePortaDown, note(slideRounded));
        case slideUp: return PitchSlide(info, EffectPortaUp, ExtFinePortaUp, note(slideRounded));
        case retrigger:
            if ((info >> 4) != 0) NoteChangedParameter(note(retriggerVolumeLost));
            return Extended(ExtRetrigger, info);
        case tempo:
            if (info < lowestTempo) NoteDroppedEffect(note(tempoSlide));
            if (info == lowestTempo) NoteChangedParameter(note(tempo32));
            return info < lowestTempo ? Effect{} : Effect{row.command, info};
        case hexRow:
            // Rows 0 to 15 read alike as hexadecimal and as two decimal digits.
            if (info >= 0x10) NoteChangedParameter(note(hexBreakRow));
            return {row.command, info};
        case fineVibrato:
            if ((info & 3) != 0) NoteChangedParameter(note(fineVibratoRounded));
            return {row.command,
                    static_cast<std::uint8_t>((info & 0xF0) + (((info & 0x0F) + 2) >> 2))};
        case halvedPan: return {row.command, static_cast<std::uint8_t>(info >> 1)};
        case special: return TranslateSpecial(labels, info);
    }
    return {};
}

}  // namespace tunepak::scream
