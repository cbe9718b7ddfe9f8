// CodeResources reading against a small fixed bundle: any bytes as the resource seal.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "codesign/resource_seal_check.h"
#include "platform/error.h"

namespace {

std::filesystem::path root;
int contents = -1;

void removeRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

void write(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "fuzz-resources-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    root = pattern;
    std::atexit(removeRoot);
    write(root / "Contents/Resources/a.txt", "a");
    write(root / "Contents/Resources/en.lproj/b.strings", "b");
    write(root / "Contents/MacOS/Tessuro", "#!/bin/sh\n");
    std::filesystem::create_symlink("Resources/a.txt", root / "Contents/link");
    contents = ::open((root / "Contents").c_str(), O_RDONLY | O_DIRECTORY);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        tessuro::codesign::checkResourceSeal(tessuro::codesign::ByteView(data, size), contents,
                                             {"MacOS/Tessuro"});
    } catch (const tessuro::Error&) {
    }
    return 0;
}
