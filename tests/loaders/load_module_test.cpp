#include <array>
#include <cstring>
#include <string_view>

#include "loaders/formats.h"
#include "loaders/loaders.h"
#include "model/player.h"
#include "test_support.h"

namespace tunepak {
namespace {

using Probe = std::array<std::uint8_t, probeSize>;

Probe With(std::initializer_list<std::pair<std::size_t, std::string_view>> parts) {
    Probe probe{};
    for (const auto& [offset, text] : parts) std::memcpy(probe.data() + offset, text.data(), text.size());
    return probe;
}

TEST(ChooseLoaderTest, SignaturesInTheirOrder) {
    EXPECT_EQ(ChooseLoader(With({{0, "if"}, {44, "SCRM"}})), LoadS3m);
    EXPECT_EQ(ChooseLoader(With({{0, "ifXXXXXXXXXX"}})), Load669);
    EXPECT_EQ(ChooseLoader(With({{0, "JN"}})), Load669);
    EXPECT_EQ(ChooseLoader(With({{0, "MTM"}, {44, "SCRM"}})), LoadMtm);
    EXPECT_EQ(ChooseLoader(With({{0, "RIFF"}, {8, "AMFF"}, {44, "SCRM"}})), LoadAm);
    EXPECT_EQ(ChooseLoader(With({{8, "AMFF"}})), LoadAm);  // the RIFF id is not looked at
    EXPECT_EQ(ChooseLoader(With({{20, "!Scream!"}, {44, "SCRM"}})), LoadS3m);
    EXPECT_EQ(ChooseLoader(With({{20, "!Scream!"}})), LoadStm);
    EXPECT_EQ(ChooseLoader(With({{20, "BMOD2STM"}})), LoadStm);
    EXPECT_EQ(ChooseLoader(With({{0, "Extended Module: "}})), LoadXm);
    EXPECT_EQ(ChooseLoader(With({{0, "Extended Module:"}})), LoadMod);
    EXPECT_EQ(ChooseLoader(With({{0, std::string_view("FAR\xFE", 4)}})), LoadFar);
    EXPECT_EQ(ChooseLoader(With({{0, "FAR"}})), LoadMod);
    EXPECT_EQ(ChooseLoader(With({{0, "IMPM"}})), LoadIt);
    EXPECT_EQ(ChooseLoader(With({{44, "PTMF"}})), LoadPtm);
    EXPECT_EQ(ChooseLoader(With({{0, "MAS_UTrack_V00"}})), LoadUlt);
    EXPECT_EQ(ChooseLoader(With({{0, "mtm"}})), LoadMod);  // case-sensitive
}

TEST(FormatRegistryTest, EachSignatureChoosesItsFormatAndAnythingElseIsMod) {
    for (const SourceFormat& format : sourceFormats) {
        for (const Signature& signature : format.signatures) {
            if (signature.bytes.empty()) continue;
            EXPECT_EQ(&ChooseFormat(With({{signature.offset, signature.bytes}})), &format)
                << format.name << " " << signature.bytes;
        }
        EXPECT_EQ(FormatOf(format.loader), &format);
        EXPECT_EQ(FindFormat(format.name), &format);
    }
    EXPECT_EQ(ChooseFormat(Probe{}).loader, LoadMod);
    EXPECT_EQ(FindFormat("MOD+"), nullptr);
    EXPECT_EQ(FormatList(), "MOD, S3M, XM, IT, MTM, 669, STM, FAR, ULT, PTM and AM");
}

class LoadModuleTest : public test::ModelTest {};

// An AM image with a MAIN chunk of `channels` channels.
test::Bytes SmallAm(std::uint8_t channels) {
    test::ByteWriter file;
    file.Text("RIFF", 4).U32(4 + 8 + 73 + channels).Text("AMFF", 4);
    file.Text("MAIN", 4).U32(73u + channels).Text("small", 32).Fill(32).Raw({2, channels, 6, 125});
    file.U16(1814).U16(13696).U8(128).Fill(channels, 32);
    return file.bytes();
}

TEST_F(LoadModuleTest, RefusesANullStreamAndASecondLoad) {
    EXPECT_EQ(LoadModule(nullptr, StreamFile), ResultNoStream);
    ASSERT_EQ(test::LoadFromBytes(SmallAm(2)), ResultOk);
    EXPECT_EQ(song.channelCount, 2);
    EXPECT_EQ(test::LoadFromBytes(SmallAm(3)), ResultLoaded);
    EXPECT_EQ(song.channelCount, 2);
    EXPECT_EQ(ReleaseModule(), ResultOk);
    EXPECT_EQ(ReleaseModule(), ResultNotLoaded);
    EXPECT_EQ(test::LoadFromBytes(SmallAm(3)), ResultOk);
}

TEST_F(LoadModuleTest, ClearsWhatAnEarlierFileLeft) {
    song.title.fill('A');
    song.auxTitle.fill('B');
    song.channelPan.fill(7);
    orderList.fill(9);
    song.songFlags = 3;
    song.lastOrder = 40;
    // Shorter than the probe: the missing probe bytes are zero and the loader starts at 0.
    const test::Bytes tiny = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'M', 'F', 'F'};
    EXPECT_EQ(test::LoadFromBytes(tiny), ResultOk);
    EXPECT_EQ(song.title, decltype(song.title){});
    EXPECT_EQ(song.auxTitle, decltype(song.auxTitle){});
    EXPECT_EQ(song.channelPan, decltype(song.channelPan){});
    EXPECT_EQ(orderList, OrderList{});
    EXPECT_EQ(song.songFlags, 0);
    EXPECT_EQ(song.lastOrder, 0);
    EXPECT_EQ(song.globalVolume, 128);
    EXPECT_EQ(song.minPeriod, 1814);
}

TEST_F(LoadModuleTest, AnEmptyFileIsRefused) {
    EXPECT_EQ(test::LoadFromBytes({}), ResultBadFile);
}

TEST_F(LoadModuleTest, ReleaseAfterAFailedLoadFreesItsBuffers) {
    // A load that fails early leaves a block behind with channelCount still 0.
    NewInstrument(3, 1);
    std::uint8_t* data = static_cast<std::uint8_t*>(services.allocate(8));
    instrumentTable[3].sampleData[0] = data;
    EXPECT_EQ(ReleaseModule(), ResultNotLoaded);
    EXPECT_EQ(instrumentTable[3].block, nullptr);
    EXPECT_EQ(instrumentTable[3].sampleData[0], nullptr);
}

TEST(PlayerTest, ResetSetsTheSongDefaults) {
    song.songFlags = 3;
    song.lastOrder = 40;
    song.globalVolume = 3;
    EXPECT_EQ(ResetPlayer(), ResultOk);
    EXPECT_EQ(song.songFlags, 0);
    EXPECT_EQ(song.lastOrder, 0);
    EXPECT_EQ(song.globalVolume, 128);
    EXPECT_EQ(song.initialSpeed, 6);
    EXPECT_EQ(song.initialTempo, 125);
    EXPECT_EQ(song.maxPeriod, 13696);
    EXPECT_EQ(player.channels[0].instrument, 128);
    EXPECT_EQ(player.channels[63].note, 127);

    player.playing = true;
    song.lastOrder = 5;
    EXPECT_EQ(ResetPlayer(), ResultPlaying);
    EXPECT_EQ(song.lastOrder, 5);
    player.playing = false;
}

}  // namespace
}  // namespace tunepak
