#include "packing_pool.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "container.h"
#include "driver.h"

namespace tunepak {

namespace {

// Packs the job's image into its output file and ends its line.
void PackOne(Job& job) {
    const PackOutcome outcome = PackIntoFile(job.image.span(), job.outputName);
    job.image = WorkBuffer();
    switch (outcome.kind) {
        case PackOutcome::packed:
            job.line.append(std::to_string(SizeFigure(outcome.fileSize))).append(" Kb)\n");
            break;
        case PackOutcome::outOfMemory: Fail(job, "out of memory"); break;
        case PackOutcome::cannotWrite: Fail(job, "cannot write " + job.outputName); break;
    }
}

}  // namespace

void Fail(Job& job, std::string_view reason) {
    job.line.append("failed: ").append(reason).append(")\n");
    job.outcome = Job::Outcome::failed;
}

PackingPool::PackingPool(unsigned threads)
    : mostFilesAhead_(4 * std::size_t{threads} + 4), exitCode_(exitDone) {
    try {
        for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
        // Fewer threads than asked for, or none: then the caller packs.
    }
}

std::size_t PackingPool::HeldBy(const Job& job) {
    return job.image ? job.image.size() + packingPiece : 0;
}

void PackingPool::Submit(Job job) {
    const std::size_t held = HeldBy(job);
    const State state = job.image ? State::waiting : State::done;
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] {
        return entries_.empty() ||
               (entries_.size() < mostFilesAhead_ && heldBytes_ + held <= mostHeldBytes);
    });
    heldBytes_ += held;
    entries_.push_back({std::move(job), state, held});
    PrintFinished();
    if (threads_.empty()) {
        while (PackNext(lock)) {
        }
    } else {
        work_.notify_one();
    }
}

int PackingPool::Finish() {
    {
        std::unique_lock lock(mutex_);
        closing_ = true;
        if (threads_.empty()) {
            while (PackNext(lock)) {
            }
        }
    }
    work_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
    return exitCode_;
}

void PackingPool::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (PackNext(lock)) continue;
        if (closing_ && !Waiting()) return;
        work_.wait(lock);
    }
}

bool PackingPool::PackNext(std::unique_lock<std::mutex>& lock) {
    Entry* const entry = NextToPack();
    PrintFinished();  // finding it may have ended files
    if (entry == nullptr) return false;
    entry->state = State::packing;
    lock.unlock();
    PackOne(entry->job);  // the entry stays in place: only printed entries leave the front
    lock.lock();
    entry->state = State::done;
    heldBytes_ -= entry->held;
    if (entry->job.outcome == Job::Outcome::written) {
        written_.emplace(entry->job.outputName, entry->job.sourceName);
    }
    PrintFinished();
    room_.notify_one();
    work_.notify_all();  // a file of the same output name may go now
    return true;
}

// The first waiting job that may be packed now. On the way, a waiting job whose output name an
// earlier file has written fails; one whose name an earlier file not yet done may still write
// waits for it.
PackingPool::Entry* PackingPool::NextToPack() {
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
        if (entry->state != State::waiting) continue;
        Job& job = entry->job;
        if (const auto holder = written_.find(job.outputName); holder != written_.end()) {
            job.image = WorkBuffer();
            Fail(job, job.outputName + " already holds " + holder->second);
            entry->state = State::done;
            heldBytes_ -= entry->held;
            continue;
        }
        const bool nameInDoubt = std::any_of(entries_.begin(), entry, [&](const Entry& earlier) {
            return earlier.state != State::done && earlier.job.outputName == job.outputName;
        });
        if (!nameInDoubt) return &*entry;
    }
    return nullptr;
}

void PackingPool::PrintFinished() {
    bool printed = false;
    while (!entries_.empty() && entries_.front().state == State::done) {
        const Job& job = entries_.front().job;
        std::fputs(job.line.c_str(), stdout);
        std::fflush(stdout);  // a log or a killed run shows every line as soon as it is whole
        switch (job.outcome) {
            case Job::Outcome::written: break;
            case Job::Outcome::failed: exitCode_ = exitFailed; break;
            case Job::Outcome::notFound: exitCode_ = exitNotFound; break;
        }
        entries_.pop_front();
        printed = true;
    }
    if (printed) room_.notify_one();
}

bool PackingPool::Waiting() const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [](const Entry& entry) { return entry.state == State::waiting; });
}

}  // namespace tunepak
