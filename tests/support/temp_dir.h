#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessuro::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::filesystem::path& path() const noexcept { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, std::string_view content);

enum class PlistFormat { Xml, Binary };

// Writes "<bundle>/Contents/Info.plist": a dictionary with the given string entries.
void writeInfoPlist(const std::filesystem::path& bundle,
                    const std::vector<std::pair<std::string, std::string>>& strings,
                    PlistFormat format = PlistFormat::Xml);

// A bundle "<bundle>/Contents/MacOS/<name>" holding a copy of the test program, with an
// Info.plist naming the identifier. Returns the executable's path.
std::filesystem::path makeAppBundle(const std::filesystem::path& bundle,
                                    std::string_view bundleIdentifier,
                                    PlistFormat format = PlistFormat::Xml);

// Makes a FIFO (and its folders) at the path.
void makeFifo(const std::filesystem::path& path);

// Whether `work` ends within `seconds`. If it is still running then, the FIFO is opened for
// writing and closed, which releases a reader stuck opening or reading it: a test of a
// read that must not block fails instead of hanging.
bool endsWithin(double seconds, const std::filesystem::path& fifo,
                const std::function<void()>& work);

// An identifier that no other process of the machine carries.
std::string uniqueBundleIdentifier(std::string_view stem);

}  // namespace tessuro::test
