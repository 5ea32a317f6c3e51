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

TEST(ModelRelease, EverySampleBufferIsReleasedWhereverItHangs) {
    ReleaseModelBuffers();
    const ServiceTable saved = services;
    services.release = CountingRelease;
    releases = 0;
    // A buffer at either end of the table, one under an instrument block, one under none.
    ASSERT_NE(NewInstrument(5, 2), nullptr);
    instrumentTable[5].sampleData[1] = Allocated();
    instrumentTable[0].sampleData[0] = Allocated();
    instrumentTable[127].sampleData[255] = Allocated();
    ReleaseModelBuffers();
    EXPECT_EQ(releases, 4);  // the block and three sample buffers
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
