// Packing and saving loaded files on a pool of threads, with their console lines in file order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "io/services.h"

namespace tunepak {

// One file's console line, and what is left to do for it: with an image, packing and saving it
// and ending the line; without, nothing (the line is whole).
struct Job {
    enum class Outcome { written, failed, notFound };

    std::string line;
    Outcome outcome = Outcome::written;
    std::string sourceName;  // as matched, without the directory
    std::string outputName;
    WorkBuffer image;
};

// Ends the job's line with why the file did not convert.
void Fail(Job& job, std::string_view reason);

// Packing (compressing, sealing, saving) takes nearly all of a conversion's time, and files are
// independent once loaded: a pool of threads packs the images handed over while the caller loads
// the files after them. Each file's line is printed and flushed as soon as it and every line
// before it are whole, so the lines keep the order of the files, and the output is the same for
// every number of threads:
// - an output name is written once in a run: a file whose name an earlier file holds fails, and
//   waits while an earlier file of its name is not done;
// - the files handed over and not yet done hold at most `mostHeldBytes` together (each its
//   image and a piece of compressed bytes, HeldBy), and at most `mostFilesAhead_` files are
//   unprinted: Submit waits for room. A file that needs more than the limit is handed over
//   when no other file holds any.
// Should no thread be had, files are packed by the caller as they come.
class PackingPool {
public:
    static constexpr std::size_t mostHeldBytes = std::size_t{256} << 20;
    static constexpr unsigned mostThreads = 64;

    // Starts `threads` threads (1 to mostThreads).
    explicit PackingPool(unsigned threads);
    PackingPool(const PackingPool&) = delete;
    PackingPool& operator=(const PackingPool&) = delete;
    ~PackingPool() { Finish(); }

    // Hands a job over, once there is room for it. Jobs are taken in the order of the files.
    void Submit(Job job);

    // Waits for every job to be done and returns the exit code of the run.
    int Finish();

    // The memory a job holds while it waits and while it is packed.
    static std::size_t HeldBy(const Job& job);

private:
    enum class State { waiting, packing, done };
    struct Entry {
        Job job;
        State state = State::waiting;
        std::size_t held = 0;  // of heldBytes_, until it is done
    };

    void Work();
    // Packs one waiting job, if one may go now; false when none may. Called with the lock held;
    // gives it up while packing.
    bool PackNext(std::unique_lock<std::mutex>& lock);
    Entry* NextToPack();
    void PrintFinished();
    bool Waiting() const;

    std::mutex mutex_;
    std::condition_variable work_;  // a job may have become ready, or the run is closing
    std::condition_variable room_;  // a job is done or printed
    std::deque<Entry> entries_;     // in file order, from the first not yet printed
    std::size_t mostFilesAhead_;
    std::size_t heldBytes_ = 0;
    // The outputs written in this run, each with the source it holds.
    std::map<std::string, std::string> written_;
    bool closing_ = false;
    int exitCode_;
    std::vector<std::thread> threads_;
};

}  // namespace tunepak
