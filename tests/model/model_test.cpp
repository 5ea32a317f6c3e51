#include "model/model.h"

#include <cstdlib>

#include "io/services.h"
#include "test_support.h"

namespace tunepak {
namespace {

int releases = 0;
void CountingRelease(void* block) {
    ++releases;
    std::free(block);
}

std::uint8_t* Allocated() { return static_cast<std::uint8_t*>(services.allocate(8)); }

// Counts the releases of an emptied model, and puts the table back afterwards.
class ModelRelease : public ::testing::Test {
protected:
    void SetUp() override {
        ReleaseModelBuffers();
        services.release = CountingRelease;
        releases = 0;
    }
    void TearDown() override {
        ReleaseModelBuffers();
        services = saved_;
    }

private:
    const ServiceTable saved_ = services;
};

TEST_F(ModelRelease, EverySampleBufferUnderABlockIsReleasedWhateverItsIndex) {
    // Buffers at either end of the table, within and beyond their block's sample count.
    ASSERT_NE(NewInstrument(0, 2), nullptr);
    ASSERT_NE(NewInstrument(127, 1), nullptr);
    instrumentTable[0].sampleData[0] = Allocated();
    instrumentTable[0].sampleData[1] = Allocated();
    instrumentTable[127].sampleData[255] = Allocated();
    ReleaseModelBuffers();
    EXPECT_EQ(releases, 5);  // two blocks and three sample buffers
    for (const InstrumentSlot& slot : instrumentTable) {
        EXPECT_EQ(slot.block, nullptr);
        for (const std::uint8_t* data : slot.sampleData) EXPECT_EQ(data, nullptr);
    }
}

TEST_F(ModelRelease, ANewInstrumentReleasesWhatItsSlotHeld) {
    ASSERT_NE(NewInstrument(9, 1), nullptr);
    instrumentTable[9].sampleData[200] = Allocated();
    ASSERT_NE(NewInstrument(9, 1), nullptr);
    EXPECT_EQ(releases, 2);  // the old block and its buffer
    EXPECT_EQ(instrumentTable[9].sampleData[200], nullptr);
}

TEST(SampleBound, SampleDataIsBoundedByTheSourceOfTheLoad) {
    ReleaseModelBuffers();
    // Without a load's source to measure there is no bound.
    EXPECT_TRUE(ReserveSampleBytes(std::uint64_t{1} << 40));
    ReleaseModelBuffers();

    const test::MemoryFile source(test::Bytes(1000));
    void* stream = InstallStreams(StreamFile, source.get());
    const KnownStreamEnd end(stream);
    const std::uint64_t bound = sampleBytesAnySource + 1000 * sampleBytesPerSourceByte;
    EXPECT_FALSE(ReserveSampleBytes(bound + 1));
    EXPECT_TRUE(ReserveSampleBytes(bound - 10));
    EXPECT_FALSE(ReserveSampleBytes(11));  // refused requests reserve nothing
    EXPECT_TRUE(ReserveSampleBytes(10));
    EXPECT_FALSE(ReserveSampleBytes(1));
    ReleaseModelBuffers();  // gives everything back
    EXPECT_TRUE(ReserveSampleBytes(bound));
    ReleaseModelBuffers();

    // A SampleBoundSource sets the bound whatever the stream: here that of 10 bytes.
    {
        const SampleBoundSource small(10);
        EXPECT_FALSE(ReserveSampleBytes(SampleBytesBound(10) + 1));
        EXPECT_TRUE(ReserveSampleBytes(SampleBytesBound(10)));
        ReleaseModelBuffers();
    }
    EXPECT_TRUE(ReserveSampleBytes(bound));  // the stream's again
    ReleaseModelBuffers();
}

}  // namespace
}  // namespace tunepak
