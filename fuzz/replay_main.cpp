// A fuzz target's entry point as a plain program: every regular file under the folders it is
// given (a folder that is not there is passed over), in name order, goes once through
// LLVMFuzzerTestOneInput, after LLVMFuzzerInitialize when the target has one. Each file's
// name is printed before it runs, so a crash names its input. A file it cannot read, a
// folder entry that is neither a file nor a folder, or no input at all fails the run, and so
// does an input that takes more than 5 seconds or grows the process past 2 GB resident (the
// inputs here take milliseconds and megabytes; libFuzzer stops at the same 2 GB).
//   fuzz_replay_<target> FOLDER...
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "fuzz replay: %s\n", message.c_str());
    std::exit(1);
}

// The regular files under folder, sub-folders included, as libFuzzer reads a corpus.
void collect(const fs::path& folder, std::vector<fs::path>& inputs) {
    std::error_code error;
    const fs::file_status status = fs::status(folder, error);
    if (status.type() == fs::file_type::not_found) {
        std::fprintf(stderr, "fuzz replay: %s: no such folder, passed over\n", folder.c_str());
        return;
    }
    if (error) {
        fail(folder.string() + ": " + error.message());
    }
    if (!fs::is_directory(status)) {
        fail(folder.string() + ": not a folder");
    }
    fs::recursive_directory_iterator it(folder, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code entryError;
        const fs::file_status entry = it->status(entryError);
        if (fs::is_regular_file(entry)) {
            inputs.push_back(it->path());
        } else if (!fs::is_directory(entry)) {
            fail(it->path().string() + ": neither a file nor a folder" +
                 (entryError ? " (" + entryError.message() + ")" : ""));
        }
    }
    if (error) {
        fail(folder.string() + ": " + error.message());
    }
}

std::vector<std::uint8_t> read(const fs::path& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        const int cause = errno;
        fail("cannot read " + path.string() + ": " + std::strerror(cause));
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    if (std::ferror(file.get())) {
        const int cause = errno;
        fail("cannot read " + path.string() + ": " + std::strerror(cause));
    }
    return bytes;
}

constexpr auto kTimePerInput = std::chrono::seconds(5);
constexpr std::uint64_t kResidentLimit = std::uint64_t{2048} << 20;

std::uint64_t residentBytes() {
    unsigned long long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        if (std::fscanf(statm, "%*u %llu", &pages) != 1) {
            pages = 0;
        }
        std::fclose(statm);
    }
    return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// Ends the process when the input running takes too long or too much memory.
class Watchdog {
public:
    Watchdog() : thread_([this](std::stop_token stop) { watch(stop); }) {}

    void running(const fs::path* input) {
        since_ = std::chrono::steady_clock::now().time_since_epoch().count();
        input_ = input;
    }

private:
    void watch(std::stop_token stop) {
        std::mutex mutex;
        std::unique_lock lock(mutex);
        while (!stop.stop_requested()) {
            // A sleep that the end of the run cuts short.
            wake_.wait_for(lock, stop, std::chrono::milliseconds(50), [] { return false; });
            const fs::path* input = input_;
            if (input == nullptr) {
                continue;
            }
            const std::chrono::steady_clock::duration took =
                std::chrono::steady_clock::now().time_since_epoch() -
                std::chrono::steady_clock::duration(since_);
            if (took > kTimePerInput) {
                std::fprintf(stderr, "fuzz replay: %s took more than %lld seconds\n",
                             input->c_str(), static_cast<long long>(kTimePerInput.count()));
                std::_Exit(1);
            }
            if (residentBytes() > kResidentLimit) {
                std::fprintf(stderr, "fuzz replay: %s grew the process past %llu MB resident\n",
                             input->c_str(), static_cast<unsigned long long>(kResidentLimit >> 20));
                std::_Exit(1);
            }
        }
    }

    std::atomic<const fs::path*> input_{nullptr};
    std::atomic<std::chrono::steady_clock::rep> since_{0};
    std::condition_variable_any wake_;
    std::jthread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fail("usage: " + std::string(argv[0]) + " FOLDER...");
    }
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> found;
        collect(argv[i], found);
        std::sort(found.begin(), found.end());
        inputs.insert(inputs.end(), found.begin(), found.end());
    }
    if (inputs.empty()) {
        fail("no input to run");
    }
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    Watchdog watchdog;
    for (const fs::path& input : inputs) {
        const std::vector<std::uint8_t> bytes = read(input);
        std::fprintf(stderr, "fuzz replay: %s (%zu bytes)\n", input.c_str(), bytes.size());
        // A copy of exactly its size on the heap, as libFuzzer hands it: a read past the
        // end is the sanitizer's to see.
        const std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), data.get());
        watchdog.running(&input);
        LLVMFuzzerTestOneInput(data.get(), bytes.size());
        watchdog.running(nullptr);
    }
    std::fprintf(stderr, "fuzz replay: %zu inputs ran\n", inputs.size());
    return 0;
}
