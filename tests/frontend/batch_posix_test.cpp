// What a run does to the files around it, watched while it runs (POSIX only): outputs replaced
// whole or not at all, sources that are not files or that change, lines as they happen, and
// interruptions.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "batch_modules.h"
#include "container/container.h"
#include "child_posix.h"
#include "program_runner.h"

namespace tunepak {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Child;
using test::ModModule;
using test::ReadFile;
using test::WriteFile;

// The names in a directory that begin with a dot: hidden files left behind.
std::vector<std::string> HiddenFiles(const fs::path& dir) {
    std::vector<std::string> hidden;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.front() == '.') hidden.push_back(name);
    }
    return hidden;
}

// Every .vmz file of a directory that is not a whole packed module.
std::vector<std::string> DamagedPackedFiles(const fs::path& dir) {
    std::vector<std::string> damaged;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".vmz") continue;
        const Bytes bytes = ReadFile(entry.path());
        if (!UnpackModule(bytes).Intact()) damaged.push_back(entry.path().filename().string());
    }
    return damaged;
}

class RunningBatchTest : public test::TunepakTest {};

// A write that fails, here at the file-size limit, leaves the earlier file as it was and no
// hidden file; the limit's signal does not end the run. tunepak-render writes its WAVE file
// the same way.
TEST_F(RunningBatchTest, AFailedWriteKeepsTheEarlierFile) {
    WriteFile(dir / "song.mod", ModModule(2, 30000, 5));
    WriteFile(dir / "tiny.mod", ModModule(1, 100, 6));
    const Bytes earlier(5000, 0x33);
    WriteFile(dir / "Song.vmz", earlier);
    WriteFile(dir / "Song.wav", earlier);
    Child batch(TUNEPAK_EXE, "*.mod", dir, {.fileSizeLimit = 4096});
    EXPECT_EQ(batch.ReadRest(), "Converting \"*.mod\"\n"
                                "Song       (61 Kb -> failed: cannot write Song.vmz)\n"
                                "Tiny       (2 Kb -> 0 Kb)\n");
    Child render(TUNEPAK_RENDER_EXE, "song.mod", dir, {.fileSizeLimit = 4096});
    for (Child* run : {&batch, &render}) {
        const int status = run->Wait();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2);
    }
    EXPECT_EQ(ReadFile(dir / "Song.vmz"), earlier);
    EXPECT_EQ(ReadFile(dir / "Song.wav"), earlier);
    EXPECT_TRUE(HiddenFiles(dir).empty());
}

// A replaced output keeps the permission bits its owner set (a read-only one is not replaced
// at all: batch_test.cpp).
TEST_F(RunningBatchTest, AReplacedOutputKeepsItsPermissions) {
    WriteFile(dir / "song.mod", ModModule(1, 2000, 14));
    WriteFile(dir / "Song.vmz", Bytes(100, 0x44));
    const fs::perms set = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(dir / "Song.vmz", set);
    ASSERT_EQ(Tunepak("song.mod").exitCode, 0);
    EXPECT_TRUE(UnpackModule(ReadFile(dir / "Song.vmz")).Intact());
    EXPECT_EQ(fs::status(dir / "Song.vmz").permissions() & fs::perms::all, set);
}

TEST_F(RunningBatchTest, ASymbolicLinkAtTheOutputIsReplacedNotFollowed) {
    WriteFile(dir / "song.mod", ModModule(1, 2000, 7));
    WriteFile(dir / "kept.bin", Bytes{9, 9, 9});
    fs::create_symlink("kept.bin", dir / "Song.vmz");
    ASSERT_EQ(Tunepak("song.mod").exitCode, 0);
    EXPECT_FALSE(fs::is_symlink(dir / "Song.vmz"));
    EXPECT_TRUE(DamagedPackedFiles(dir).empty());
    EXPECT_EQ(ReadFile(dir / "kept.bin"), (Bytes{9, 9, 9}));
}

// A FIFO is not waited on: like a directory, it cannot be opened as a source and ends the run.
TEST_F(RunningBatchTest, AFifoMatchIsNotFound) {
    WriteFile(dir / "a.mod", ModModule(1, 2000, 8));
    ASSERT_EQ(mkfifo((dir / "b.mod").c_str(), 0600), 0);
    WriteFile(dir / "c.mod", ModModule(1, 2000, 9));
    Child run(TUNEPAK_EXE, "*.mod", dir);
    EXPECT_EQ(run.ReadRest(std::chrono::seconds(10)),
              "Converting \"*.mod\"\n"
              "A          (4 Kb -> 2 Kb)\n"
              "B          (Not found: 'b.mod'...\n");
    ASSERT_FALSE(run.timedOut);
    const int status = run.Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_FALSE(fs::exists(dir / "C.vmz"));
}

// Through a pipe, each line comes as soon as its file is done, not at the end of the run.
TEST_F(RunningBatchTest, LinesComeAsTheFilesAreDone) {
    WriteFile(dir / "a.mod", ModModule(1, 2000, 10));
    for (const char* name : {"b.mod", "c.mod", "d.mod"}) {
        WriteFile(dir / name, ModModule(31, 60000, 11));
    }
    Child run(TUNEPAK_EXE, "*.mod", dir);
    EXPECT_EQ(run.ReadLine(), "Converting \"*.mod\"\n");
    EXPECT_EQ(run.ReadLine(), "A          (4 Kb -> 2 Kb)\n");
    EXPECT_TRUE(run.Running());  // the three large files take a while longer
    const std::string rest = run.ReadRest();
    EXPECT_EQ(std::count(rest.begin(), rest.end(), '\n'), 3) << rest;
    EXPECT_EQ(run.Wait(), 0);
}

// A reader of the lines that goes away (as `tunepak "*.mod" | head -1` leaves it) stops no
// conversion: every file is converted whole and no hidden file is left. The broken pipe's
// signal used to end the run at its next line, leaving the files in progress hidden and the
// rest unconverted.
TEST_F(RunningBatchTest, AnOutputPipeWithoutReaderStopsNoConversion) {
    const std::vector<std::string> names = {"a", "b", "c", "d"};
    for (const std::string& name : names) WriteFile(dir / (name + ".mod"), ModModule(4, 8000, 13));
    Child run(TUNEPAK_EXE, "*.mod", dir);
    run.CloseOutput();  // before its first line, so that every line meets the broken pipe
    const int status = run.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (const std::string& name : names) {
        std::string packed = name + ".vmz";
        packed[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(packed[0])));
        EXPECT_TRUE(fs::exists(dir / packed)) << packed;
    }
    EXPECT_EQ(DamagedPackedFiles(dir), std::vector<std::string>{});
    EXPECT_EQ(HiddenFiles(dir), std::vector<std::string>{});
}

// tunepak-info's extracted images are written as tunepak's outputs are: a reader of its report
// that goes away (or an interruption) leaves no hidden file and ends no extraction.
TEST_F(RunningBatchTest, InfoExtractsEveryImageWhenItsReportHasNoReader) {
    for (const char* name : {"a.mod", "b.mod"}) WriteFile(dir / name, ModModule(2, 4000, 16));
    ASSERT_EQ(Tunepak("'*.mod'").exitCode, 0);
    Child info(TUNEPAK_INFO_EXE, {"--extract=out", "A.vmz", "B.vmz"}, dir);
    info.CloseOutput();
    const int status = info.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(fs::exists(dir / "out" / "A.am"));
    EXPECT_TRUE(fs::exists(dir / "out" / "B.am"));
    EXPECT_TRUE(HiddenFiles(dir / "out").empty());
}

// A source cut short while it is read (here by the tests' build of tunepak, as soon as it is
// open) is not converted, and the earlier output stays.
TEST_F(RunningBatchTest, ASourceThatChangesWhileReadIsRefused) {
    WriteFile(dir / "song.mod", ModModule(2, 4000, 12));
    WriteFile(dir / "Song.vmz", Bytes{1, 2, 3});
    Child run(TUNEPAK_TRUNCATING_EXE, "song.mod", dir);
    EXPECT_EQ(run.ReadRest(), "Converting \"song.mod\"\n"
                              "Song       (10 Kb -> failed: source changed while being read)\n");
    EXPECT_EQ(WEXITSTATUS(run.Wait()), 2);
    EXPECT_EQ(ReadFile(dir / "Song.vmz"), (Bytes{1, 2, 3}));
}

// A run interrupted at any moment leaves every output whole, the earlier one or the new one;
// Ctrl-C or a termination request also takes the hidden files in progress away, and ends the
// run as the signal does. A kill cannot be caught, so it may leave a hidden file, nothing worse.
TEST_F(RunningBatchTest, AnInterruptedRunLeavesEveryOutputWhole) {
    fs::create_directory(dir / "in");
    for (int i = 0; i < 8; ++i) {
        WriteFile(dir / "in" / ("song" + std::to_string(i) + ".mod"),
                  ModModule(1 + 4 * i, 20000 + 3000 * static_cast<std::size_t>(i),
                            100 + static_cast<std::uint32_t>(i)));
    }
    const fs::path out = dir / "out";
    fs::create_directory(out);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Tunepak("../in/'*.mod'", out).exitCode, 0);
    const auto whole = std::chrono::steady_clock::now() - start;

    constexpr int moments = 8;
    for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
        for (int moment = 0; moment < moments; ++moment) {
            SCOPED_TRACE("signal " + std::to_string(signal) + ", moment " + std::to_string(moment));
            if (moment % 2 == 0) {  // half of the runs replace earlier outputs, half start afresh
                for (const auto& entry : fs::directory_iterator(out)) {
                    if (entry.path().extension() != ".vmz") fs::remove(entry.path());
                }
            } else {
                fs::remove_all(out);
                fs::create_directory(out);
            }
            Child run(TUNEPAK_EXE, "../in/*.mod", out);
            std::this_thread::sleep_for(whole * moment / moments);
            run.Signal(signal);
            const int status = run.Wait();
            EXPECT_TRUE(WIFEXITED(status) ? WEXITSTATUS(status) == 0 : WTERMSIG(status) == signal);
            EXPECT_EQ(DamagedPackedFiles(out), std::vector<std::string>{});
            if (signal != SIGKILL) {
                EXPECT_EQ(HiddenFiles(out), std::vector<std::string>{});
            }
        }
    }
}

// Packing on several threads changes nothing that a run shows or writes: the same files and the
// same lines in the order of the files, with files of very different sizes, a file that fails,
// two of one output name, and a stop at a match that cannot be opened.
TEST_F(RunningBatchTest, EveryThreadCountMakesTheSameRun) {
    const fs::path in = dir / "in";
    fs::create_directory(in);
    std::vector<std::string> names;
    for (int i = 0; i < 14; ++i) {
        const std::string name = "song" + std::to_string(10 + i) + (i == 8 ? ".xm" : ".mod");
        names.push_back(name);
        const auto seed = static_cast<std::uint32_t>(200 + i);
        if (i == 5) {
            WriteFile(in / name, Bytes(3000, 0x42));
        } else if (i == 8) {
            WriteFile(in / "song17.xm", ModModule(2, 1000, seed));  // Song17.vmz once more
            names.back() = "song17.xm";
        } else if (i == 11) {
            fs::create_directory(in / name);
        } else {
            WriteFile(in / name, i % 4 == 0 ? ModModule(31, 40000, seed) : ModModule(1, 400, seed));
        }
    }
    std::sort(names.begin(), names.end());

    std::vector<std::string> texts;
    std::vector<std::vector<std::pair<std::string, Bytes>>> outputs;
    for (const char* threads : {"1", "2", "8"}) {
        const fs::path out = dir / ("out" + std::string(threads));
        fs::create_directory(out);
        Child run(TUNEPAK_EXE, "../in/*", out,
                  {.environment = {std::string("TUNEPAK_JOBS=") + threads}});
        texts.push_back(run.ReadRest());
        const int status = run.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << threads << " threads";
        std::vector<std::pair<std::string, Bytes>> files;
        for (const auto& entry : fs::directory_iterator(out)) {
            files.emplace_back(entry.path().filename().string(), ReadFile(entry.path()));
        }
        std::sort(files.begin(), files.end());
        outputs.push_back(std::move(files));
    }
    EXPECT_EQ(texts[1], texts[0]);
    EXPECT_EQ(texts[2], texts[0]);
    EXPECT_EQ(outputs[1], outputs[0]);
    EXPECT_EQ(outputs[2], outputs[0]);

    // One line per file in file order, up to the stop.
    std::istringstream lines(texts[0]);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Converting \"../in/*\"");
    for (const std::string& name : names) {
        if (!std::getline(lines, line)) break;
        const std::string base = name.substr(0, 6);
        EXPECT_EQ(line.substr(0, 6), "S" + base.substr(1)) << line;
        if (name == "song15.mod") {
            EXPECT_NE(line.find("failed: unrecognised or damaged module)"), std::string::npos);
        } else if (name == "song17.xm") {
            EXPECT_NE(line.find("failed: Song17.vmz already holds song17.mod)"), std::string::npos);
        } else if (name == "song21.mod") {
            EXPECT_EQ(line, "Song21     (Not found: '../in/song21.mod'...");
        } else {
            EXPECT_EQ(line.substr(line.size() - 4), " Kb)") << line;
        }
    }
    EXPECT_FALSE(std::getline(lines, line)) << line;
    EXPECT_EQ(outputs[0].size(), 9u);  // 11 files before the stop, less the two that failed
}

TEST_F(RunningBatchTest, AnInvalidThreadCountIsRefusedBeforeAnything) {
    WriteFile(dir / "song.mod", ModModule(1, 400, 1));
    for (const char* setting : {"0", "65", "two", "3x", ""}) {
        const test::Outcome run =
            temporary.Run("/usr/bin/env", std::string("TUNEPAK_JOBS='") + setting +
                                              "' '" TUNEPAK_EXE "' song.mod");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, std::string("tunepak: TUNEPAK_JOBS must be a whole number from 1 to 64, "
                                       "not '") + setting + "'\n");
        EXPECT_FALSE(fs::exists(dir / "Song.vmz"));
    }
}

}  // namespace
}  // namespace tunepak
