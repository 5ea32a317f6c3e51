#include "test_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "loaders/loaders.h"
#include "model/player.h"
#include "writer/writer.h"

namespace tunepak::test {

MemoryFile::MemoryFile(std::span<const std::uint8_t> bytes) : file_(OpenMemoryFile(bytes)) {
    EXPECT_NE(file_, nullptr);
}

namespace {

// With TUNEPAK_SEED_DIR set, every input that a test loads is kept there as a fuzzing seed.
void KeepAsSeed(std::span<const std::uint8_t> bytes) {
    const char* directory = std::getenv("TUNEPAK_SEED_DIR");
    if (directory == nullptr || bytes.empty()) return;
    std::uint64_t hash = 14695981039346656037u;  // FNV-1a names the file by its content
    for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 1099511628211u;
    char name[32];
    std::snprintf(name, sizeof name, "/%016llx", static_cast<unsigned long long>(hash));
    if (std::FILE* file = std::fopen((std::string(directory) + name).c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

}  // namespace

int LoadFromBytes(std::span<const std::uint8_t> bytes) {
    KeepAsSeed(bytes);
    MemoryFile file(bytes);
    return LoadModule(file.get(), StreamFile);
}

Bytes WriteImage() {
    const std::uint64_t size = WriteModule(nullptr, StreamFile);
    Bytes image(size);
    const std::uint64_t written = WriteModule(image.data(), StreamMemory);
    EXPECT_EQ(written, size);
    return image;
}

InstrumentRecord& Instrument(std::size_t slot) {
    std::uint8_t* block = instrumentTable.at(slot).block;
    if (block == nullptr) {
        ADD_FAILURE() << "no instrument in slot " << slot;
        static InstrumentRecord empty;
        return empty;
    }
    return RecordOf(block);
}

SampleHeader& Sample(std::size_t slot, std::size_t k) {
    std::uint8_t* block = instrumentTable.at(slot).block;
    if (block == nullptr || k >= RecordOf(block).sampleCount) {
        ADD_FAILURE() << "no sample " << k << " in instrument slot " << slot;
        static SampleHeader empty;
        return empty;
    }
    return SampleOf(block, k);
}

std::span<const std::uint8_t> SampleFrames(std::size_t slot, std::size_t k) {
    const SampleHeader& header = Sample(slot, k);
    const std::uint8_t* data = instrumentTable.at(slot).sampleData.at(k);
    if (data == nullptr) return {};
    return {data, std::size_t{header.length} * SampleWidth(header)};
}

std::span<const std::uint8_t> Pattern(std::size_t number) {
    const PatternSlot& slot = patternTable.at(number);
    return {slot.data, slot.data ? slot.size : 0};
}

namespace {

const ServiceTable standardServices = services;
int allocationCalls = 0;
int failingCall = 0;

void* CountingAllocate(std::size_t size) {
    if (++allocationCalls >= failingCall) return nullptr;
    return standardServices.allocate(size);
}
void* CountingReallocate(void* block, std::size_t size) {
    if (++allocationCalls >= failingCall) return nullptr;
    return standardServices.reallocate(block, size);
}

void ResetModel() {
    services.allocate = standardServices.allocate;
    services.reallocate = standardServices.reallocate;
    services.release = standardServices.release;
    ReleaseModule();
    song = SongHeader{};
    orderList.fill(0);
}

}  // namespace

void ModelTest::SetUp() { ResetModel(); }
void ModelTest::TearDown() { ResetModel(); }

FailingAllocator::FailingAllocator(int failAt) {
    allocationCalls = 0;
    failingCall = failAt;
    services.allocate = CountingAllocate;
    services.reallocate = CountingReallocate;
}
FailingAllocator::~FailingAllocator() {
    services.allocate = standardServices.allocate;
    services.reallocate = standardServices.reallocate;
}
int FailingAllocator::calls() const { return allocationCalls; }

int ExpectCleanAllocationFailures(std::span<const std::uint8_t> bytes) {
    constexpr int mostAllocations = 1000;
    for (int failAt = 1; failAt <= mostAllocations; ++failAt) {
        int result;
        {
            FailingAllocator failing(failAt);
            result = LoadFromBytes(bytes);
        }
        ReleaseModule();
        if (result == ResultOk) return failAt - 1;
        EXPECT_TRUE(result == ResultNoMemory || result == ResultNoPatternMemory ||
                    result == ResultNoSampleMemory)
            << "allocation " << failAt << ": " << result;
    }
    ADD_FAILURE() << "no load succeeded within " << mostAllocations << " allocations";
    return mostAllocations;
}

std::vector<int> AllocationFailureResults(std::span<const std::uint8_t> bytes) {
    int allocations = 0;
    {
        FailingAllocator counting(std::numeric_limits<int>::max());
        EXPECT_EQ(LoadFromBytes(bytes), ResultOk);
        allocations = counting.calls();
    }
    ReleaseModule();
    std::vector<int> results;
    for (int failAt = 1; failAt <= allocations; ++failAt) {
        {
            FailingAllocator failing(failAt);
            results.push_back(LoadFromBytes(bytes));
        }
        ReleaseModule();
        const int result = results.back();
        EXPECT_TRUE(result == ResultOk || result == ResultNoMemory ||
                    result == ResultNoPatternMemory || result == ResultNoSampleMemory)
            << "allocation " << failAt << ": " << result;
    }
    return results;
}

int ExpectCleanLoadsOfEveryPrefix(std::span<const std::uint8_t> bytes) {
    int whole = 0;
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        MemoryFile file(bytes.first(length));  // not kept as a fuzzing seed: too many
        const int result = LoadModule(file.get(), StreamFile);
        EXPECT_GE(result, 0) << "prefix of " << length << " bytes";
        whole += result == ResultOk ? 1 : 0;
        ReleaseModule();
        const bool empty =
            std::all_of(patternTable.begin(), patternTable.end(),
                        [](const PatternSlot& slot) { return slot.data == nullptr; }) &&
            std::all_of(instrumentTable.begin(), instrumentTable.end(),
                        [](const InstrumentSlot& slot) { return slot.block == nullptr; });
        EXPECT_TRUE(empty) << "prefix of " << length << " bytes";
    }
    return whole;
}

void ExpectEveryAllocationFailureAndPrefixToEndCleanly(std::span<const std::uint8_t> bytes) {
    EXPECT_GT(ExpectCleanAllocationFailures(bytes), 3);
    EXPECT_GT(ExpectCleanLoadsOfEveryPrefix(bytes), 0);
}

void ExpectEveryAllocationFailureAndPrefixToEndCleanly(std::span<const std::uint8_t> bytes,
                                                       const std::vector<int>& results) {
    EXPECT_EQ(AllocationFailureResults(bytes), results);
    EXPECT_GT(ExpectCleanLoadsOfEveryPrefix(bytes), 0);
}

}  // namespace tunepak::test
