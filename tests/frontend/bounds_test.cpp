// The programs on files built to make them hold the most: what the memory bound lets through
// converts within the peak that the README states, what it does not fails before the memory is
// taken, and a decompression bomb is damaged without being inflated. Peaks are measured only
// without sanitizers, whose shadow memory would count too.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "attack_modules.h"
#include "model/model.h"
#include "packed_files.h"
#include "program_runner.h"

namespace tunepak {
namespace {

namespace fs = std::filesystem;
namespace attack = test::attack;
using test::Bytes;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
constexpr bool sanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool sanitized = false;
#endif

constexpr std::uint64_t megabyte = 1 << 20;

// The peak that the README states for converting a file of `size` bytes.
std::uint64_t StatedPeak(std::uint64_t size) { return 3 * SampleBytesBound(size) + 24 * megabyte; }

struct MeasuredRun {
    int exitCode = -1;
    std::uint64_t peak = 0;  // the largest resident set, in bytes
};

// Runs `program` on `argument` in `where`, its output thrown away, and measures its peak.
MeasuredRun RunMeasured(const char* program, const std::string& argument, const fs::path& where) {
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(where.c_str()) != 0) _exit(127);
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
        execl(program, program, argument.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    MeasuredRun run;
    int status = 0;
    rusage usage{};
    if (child > 0 && wait4(child, &status, 0, &usage) == child && WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
        run.peak = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
    }
    return run;
}

class BoundsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (sanitized) GTEST_SKIP() << "peaks under the sanitizers count their shadow memory";
    }
    test::TemporaryDirectory temporary;
    const fs::path& dir = temporary.path();
};

TEST_F(BoundsTest, ConvertingSharedSamplesPeaksWithinTheStatedBound) {
    // 128 instruments each holding twelve copies of 40,000 frames: 61 MB of 65.3 MB allowed.
    const Bytes fits = attack::ItSharedInstruments(128, 12, 40000);
    test::WriteFile(dir / "fits.it", fits);
    const MeasuredRun converted = RunMeasured(TUNEPAK_EXE, "fits.it", dir);
    EXPECT_EQ(converted.exitCode, 0);
    EXPECT_TRUE(fs::exists(dir / "Fits.vmz"));
    EXPECT_LE(converted.peak, StatedPeak(fits.size()));

    // 128 copies of 1 MB from a 1 MB file: refused before more than its 96 MB is taken.
    const Bytes past = attack::S3mSharedHeader(128, 1 << 20);
    test::WriteFile(dir / "past.s3m", past);
    const test::Outcome refused = temporary.Run(TUNEPAK_EXE, "past.s3m");
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.out.find("failed: out of memory"), std::string::npos) << refused.out;
    EXPECT_LE(RunMeasured(TUNEPAK_EXE, "past.s3m", dir).peak,
              SampleBytesBound(past.size()) + 24 * megabyte);
}

TEST_F(BoundsTest, ADecompressionBombCostsTunepakInfoLittleMoreThanItsSize) {
    const auto [stream, inflated] = test::DecompressionBomb(1 << 20);
    const auto stated = static_cast<std::uint32_t>(inflated);
    test::WriteFile(dir / "bomb.vmz", test::PackedStream(stream, stated));
    const test::Outcome checked = temporary.Run(TUNEPAK_INFO_EXE, "bomb.vmz");
    EXPECT_EQ(checked.exitCode, 2);
    EXPECT_NE(checked.out.find("damaged: stated image of"), std::string::npos) << checked.out;
    EXPECT_LE(RunMeasured(TUNEPAK_INFO_EXE, "bomb.vmz", dir).peak, 24 * megabyte);
}

}  // namespace
}  // namespace tunepak
