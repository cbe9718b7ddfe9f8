#pragma once

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file_system.h"

namespace tessuro::test {

// The real file operations, numbered from 1 and logged, with faults on demand. A fault fails
// the operation of that number with a POSIX error, as a real one would: before it runs, or
// after (a copy cut short, which removes what it wrote; a sync whose write-back failed; a
// removal that stopped half-way). `beforeEach` sees each operation before it runs, so that
// a test can change the disk at that exact instant.
class RecordingFileSystem final : public FileSystem {
public:
    struct Fault {
        int errnum = EIO;
        bool afterRunning = false;
    };
    std::map<int, Fault> faults;
    bool exchangeUnsupported = false;
    std::function<void(const std::string&)> beforeEach;
    std::vector<std::string> log;

    void createDirectories(const std::filesystem::path& folder) override {
        run("createDirectories", [&] { return real_.createDirectories(folder); });
    }
    UniqueFd openDirectory(const std::filesystem::path& folder) override {
        return run("openDirectory", [&] { return real_.openDirectory(folder); });
    }
    UniqueFd openDirectoryAt(int folder, const std::string& name) override {
        return run("openDirectoryAt " + name, [&] { return real_.openDirectoryAt(folder, name); });
    }
    std::optional<struct stat> statAt(int folder, const std::string& name, bool follow) override {
        return run("statAt " + name, [&] { return real_.statAt(folder, name, follow); });
    }
    std::string readFileAt(int folder, const std::filesystem::path& relative,
                           std::size_t maxBytes) override {
        return run("readFileAt " + relative.string(),
                   [&] { return real_.readFileAt(folder, relative, maxBytes); });
    }
    UniqueFd openTree(const std::filesystem::path& top) override {
        return run("openTree", [&] { return real_.openTree(top); });
    }
    CopiedTree copyTree(int source, const std::filesystem::path& sourcePath, int folder,
                        const std::string& name, const CopiedFile& copied) override {
        return run("copyTree " + name, [&] {
            CopiedTree made = real_.copyTree(source, sourcePath, folder, name, copied);
            if (faults.contains(static_cast<int>(log.size()))) {
                // A failed copy removes what it wrote.
                real_.removeTree(folder, name, made.identity);
            }
            return made;
        });
    }
    void dropExecuteBits(int folder, const std::vector<std::filesystem::path>& relative) override {
        run("dropExecuteBits", [&] { return real_.dropExecuteBits(folder, relative); });
    }
    void syncFileSystem(int folder) override {
        run("syncFileSystem", [&] { return real_.syncFileSystem(folder); });
    }
    void syncDirectory(int folder) override {
        run("syncDirectory", [&] { return real_.syncDirectory(folder); });
    }
    void renameAt(int folder, const std::string& from, const std::string& to,
                  RenameMode mode) override {
        bool exchange = mode == RenameMode::Exchange;
        run((exchange ? "exchange " : "rename ") + from + " " + to, [&] {
            if (exchange && exchangeUnsupported) {
                throw Error(std::string(kPosixErrorDomain), EINVAL, "exchange unsupported");
            }
            return real_.renameAt(folder, from, to, mode);
        });
    }
    bool removeTree(int folder, const std::string& name, const FileIdentity& expected) override {
        return run("removeTree " + name, [&] { return real_.removeTree(folder, name, expected); });
    }

private:
    template <class Operation>
    auto run(const std::string& what, Operation operation) -> decltype(operation()) {
        log.push_back(what);
        if (beforeEach) {
            beforeEach(what);
        }
        auto fault = faults.find(static_cast<int>(log.size()));
        if (fault == faults.end()) {
            return operation();
        }
        const Error injected(std::string(kPosixErrorDomain), fault->second.errnum,
                             "injected failure of operation " + std::to_string(log.size()));
        if (fault->second.afterRunning) {
            operation();
        }
        throw injected;
    }

    FileSystem& real_ = systemFileSystem();
};

}  // namespace tessuro::test
