// Helpers shared by the tests: building module bytes, loading them through the library as the
// converter does, and reading the model back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "byte_writer.h"
#include "io/memory_file.h"
#include "io/services.h"
#include "model/model.h"

namespace tunepak::test {

// A file over a copy of some bytes that behaves like one on disk; closed on destruction.
class MemoryFile {
public:
    explicit MemoryFile(std::span<const std::uint8_t> bytes);
    std::FILE* get() const { return file_.get(); }

private:
    UniqueFile file_;
};

// Loads bytes as the converter does (file mode) and returns LoadModule's result.
int LoadFromBytes(std::span<const std::uint8_t> bytes);

// The AM image of the model (size pass, then writing pass into memory).
Bytes WriteImage();

// A copy of some bytes, for comparisons.
inline Bytes Copy(std::span<const std::uint8_t> bytes) { return Bytes(bytes.begin(), bytes.end()); }

// Instrument slot i's record and sample header k, or fails the test when absent.
InstrumentRecord& Instrument(std::size_t slot);
SampleHeader& Sample(std::size_t slot, std::size_t k = 0);
// Sample k's frames (length x width bytes) of instrument slot i.
std::span<const std::uint8_t> SampleFrames(std::size_t slot, std::size_t k = 0);
// The bytes of pattern block n (empty when absent).
std::span<const std::uint8_t> Pattern(std::size_t number);
// Copies of the same, for comparisons.
inline Bytes SampleBytes(std::size_t slot) { return Copy(SampleFrames(slot)); }
inline Bytes PatternBytes(std::size_t number) { return Copy(Pattern(number)); }

// A built module whose file ends `count` bytes early (cutting its last sample short).
inline Bytes WithoutLastBytes(Bytes bytes, std::size_t count) {
    bytes.resize(bytes.size() - std::min(count, bytes.size()));
    return bytes;
}

// Releases the model before and after each test, and puts back the standard services.
class ModelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// An allocator in the service table that fails at its n-th call (counting from 1) and after,
// for failure-path tests. Restores the real one on destruction.
class FailingAllocator {
public:
    explicit FailingAllocator(int failAt);
    ~FailingAllocator();
    FailingAllocator(const FailingAllocator&) = delete;
    FailingAllocator& operator=(const FailingAllocator&) = delete;
    int calls() const;
};

// Loads `bytes` with the allocator failing from its n-th call on, for n = 1, 2, ... until a load
// succeeds. Every failed load must end in an out-of-memory code and release cleanly (the
// sanitizer run finds any leak). Returns the number of failed loads.
int ExpectCleanAllocationFailures(std::span<const std::uint8_t> bytes);

// Loads `bytes` once for each allocation that a whole load makes, with that allocation failing
// (and every one after it). Each load must end in ResultOk (a failure that the loader recovers
// from) or an out-of-memory code and release cleanly. Returns the results, allocation by
// allocation.
std::vector<int> AllocationFailureResults(std::span<const std::uint8_t> bytes);

// Loads every prefix of `bytes`, from none of it to all but its last byte: each load must end in
// a result code, never a crash, and release everything it took. Returns how many loaded whole.
int ExpectCleanLoadsOfEveryPrefix(std::span<const std::uint8_t> bytes);

// Both sweeps over a built module whose load makes more than three allocations and whose
// shorter prefixes still load whole: every allocation failure and every truncation end cleanly.
void ExpectEveryAllocationFailureAndPrefixToEndCleanly(std::span<const std::uint8_t> bytes);
// The same with the result of each allocation's failure as `results` lists them, allocation by
// allocation (see AllocationFailureResults).
void ExpectEveryAllocationFailureAndPrefixToEndCleanly(std::span<const std::uint8_t> bytes,
                                                       const std::vector<int>& results);

}  // namespace tunepak::test
