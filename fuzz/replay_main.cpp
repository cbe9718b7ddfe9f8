// A fuzz target's entry point as a plain program: every regular file under the folders it is
// given (a folder that is not there is passed over), in name order, goes once through
// LLVMFuzzerTestOneInput, after LLVMFuzzerInitialize when the target has one. Each file's
// name is printed before it runs, so a crash names its input. A file it cannot read, a
// folder entry that is neither a file nor a folder, or no input at all fails the run.
//   fuzz_replay_<target> FOLDER...
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
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
    for (const fs::path& input : inputs) {
        const std::vector<std::uint8_t> bytes = read(input);
        std::fprintf(stderr, "fuzz replay: %s (%zu bytes)\n", input.c_str(), bytes.size());
        // A copy of exactly its size on the heap, as libFuzzer hands it: a read past the
        // end is the sanitizer's to see.
        const std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), data.get());
        LLVMFuzzerTestOneInput(data.get(), bytes.size());
    }
    std::fprintf(stderr, "fuzz replay: %zu inputs ran\n", inputs.size());
    return 0;
}
