// The bound on the model's sample data, against modules whose instruments each hold a copy of
// one stored sample: every copy counts, and the whole load is held to one bound.

#include <cstdint>

#include "attack_modules.h"
#include "loaders/loaders.h"
#include "model/model.h"
#include "model/player.h"
#include "test_support.h"

namespace tunepak {
namespace {

namespace attack = test::attack;

class SampleBoundTest : public test::ModelTest {};

// The sample bytes of every buffer the model holds, with their run-out tails.
std::uint64_t HeldSampleBytes() {
    std::uint64_t total = 0;
    for (const InstrumentSlot& slot : instrumentTable) {
        if (!IsInstrumentBlock(slot.block)) continue;
        for (std::size_t k = 0; k < RecordOf(slot.block).sampleCount; ++k) {
            if (slot.sampleData[k] == nullptr) continue;
            const SampleHeader& header = SampleOf(slot.block, k);
            total += (std::uint64_t{header.length} + RunOutTail(header)) * SampleWidth(header);
        }
    }
    return total;
}

TEST(SampleBytesBoundTest, SixtyFourMegabytesAndThirtyTwoBytesForEachByteOfTheSource) {
    EXPECT_EQ(SampleBytesBound(0), std::uint64_t{64} << 20);
    EXPECT_EQ(SampleBytesBound(1 << 20), std::uint64_t{96} << 20);
    EXPECT_EQ(SampleBytesBound(~std::uint64_t{0}),
              (std::uint64_t{64} << 20) + (std::uint64_t{32} << 40));
}

// 128 instruments, each playing the same four samples, which name one stored block of 40,000
// frames: 20 MB of copies from 41 KB loads; sixteen samples make 82 MB, past the 65.3 MB that
// the file allows, and the load fails before allocating beyond it.
TEST_F(SampleBoundTest, ItInstrumentsSharingSamplesCountEveryCopy) {
    const test::Bytes fits = attack::ItSharedInstruments(128, 4, 40000);
    ASSERT_EQ(test::LoadFromBytes(fits), ResultOk);
    EXPECT_EQ(test::Sample(127, 3).length, 40000u);
    EXPECT_GT(HeldSampleBytes(), 128u * 4 * 40000);
    EXPECT_LE(HeldSampleBytes(), SampleBytesBound(fits.size()));
    ReleaseModule();

    const test::Bytes past = attack::ItSharedInstruments(128, 16, 40000);
    ASSERT_GT(std::uint64_t{128} * 16 * 40000, SampleBytesBound(past.size()));
    EXPECT_EQ(test::LoadFromBytes(past), ResultNoSampleMemory);
    EXPECT_LE(HeldSampleBytes(), SampleBytesBound(past.size()));
}

// Sixteen instruments holding a copy of one stored block of 768 KB load; 128 (96 MB of copies,
// past the 88 MB that the file allows) fail before the model holds more than the bound.
void ExpectSixteenCopiesLoadAndNot128(test::Bytes (*build)(std::size_t, std::uint32_t)) {
    ASSERT_EQ(test::LoadFromBytes(build(16, 768 << 10)), ResultOk);
    EXPECT_EQ(test::Sample(15).length, 768u << 10);
    ReleaseModule();

    const test::Bytes past = build(128, 768 << 10);
    ASSERT_GT(std::uint64_t{128} * (768 << 10), SampleBytesBound(past.size()));
    EXPECT_EQ(test::LoadFromBytes(past), ResultNoSampleMemory);
    EXPECT_LE(HeldSampleBytes(), SampleBytesBound(past.size()));
}

TEST_F(SampleBoundTest, S3mInstrumentsNamingOneSampleHeaderCountEveryCopy) {
    ExpectSixteenCopiesLoadAndNot128(attack::S3mSharedHeader);
}

// IT sample mode: each sample header is an instrument of its own.
TEST_F(SampleBoundTest, ItSamplesNamingOneStoredBlockCountEveryCopy) {
    ExpectSixteenCopiesLoadAndNot128(attack::ItSharedSampleMode);
}

}  // namespace
}  // namespace tunepak
