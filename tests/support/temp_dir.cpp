#include "temp_dir.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <future>
#include <stdexcept>
#include <thread>

namespace tessuro::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessuro-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void makeFifo(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    if (::mkfifo(path.c_str(), 0666) != 0) {
        throw std::runtime_error("mkfifo failed: " + path.string());
    }
}

bool endsWithin(double seconds, const std::filesystem::path& fifo,
                const std::function<void()>& work) {
    std::promise<void> done;
    std::future<void> ended = done.get_future();
    std::thread worker([&] {
        work();
        done.set_value();
    });
    bool inTime =
        ended.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
    while (ended.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    worker.join();
    return inTime;
}

void writeFile(const std::filesystem::path& path, std::string_view content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void writeInfoPlist(const std::filesystem::path& bundle,
                    const std::vector<std::pair<std::string, std::string>>& strings,
                    PlistFormat format) {
    plist_t dict = plist_new_dict();
    for (const auto& [key, value] : strings) {
        plist_dict_set_item(dict, key.c_str(), plist_new_string(value.c_str()));
    }
    char* data = nullptr;
    uint32_t length = 0;
    if (format == PlistFormat::Xml) {
        plist_to_xml(dict, &data, &length);
    } else {
        plist_to_bin(dict, &data, &length);
    }
    plist_free(dict);
    std::string bytes(data, length);
    std::free(data);
    writeFile(bundle / "Contents" / "Info.plist", bytes);
}

std::filesystem::path makeAppBundle(const std::filesystem::path& bundle,
                                    std::string_view bundleIdentifier, PlistFormat format) {
    std::filesystem::path executable = bundle / "Contents" / "MacOS" / "Tessuro";
    std::filesystem::create_directories(executable.parent_path());
    std::filesystem::copy_file(TESSURO_TEST_APP, executable,
                               std::filesystem::copy_options::overwrite_existing);
    writeInfoPlist(
        bundle,
        {{"CFBundleIdentifier", std::string(bundleIdentifier)}, {"CFBundleExecutable", "Tessuro"}},
        format);
    return executable;
}

std::string uniqueBundleIdentifier(std::string_view stem) {
    static std::atomic<int> counter{0};
    return std::string(stem) + "." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

}  // namespace tessuro::test
