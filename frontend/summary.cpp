#include "summary.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "model/patterns.h"
#include "io/text_format.h"

namespace tunepak {

namespace {

constexpr const char* noteNames[12] = {"C-", "C#", "D-", "D#", "E-", "F-",
                                       "F#", "G-", "G#", "A-", "A#", "B-"};

// Printable ASCII as it is; any other byte as '.'.
std::string Printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F) c = '.';
    }
    return out;
}

// What the reports call the values of these enumerations, in the order of the values.
constexpr std::array<const char*, 3> loopNames = {"none", "forward", "ping-pong"};
constexpr std::array<const char*, 3> statusNames = {"ok", "damaged", "failed"};
constexpr std::array<const char*, 3> fileKindNames = {"unreadable", "packed", "module"};

template <typename Enum, std::size_t N>
const char* NameOf(Enum value, const std::array<const char*, N>& names) {
    const auto index = static_cast<std::size_t>(value);
    return index < N ? names[index] : "unknown";
}

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) out += separator;
        out += part;
    }
    return out;
}

std::string OrderName(std::uint8_t order) {
    if (order == 254) return "skip";
    if (order == 255) return "end";
    return std::to_string(order);
}

// One grid cell: note, instrument, volume, effect (14 characters).
std::string Cell(const PatternEvent* event) {
    if (event == nullptr) return "... ... .. ...";
    std::string cell = event->hasNote ? NoteName(event->note) : "...";
    cell += event->hasNote && event->instrument != 0 ? Format(" %03u", event->instrument) : " ...";
    cell += event->hasVolume ? Format(" %02u", event->volume) : " ..";
    // The command is taken modulo 16, as it is played.
    cell += event->hasEffect ? Format(" %X%02X", event->command & 0x0Fu, event->parameter) : " ...";
    return cell;
}

// --- Text -------------------------------------------------------------------------------------

// A playing time as m:ss.mmm (h:mm:ss.mmm from an hour on); a song cut at the limit says so.
std::string PlayingTime(std::uint64_t milliseconds) {
    const std::uint64_t seconds = milliseconds / 1000;
    std::string text =
        seconds >= 3600
            ? Format("%llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                     static_cast<unsigned long long>(seconds / 60 % 60),
                     static_cast<unsigned long long>(seconds % 60))
            : Format("%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                     static_cast<unsigned long long>(seconds % 60));
    AppendFormat(text, ".%03llu", static_cast<unsigned long long>(milliseconds % 1000));
    if (milliseconds >= std::uint64_t{playingTimeLimitSeconds} * 1000) text += " or more";
    return text;
}

void AppendSample(std::string& out, std::size_t k, const SampleSummary& sample) {
    AppendFormat(out, "    sample %-3zu \"%s\": %u frames, %d-bit", k,
                 Printable(sample.name).c_str(), sample.frames, sample.bits);
    if (sample.loop == LoopKind::noLoop) {
        out += ", no loop";
    } else {
        AppendFormat(out, ", %s loop %u to %u", NameOf(sample.loop, loopNames), sample.loopStart,
                     sample.loopEnd);
    }
    AppendFormat(out, ", C-5 %u Hz, volume %u", sample.c5Rate, sample.volume);
    if (sample.usePan) {
        AppendFormat(out, ", pan %u\n", sample.pan);
    } else {
        out += ", channel pan\n";
    }
}

// Instruments by number, with their names; a run of nameless ones as a range.
void AppendUnwritten(std::string& out, const std::vector<InstrumentSummary>& instruments) {
    for (std::size_t i = 0; i < instruments.size();) {
        const InstrumentSummary& instrument = instruments[i];
        if (!instrument.name.empty()) {
            AppendFormat(out, " %d \"%s\"", instrument.number, Printable(instrument.name).c_str());
            ++i;
            continue;
        }
        std::size_t last = i;
        while (last + 1 < instruments.size() && instruments[last + 1].name.empty() &&
               instruments[last + 1].number == instruments[last].number + 1) {
            ++last;
        }
        AppendFormat(out, " %d", instrument.number);
        if (last > i) AppendFormat(out, "-%d", instruments[last].number);
        i = last + 1;
    }
}

void AppendModule(std::string& out, const ModuleSummary& module, bool patterns) {
    AppendFormat(out, "  title        \"%s\"\n", Printable(module.title).c_str());
    AppendFormat(out, "  pitch        %s\n", module.amigaSlides ? "Amiga periods" : "linear");
    AppendFormat(out, "  encoding     %s\n", module.rowPacked ? "row-packed" : "event stream");
    AppendFormat(out, "  channels     %d, pans", module.channels);
    for (const std::uint8_t pan : module.pans) AppendFormat(out, " %u", pan);
    out += "\n";
    AppendFormat(out, "  speed        %d, tempo %d\n", module.speed, module.tempo);
    AppendFormat(out, "  playing time %s\n", PlayingTime(module.playingMilliseconds).c_str());
    AppendFormat(out, "  volume       global %d\n", module.globalVolume);
    AppendFormat(out, "  periods      %d to %d\n", module.minPeriod, module.maxPeriod);
    AppendFormat(out, "  orders       %zu:", module.orders.size());
    for (const std::uint8_t order : module.orders) out += " " + OrderName(order);
    out += "\n";
    for (const PatternSummary& pattern : module.patterns) {
        if (module.rowPacked) {
            AppendFormat(out, "  pattern %-4d %d rows, %zu bytes\n", pattern.number, pattern.rows,
                         pattern.bytes.size());
            if (patterns) out += PatternGrid(pattern, module.channels, "    ");
        } else {
            AppendFormat(out, "  pattern %-4d event stream, %zu bytes\n", pattern.number,
                         pattern.bytes.size());
        }
    }
    for (const InstrumentSummary& instrument : module.instruments) {
        AppendFormat(out, "  instrument %-3d \"%s\", %zu sample%s\n", instrument.number,
                     Printable(instrument.name).c_str(), instrument.samples.size(),
                     instrument.samples.size() == 1 ? "" : "s");
        for (std::size_t k = 0; k < instrument.samples.size(); ++k) {
            AppendSample(out, k, instrument.samples[k]);
        }
    }
    if (!module.unwritten.empty()) {
        out += "  not written  (no pattern uses them):";
        AppendUnwritten(out, module.unwritten);
        out += "\n";
    }
    std::size_t samples = 0;
    for (const InstrumentSummary& instrument : module.instruments) {
        samples += instrument.samples.size();
    }
    AppendFormat(out,
                 "  totals       %zu patterns (%llu bytes), %zu instruments, %zu samples "
                 "(%llu bytes of frames), image %u bytes\n",
                 module.patterns.size(), static_cast<unsigned long long>(module.patternBytes),
                 module.instruments.size(), samples,
                 static_cast<unsigned long long>(module.sampleBytes), module.imageBytes);
}

// --- Conversion notes -------------------------------------------------------------------------

struct KindName {
    const char* text;  // for people
    const char* json;
};

KindName NameOf(ConversionKind kind) {
    switch (kind) {
        case ConversionKind::droppedEffect: return {"effect dropped", "droppedEffect"};
        case ConversionKind::lostVolumeEffect: return {"volume effect lost", "lostVolumeEffect"};
        case ConversionKind::changedParameter: return {"value changed", "changedParameter"};
        case ConversionKind::noteOutOfRange: return {"note out of range", "noteOutOfRange"};
        case ConversionKind::channelBeyondLimit:
            return {"channel beyond limit", "channelBeyondLimit"};
        case ConversionKind::beyondLimit: return {"beyond limit", "beyondLimit"};
        case ConversionKind::sampleCut: return {"sample cut", "sampleCut"};
        case ConversionKind::compressedSample: return {"compressed sample", "compressedSample"};
        case ConversionKind::discarded: return {"discarded", "discarded"};
        case ConversionKind::assumedLayout: return {"layout assumed", "assumedLayout"};
        case ConversionKind::overflow: break;
    }
    return {"other", "other"};
}

// One line per kind: the count, and where it first occurred in the patterns.
void AppendConversion(std::string& out, const std::vector<ConversionNote>& notes) {
    if (notes.empty()) {
        out += "  conversion notes: none, nothing dropped or changed\n";
        return;
    }
    out += "  conversion notes:\n";
    for (const ConversionNote& note : notes) {
        AppendFormat(out, "    %-20s %s: %u", NameOf(note.kind).text, note.label, note.count);
        const bool samples = note.kind == ConversionKind::sampleCut ||
                             note.kind == ConversionKind::compressedSample;
        if (samples) out += note.count == 1 ? " sample" : " samples";
        if (note.kind == ConversionKind::sampleCut) {
            AppendFormat(out, ", %llu frames missing",
                         static_cast<unsigned long long>(note.frames));
        }
        if (note.pattern >= 0) {
            AppendFormat(out, ", first in pattern %d row %d", note.pattern, note.row);
        }
        out += "\n";
    }
}

// --- JSON -------------------------------------------------------------------------------------

// The length of the well-formed UTF-8 sequence of a character beyond ASCII that starts at
// text[i] (no overlong forms, surrogates or code points past U+10FFFF), or 0 when none does.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned lead = at(0);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (lead < 0xC2 || lead > 0xF4 || text.size() - i < length) return 0;
    // The second byte's range narrows where the lead byte alone would allow a bad form.
    const unsigned second = at(1);
    const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (second < low || second > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((at(k) & 0xC0) != 0x80) return 0;
    }
    return length;
}

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
        } else if (const std::size_t length = Utf8SequenceAt(text, i)) {
            i += length;
        } else {
            return false;
        }
    }
    return true;
}

// Writes compact JSON, putting the commas itself.
class Json {
public:
    Json& Open(char bracket) {
        Separate();
        out_ += bracket;
        first_.push_back(true);
        return *this;
    }
    Json& Close(char bracket) {
        out_ += bracket;
        first_.pop_back();
        return *this;
    }
    Json& Key(const char* key) {
        Separate();
        AppendString(key, Encoding::utf8);
        out_ += ':';
        afterKey_ = true;
        return *this;
    }
    // Text of this program and file names: valid UTF-8 as it is, any other byte as U+FFFD.
    Json& String(std::string_view text) {
        Separate();
        AppendString(text, Encoding::utf8);
        return *this;
    }
    // Names stored in a module, whose bytes are read as Latin-1 (any byte is a character).
    Json& Latin1(std::string_view text) {
        Separate();
        AppendString(text, Encoding::latin1);
        return *this;
    }
    // A file name: `key` holds it as String does and, when it is not valid UTF-8, `key` +
    // "Bytes" holds its exact bytes as numbers, for a script to open the file with.
    Json& FileName(const std::string& key, std::string_view name) {
        Key(key.c_str()).String(name);
        if (!IsUtf8(name)) {
            Key((key + "Bytes").c_str()).Open('[');
            for (const char c : name) Number(static_cast<unsigned char>(c));
            Close(']');
        }
        return *this;
    }
    Json& Number(long long value) {
        Separate();
        out_ += std::to_string(value);
        return *this;
    }
    Json& Bool(bool value) {
        Separate();
        out_ += value ? "true" : "false";
        return *this;
    }
    Json& Null() {
        Separate();
        out_ += "null";
        return *this;
    }
    const std::string& text() const { return out_; }

private:
    void Separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (first_.empty()) return;
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }

    enum class Encoding { utf8, latin1 };

    void AppendString(std::string_view text, Encoding encoding) {
        out_ += '"';
        for (std::size_t i = 0; i < text.size();) {
            const auto byte = static_cast<unsigned char>(text[i]);
            if (byte == '"' || byte == '\\') {
                out_ += '\\';
                out_ += static_cast<char>(byte);
            } else if (byte < 0x20 || byte == 0x7F) {
                AppendFormat(out_, "\\u%04x", byte);
            } else if (byte < 0x80) {
                out_ += static_cast<char>(byte);
            } else if (encoding == Encoding::latin1) {
                AppendFormat(out_, "\\u%04x", byte);
            } else if (const std::size_t length = Utf8SequenceAt(text, i)) {
                out_.append(text.substr(i, length));
                i += length;
                continue;
            } else {
                out_ += "\\ufffd";
            }
            ++i;
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};

void JsonBytes(Json& json, const char* key, const std::vector<std::uint8_t>& values) {
    json.Key(key).Open('[');
    for (const std::uint8_t value : values) json.Number(value);
    json.Close(']');
}

void JsonEvents(Json& json, const PatternSummary& pattern) {
    const DecodedPattern decoded = DecodeRowPacked(pattern.bytes);
    json.Key("complete").Bool(decoded.complete);
    json.Key("events").Open('[');
    for (const PatternEvent& event : decoded.events) {
        json.Open('{').Key("row").Number(event.row).Key("channel").Number(event.channel);
        if (event.hasEffect) {
            json.Key("command").Number(event.command).Key("parameter").Number(event.parameter);
        }
        if (event.hasNote) {
            json.Key("instrument").Number(event.instrument).Key("note").Number(event.note);
        }
        if (event.hasVolume) json.Key("volume").Number(event.volume);
        json.Close('}');
    }
    json.Close(']');
}

void JsonModule(Json& json, const ModuleSummary& module, bool patterns) {
    json.Open('{');
    json.Key("title").Latin1(module.title);
    json.Key("pitch").String(module.amigaSlides ? "amiga" : "linear");
    json.Key("encoding").String(module.rowPacked ? "row-packed" : "event-stream");
    json.Key("channels").Number(module.channels);
    JsonBytes(json, "pans", module.pans);
    json.Key("speed").Number(module.speed).Key("tempo").Number(module.tempo);
    json.Key("playingMilliseconds").Number(static_cast<long long>(module.playingMilliseconds));
    json.Key("globalVolume").Number(module.globalVolume);
    json.Key("minPeriod").Number(module.minPeriod).Key("maxPeriod").Number(module.maxPeriod);
    JsonBytes(json, "orders", module.orders);
    json.Key("patterns").Open('[');
    for (const PatternSummary& pattern : module.patterns) {
        json.Open('{').Key("number").Number(pattern.number).Key("rows");
        if (module.rowPacked) {
            json.Number(pattern.rows);
        } else {
            json.Null();
        }
        json.Key("bytes").Number(static_cast<long long>(pattern.bytes.size()));
        if (patterns && module.rowPacked) JsonEvents(json, pattern);
        json.Close('}');
    }
    json.Close(']');
    std::size_t samples = 0;
    json.Key("instruments").Open('[');
    for (const InstrumentSummary& instrument : module.instruments) {
        json.Open('{').Key("number").Number(instrument.number).Key("name").Latin1(instrument.name);
        json.Key("samples").Open('[');
        for (const SampleSummary& sample : instrument.samples) {
            json.Open('{').Key("name").Latin1(sample.name);
            json.Key("frames").Number(sample.frames).Key("bits").Number(sample.bits);
            json.Key("loop").String(NameOf(sample.loop, loopNames));
            json.Key("loopStart").Number(sample.loopStart).Key("loopEnd").Number(sample.loopEnd);
            json.Key("c5Rate").Number(sample.c5Rate).Key("volume").Number(sample.volume);
            json.Key("pan").Number(sample.pan).Key("usePan").Bool(sample.usePan);
            json.Close('}');
        }
        samples += instrument.samples.size();
        json.Close(']').Close('}');
    }
    json.Close(']');
    json.Key("unwrittenInstruments").Open('[');
    for (const InstrumentSummary& instrument : module.unwritten) {
        json.Open('{').Key("number").Number(instrument.number).Key("name").Latin1(instrument.name);
        json.Close('}');
    }
    json.Close(']');
    json.Key("totals").Open('{');
    json.Key("patterns").Number(static_cast<long long>(module.patterns.size()));
    json.Key("patternBytes").Number(static_cast<long long>(module.patternBytes));
    json.Key("instruments").Number(static_cast<long long>(module.instruments.size()));
    json.Key("samples").Number(static_cast<long long>(samples));
    json.Key("sampleBytes").Number(static_cast<long long>(module.sampleBytes));
    json.Key("imageBytes").Number(module.imageBytes);
    json.Close('}');
    json.Close('}');
}

}  // namespace

DecodedPattern DecodeRowPacked(std::span<const std::uint8_t> block) {
    DecodedPattern decoded;
    if (block.empty()) {
        decoded.complete = false;
        return decoded;
    }
    const int rows = block[0] + 1;
    std::size_t p = 1;
    for (int row = 0; row < rows; ++row) {
        for (;;) {
            if (p >= block.size()) {
                decoded.complete = false;
                return decoded;
            }
            const std::uint8_t flag = block[p];
            if (flag == 0) break;
            const std::size_t length = 1u + ((flag & hasEffect) ? 2u : 0u) +
                                       ((flag & hasNote) ? 2u : 0u) +
                                       ((flag & hasVolume) ? 1u : 0u);
            if (block.size() - p < length) {
                decoded.complete = false;
                return decoded;
            }
            PatternEvent event;
            event.row = row;
            event.channel = flag & (packedChannels - 1);
            std::size_t q = p + 1;
            if (flag & hasEffect) {
                event.hasEffect = true;
                event.parameter = block[q];
                event.command = block[q + 1];
                q += 2;
            }
            if (flag & hasNote) {
                event.hasNote = true;
                event.instrument = block[q];
                event.note = block[q + 1];
                q += 2;
            }
            if (flag & hasVolume) {
                event.hasVolume = true;
                event.volume = block[q];
            }
            decoded.events.push_back(event);
            p += length;
        }
        ++p;  // the row's closing 0
        decoded.rowsRead = row + 1;
    }
    return decoded;
}

std::string NoteName(std::uint8_t note) {
    if (note == noNote) return "...";
    if (note == keyOff) return "===";
    if (note > NoteByte(119)) return Format("?%02X", note);
    const int n = note - 1;
    return Format("%s%d", noteNames[n % 12], n / 12);
}

std::string PatternGrid(const PatternSummary& pattern, int channels, const std::string& indent) {
    const DecodedPattern decoded = DecodeRowPacked(pattern.bytes);
    int columns = std::clamp(channels, 1, packedChannels);
    for (const PatternEvent& event : decoded.events) columns = std::max(columns, event.channel + 1);

    std::string out = indent + "row";
    for (int c = 0; c < columns; ++c) {
        AppendFormat(out, c + 1 < columns ? " | %-14s" : " | %s", Format("ch %d", c).c_str());
    }
    out += "\n";
    std::vector<const PatternEvent*> cells(static_cast<std::size_t>(columns));
    auto next = decoded.events.begin();
    for (int row = 0; row < decoded.rowsRead; ++row) {
        std::fill(cells.begin(), cells.end(), nullptr);
        // A second event on the same channel and row shows in place of the first.
        for (; next != decoded.events.end() && next->row == row; ++next) {
            cells[static_cast<std::size_t>(next->channel)] = &*next;
        }
        AppendFormat(out, "%s%03d", indent.c_str(), row);
        for (const PatternEvent* cell : cells) out += " | " + Cell(cell);
        out += "\n";
    }
    if (!decoded.complete) {
        AppendFormat(out, "%s(the pattern's data ends in row %d of %d)\n", indent.c_str(),
                     decoded.rowsRead, pattern.rows);
    }
    return out;
}

std::string TextReport(const FileReport& report, bool patterns) {
    std::string out = report.path + ": ";
    if (report.kind == FileKind::packed) out += "packed module, ";
    if (report.kind == FileKind::source) out += report.format + " module, ";
    out += NameOf(report.status, statusNames);
    if (!report.problems.empty()) out += ": " + Joined(report.problems, "; ");
    out += "\n";
    if (const auto& container = report.container) {
        const ContainerHeader& header = container->header;
        AppendFormat(
            out, "  container    %llu bytes, CRC-32 %08X, %u compressed bytes, image %u bytes\n",
            static_cast<unsigned long long>(container->fileSize), std::uint32_t{header.crc},
            std::uint32_t{header.compressedLength}, std::uint32_t{header.imageLength});
    }
    if (report.module) AppendModule(out, *report.module, patterns);
    if (report.conversion) AppendConversion(out, *report.conversion);
    if (!report.extracted.empty()) {
        AppendFormat(out, "  extracted    %s\n", report.extracted.c_str());
    }
    return out;
}

std::string JsonReport(const FileReport& report, bool patterns) {
    Json json;
    json.Open('{');
    json.FileName("file", report.path);
    json.Key("kind").String(NameOf(report.kind, fileKindNames));
    if (report.kind == FileKind::source) json.Key("format").String(report.format);
    json.Key("status").String(NameOf(report.status, statusNames));
    json.Key("problems").Open('[');
    for (const std::string& problem : report.problems) json.String(problem);
    json.Close(']');
    if (const auto& container = report.container) {
        json.Key("container").Open('{');
        const ContainerHeader& header = container->header;
        json.Key("fileSize").Number(static_cast<long long>(container->fileSize));
        json.Key("totalLength").Number(std::uint32_t{header.totalLength});
        json.Key("crc").Number(std::uint32_t{header.crc});
        json.Key("compressedLength").Number(std::uint32_t{header.compressedLength});
        json.Key("imageLength").Number(std::uint32_t{header.imageLength});
        json.Close('}');
    }
    if (report.module) {
        json.Key("module");
        JsonModule(json, *report.module, patterns);
    }
    if (report.conversion) {
        json.Key("conversionNotes").Open('[');
        for (const ConversionNote& note : *report.conversion) {
            json.Open('{').Key("kind").String(NameOf(note.kind).json);
            json.Key("what").String(note.label).Key("count").Number(note.count);
            if (note.kind == ConversionKind::sampleCut) {
                json.Key("framesMissing").Number(static_cast<long long>(note.frames));
            }
            if (note.pattern >= 0) {
                json.Key("pattern").Number(note.pattern).Key("row").Number(note.row);
            }
            json.Close('}');
        }
        json.Close(']');
    }
    if (!report.extracted.empty()) json.FileName("extracted", report.extracted);
    json.Close('}');
    return json.text() + "\n";
}

}  // namespace tunepak
