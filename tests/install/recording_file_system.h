#pragma once

#include <cerrno>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file_system.h"

namespace tessuro::test {

// The real file operations, counted and logged, with faults on demand: the operations
// whose numbers are in `failAt` throw an I/O error instead of running, except the copy,
// which runs and then fails, as a copy cut short would. `beforeEach` sees each operation
// before it runs.
class RecordingFileSystem final : public FileSystem {
public:
    std::set<int> failAt;
    bool exchangeUnsupported = false;
    std::function<void(const std::string&)> beforeEach;
    std::vector<std::string> log;

    int count() const { return static_cast<int>(log.size()); }

    void createDirectories(const std::filesystem::path& folder) override {
        step("createDirectories");
        real_.createDirectories(folder);
    }
    UniqueFd openDirectory(const std::filesystem::path& folder) override {
        step("openDirectory");
        return real_.openDirectory(folder);
    }
    std::optional<struct stat> statAt(int folder, const std::string& name, bool follow) override {
        step("statAt " + name);
        return real_.statAt(folder, name, follow);
    }
    UniqueFd openDirectoryAt(int folder, const std::string& name) override {
        step("openDirectoryAt " + name);
        return real_.openDirectoryAt(folder, name);
    }
    std::string readFileAt(int folder, const std::filesystem::path& relative,
                           std::size_t maxBytes) override {
        step("readFileAt " + relative.string());
        return real_.readFileAt(folder, relative, maxBytes);
    }
    void copyTree(const std::filesystem::path& source, int folder,
                  const std::string& name) override {
        bool fails = step("copyTree " + name, /*failHere=*/false);
        real_.copyTree(source, folder, name);
        if (fails) {
            throw injected();
        }
    }
    void syncTree(int folder, const std::string& name) override {
        step("syncTree " + name);
        real_.syncTree(folder, name);
    }
    void syncDirectory(int folder) override {
        step("syncDirectory");
        real_.syncDirectory(folder);
    }
    void renameAt(int folder, const std::string& from, const std::string& to,
                  RenameMode mode) override {
        bool exchange = mode == RenameMode::Exchange;
        step((exchange ? "exchange " : "rename ") + from + " " + to);
        if (exchange && exchangeUnsupported) {
            throw Error(std::string(kPosixErrorDomain), EINVAL, "exchange unsupported");
        }
        real_.renameAt(folder, from, to, mode);
    }
    void removeTree(int folder, const std::string& name) override {
        step("removeTree " + name);
        real_.removeTree(folder, name);
    }

private:
    Error injected() const {
        return Error(std::string(kPosixErrorDomain), EIO,
                     "injected failure of operation " + std::to_string(count()));
    }
    bool step(const std::string& what, bool failHere = true) {
        log.push_back(what);
        if (beforeEach) {
            beforeEach(what);
        }
        bool fails = failAt.count(count()) > 0;
        if (fails && failHere) {
            throw injected();
        }
        return fails;
    }

    FileSystem& real_ = systemFileSystem();
};

}  // namespace tessuro::test
