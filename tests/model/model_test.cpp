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

TEST(ModelRelease, EverySampleBufferUnderABlockIsReleasedWhateverItsIndex) {
    ReleaseModelBuffers();
    const ServiceTable saved = services;
    services.release = CountingRelease;
    releases = 0;
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
    services = saved;
}

TEST(ModelRelease, ANewInstrumentReleasesWhatItsSlotHeld) {
    ReleaseModelBuffers();
    const ServiceTable saved = services;
    services.release = CountingRelease;
    releases = 0;
    ASSERT_NE(NewInstrument(9, 1), nullptr);
    instrumentTable[9].sampleData[200] = Allocated();
    ASSERT_NE(NewInstrument(9, 1), nullptr);
    EXPECT_EQ(releases, 2);  // the old block and its buffer
    EXPECT_EQ(instrumentTable[9].sampleData[200], nullptr);
    ReleaseModelBuffers();
    services = saved;
}

}  // namespace
}  // namespace tunepak
