#include "driver.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "container.h"
#include "io/memory_file.h"
#include "loaders/loaders.h"
#include "model/player.h"
#include "wildcard.h"
#include "writer/writer.h"

#ifndef TUNEPAK_VERSION
#define TUNEPAK_VERSION "unknown"
#endif

namespace tunepak {

namespace {

constexpr const char* usageText = "Usage : tunepak <SourceFile.ext>\n";

constexpr const char* helpText =
    "Converts tracker modules (MOD, S3M, XM, IT, MTM, 669, STM, FAR, ULT, PTM and AM) into\n"
    "packed .vmz modules in the current directory. The file name may hold the wildcards\n"
    "'*' and '?'; quote it so that the shell passes it on unexpanded.\n";

enum class Outcome { converted, failed, notFound };

// One file's console line, and what is left to do for it: with an image, packing and saving it
// and ending the line; without, nothing (the line is whole).
struct Job {
    std::string line;
    Outcome outcome = Outcome::converted;
    std::string outputName;
    WorkBuffer image;
};

void Fail(Job& job, std::string_view reason) {
    job.line.append("failed: ").append(reason).append(")\n");
    job.outcome = Outcome::failed;
}

// Loads the file and serialises the model into the job's image, releasing the model; or ends the
// job's line with why it cannot.
Job LoadOne(const std::string& path) {
    const std::string base = OutputBaseName(path);
    Job job;
    job.line = base;
    job.line.resize(std::max<std::size_t>(base.size(), 10), ' ');
    job.line += " (";
    job.outputName = base + ".vmz";

    UniqueFile source(std::fopen(path.c_str(), "rb"));
    struct stat info {};
    if (!source || fstat(fileno(source.get()), &info) != 0 || S_ISDIR(info.st_mode)) {
        job.line.append("Not found: '").append(path).append("'...\n");
        job.outcome = Outcome::notFound;
        return job;
    }
    job.line.append(std::to_string(SizeFigure(static_cast<unsigned long long>(info.st_size))))
        .append(" Kb -> ");

    const int result = LoadModule(source.get(), StreamFile);
    source.reset();
    if (result != ResultOk) {
        char buffer[32];
        Fail(job, LoadFailure(result, buffer));
    } else if (const std::uint64_t imageSize = WriteModule(nullptr, StreamFile);
               imageSize <= largestImage) {
        job.image = WorkBuffer(static_cast<std::size_t>(imageSize), WorkBuffer::Fill::none);
        if (job.image) {
            WriteModule(job.image.data(), StreamMemory);  // written whole
        } else {
            Fail(job, "out of memory");
        }
    } else {
        Fail(job, "out of memory");
    }
    ReleaseModule();
    return job;
}

// Packs the job's image into its output file and ends its line.
void PackOne(Job& job) {
    PackedModule packed;
    const bool packedOk = PackModule(job.image.span(), packed);
    job.image = WorkBuffer();  // the compressed bytes are all that is needed now
    if (!packedOk) {
        Fail(job, "out of memory");
    } else if (!WritePackedFile(job.outputName, packed)) {
        Fail(job, "cannot write " + job.outputName);
    } else {
        job.line.append(std::to_string(SizeFigure(packed.FileSize()))).append(" Kb)\n");
    }
}

// Packing takes nearly all of a conversion's time, and loading the next file needs nothing of
// it: a second thread packs and saves each image, and prints each file's line, while the first
// loads the files after it. Lines come out in the order of the files. The loading runs ahead by
// a few files at most (`mostWaitingJobs`, their images `mostWaitingBytes` together, or any one
// file): when that many wait, it waits until all are taken, so that the threads meet once a batch
// rather than once a file. Should no thread be had, jobs are done as they come.
class Packer {
public:
    static constexpr std::size_t mostWaitingJobs = 8;
    static constexpr std::size_t mostWaitingBytes = 16 << 20;

    Packer() {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
        }
    }
    Packer(const Packer&) = delete;
    Packer& operator=(const Packer&) = delete;
    ~Packer() { Finish(); }

    // Hands a job over, once there is room for it.
    void Submit(Job job) {
        if (!thread_.joinable()) {
            Complete(job);
            return;
        }
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] {
            return waiting_.empty() || (waiting_.size() < mostWaitingJobs &&
                                        waitingBytes_ + job.image.size() <= mostWaitingBytes);
        });
        waitingBytes_ += job.image.size();
        waiting_.push_back(std::move(job));
        work_.notify_one();
    }

    // Waits for every job to be done and returns the exit code of the run.
    int Finish() {
        {
            const std::lock_guard lock(mutex_);
            closing_ = true;
            work_.notify_one();
        }
        if (thread_.joinable()) thread_.join();
        return exitCode_;
    }

private:
    void Run() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock, [this] { return !waiting_.empty() || closing_; });
                if (waiting_.empty()) return;
                job = std::move(waiting_.front());
                waiting_.pop_front();
                waitingBytes_ -= job.image.size();
                if (waiting_.empty()) room_.notify_one();
            }
            Complete(job);
        }
    }

    void Complete(Job& job) {
        if (job.image) PackOne(job);
        std::fputs(job.line.c_str(), stdout);
        switch (job.outcome) {
            case Outcome::converted: break;
            case Outcome::failed: exitCode_ = exitFailed; break;
            case Outcome::notFound: exitCode_ = exitNotFound; break;
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;  // a job waits, or the run is closing
    std::condition_variable room_;  // no job waits any more
    std::deque<Job> waiting_;
    std::size_t waitingBytes_ = 0;
    bool closing_ = false;
    int exitCode_ = exitDone;  // the packing thread's until it is joined
    std::thread thread_;
};

}  // namespace

const char* LoadFailure(int result, char (&buffer)[32]) {
    switch (result) {
        case ResultBadFile: return "unrecognised or damaged module";
        case ResultNoMemory:
        case ResultNoPatternMemory:
        case ResultNoSampleMemory: return "out of memory";
        default: std::snprintf(buffer, sizeof buffer, "error %d", result); return buffer;
    }
}

std::string OutputBaseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (const std::size_t dot = name.rfind('.'); dot != std::string_view::npos) {
        name = name.substr(0, dot);
    }
    std::string base(name);
    for (char& c : base) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (!base.empty() && base[0] >= 'a' && base[0] <= 'z') {
        base[0] = static_cast<char>(base[0] - 'a' + 'A');
    }
    return base;
}

unsigned SizeFigure(unsigned long long bytes) { return static_cast<unsigned>((bytes + 512) / 1024); }

void KeepFreedMemoryForNextFile() {
    // Blocks up to the largest that the heap serves (32 MB) come from the heap rather than from
    // maps of their own, and up to 256 MB of free heap stays mapped. Only C libraries with these
    // settings (glibc) have them; the Windows heap keeps freed memory by itself.
#if defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}

int RunTunepak(int argc, const char* const* argv) {
    if (argc == 1) {
        const std::string_view argument = argv[0];
        if (argument == "--help" || argument == "-h") {
            std::printf("%s%s", usageText, helpText);
            return exitDone;
        }
        if (argument == "--version") {
            std::printf("tunepak %s\n", TUNEPAK_VERSION);
            return exitDone;
        }
    }
    if (argc != 1) {
        std::printf("%s", usageText);
        return exitUsage;
    }
    const std::string argument = argv[0];
    const std::size_t slash = argument.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : argument.substr(0, slash + 1);
    const std::string pattern = argument.substr(directory.size());

    std::printf("Converting \"%s\"\n", argument.c_str());
    const std::vector<std::string> matches = FindMatches(directory, pattern);
    if (matches.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "tunepak: no file matches '%s'\n", argument.c_str());
        return exitDone;
    }
    std::fflush(stdout);  // the packing thread prints from here on
    Packer packer;
    for (const std::string& name : matches) {
        Job job = LoadOne(directory + name);
        const bool last = job.outcome == Outcome::notFound;  // ends the run
        packer.Submit(std::move(job));
        if (last) break;
    }
    return packer.Finish();
}

}  // namespace tunepak
