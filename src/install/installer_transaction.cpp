// The install transaction. The steps keep one promise: whenever the process stops, the
// destination holds the previous bundle or the new, verified one, and nothing else of
// ours stands beside it but the two hidden names of the run.
//
// Step by step: refuse self-replacement, verify the source, open the destination folder,
// inspect what stands there, copy to a hidden staging name, verify the copy, put it on
// disk, check the destination did not change, swap, verify the installed bundle, and
// either remove the replaced bundle in the background or undo the swap.

#include "install/installer_transaction.h"

#include <fcntl.h>

#include <cerrno>
#include <condition_variable>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "install/destination_inspection.h"
#include "platform/error.h"
#include "platform/tree_copy.h"
#include "platform/uuid.h"

namespace tessuro::InstallerTransaction {
namespace {

constexpr const char* kSelfReplacement = "不能用安装源替换它自己";
constexpr const char* kDestinationChanged = "安装期间目标文件发生变化，未替换，请重试";

bool isPosix(const Error& error, int code) {
    return error.domain() == kPosixErrorDomain && error.code() == code;
}

// Errors with which a file system says it cannot exchange two names atomically.
bool exchangeUnsupported(const Error& error) {
    return isPosix(error, EINVAL) || isPosix(error, ENOSYS) || isPosix(error, EOPNOTSUPP);
}

// One call's folder, names and file operations.
class Run {
public:
    Run(FileSystem& files, int folder, std::filesystem::path folderPath, std::string name)
        : files_(files),
          folder_(folder),
          folderPath_(std::move(folderPath)),
          name_(std::move(name)) {
        std::string uuid = randomUuidText();
        staging_ = ".Tessuro-安装中-" + uuid + ".app";
        backup_ = ".Tessuro-旧版-" + uuid + ".previous";
    }

    const std::string& staging() const { return staging_; }
    const std::string& backup() const { return backup_; }
    std::filesystem::path pathOf(const std::string& name) const { return folderPath_ / name; }

    void removeQuietly(const std::string& name) noexcept {
        try {
            files_.removeTree(folder_, name);
        } catch (...) {
        }
    }

    void syncQuietly() noexcept {
        try {
            files_.syncDirectory(folder_);
        } catch (...) {
        }
    }

    // The new copy replaces the previous bundle, identified before as `identity`. The
    // exchange is atomic: at every instant the destination holds one complete bundle.
    void replace(const std::string& identity) {
        try {
            files_.renameAt(folder_, staging_, name_, RenameMode::Exchange);
        } catch (const Error& error) {
            if (!exchangeUnsupported(error)) {
                removeQuietly(staging_);
                throw;
            }
            replaceInTwoMoves();
            return;
        }
        try {
            // What went out must be what was checked; then it takes the backup name.
            std::optional<struct stat> out = files_.statAt(folder_, staging_, false);
            if (!out || identityOf(*out) != identity) {
                throw installerError(kDestinationChanged);
            }
            files_.renameAt(folder_, staging_, backup_, RenameMode::NoReplace);
        } catch (...) {
            try {
                files_.renameAt(folder_, staging_, name_, RenameMode::Exchange);
                removeQuietly(staging_);
            } catch (...) {
                // The new, verified copy stays in place; what it replaced stays hidden.
            }
            throw;
        }
    }

    // Without an atomic exchange: move the previous bundle aside, then the new one in.
    void replaceInTwoMoves() {
        try {
            files_.renameAt(folder_, name_, backup_, RenameMode::NoReplace);
        } catch (...) {
            removeQuietly(staging_);
            throw;
        }
        try {
            files_.renameAt(folder_, staging_, name_, RenameMode::NoReplace);
        } catch (...) {
            std::exception_ptr failure = std::current_exception();
            try {
                if (!files_.statAt(folder_, name_, false)) {
                    files_.renameAt(folder_, backup_, name_, RenameMode::NoReplace);
                }
            } catch (...) {
                failure = std::current_exception();  // the previous bundle stays at the backup
            }
            removeQuietly(staging_);
            std::rethrow_exception(failure);
        }
    }

    // A fresh install: the name must still be free. An item that appeared meanwhile, even
    // an empty folder, stays as it is.
    void moveIntoPlace() {
        try {
            files_.renameAt(folder_, staging_, name_, RenameMode::NoReplace);
        } catch (const Error& error) {
            removeQuietly(staging_);
            if (isPosix(error, ENOENT)) {
                throw installerError(kDestinationChanged);  // the folder vanished meanwhile
            }
            if (isPosix(error, EEXIST)) {
                std::optional<struct stat> there = files_.statAt(folder_, name_, false);
                if (!there || !S_ISLNK(there->st_mode)) {
                    throw installerError(kDestinationChanged);
                }
            }
            throw;
        }
    }

    // The installed copy was rejected: bring the previous bundle back first, then remove
    // the rejected one from a hidden name. Fails with `failure`, or with the error of a
    // restore that could not be made.
    [[noreturn]] void restore(bool previousExisted, std::exception_ptr failure) {
        if (previousExisted) {
            bool exchanged = false;
            try {
                files_.renameAt(folder_, backup_, name_, RenameMode::Exchange);
                exchanged = true;
            } catch (...) {
                // Without the exchange: the two moves below.
            }
            if (exchanged) {
                removeQuietly(backup_);
                syncQuietly();
                std::rethrow_exception(failure);
            }
        }
        // The rejected copy to a hidden name; if even that fails, it stays where it is.
        files_.renameAt(folder_, name_, staging_, RenameMode::NoReplace);
        if (previousExisted) {
            try {
                files_.renameAt(folder_, backup_, name_, RenameMode::NoReplace);
            } catch (...) {
                removeQuietly(staging_);
                throw;  // the previous bundle stays at the backup name
            }
        }
        removeQuietly(staging_);
        syncQuietly();
        std::rethrow_exception(failure);
    }

private:
    FileSystem& files_;
    int folder_;
    std::filesystem::path folderPath_;
    std::string name_;
    std::string staging_;
    std::string backup_;
};

// Background jobs still running; the process waits for them before it ends, so that a
// removal is not cut short and leaves half a backup behind.
std::mutex backgroundMutex;
std::condition_variable backgroundDone;
int backgroundJobs = 0;

void detached(std::function<void()> job) {
    {
        std::lock_guard lock(backgroundMutex);
        ++backgroundJobs;
    }
    std::thread([job = std::move(job)] {
        job();
        std::lock_guard lock(backgroundMutex);
        --backgroundJobs;
        backgroundDone.notify_all();
    }).detach();
}

}  // namespace

std::filesystem::path standardizedPath(const std::filesystem::path& path) {
    std::filesystem::path normal = std::filesystem::absolute(path).lexically_normal();
    if (normal.filename().empty() && normal.has_parent_path() && normal != normal.root_path()) {
        normal = normal.parent_path();
    }
    return normal;
}

std::optional<std::filesystem::path> install(const std::filesystem::path& source,
                                             const std::filesystem::path& destination,
                                             const Verify& verify) {
    return install(source, destination, verify, Environment{systemFileSystem(), detached});
}

std::optional<std::filesystem::path> install(const std::filesystem::path& source,
                                             const std::filesystem::path& destination,
                                             const Verify& verify, const Environment& environment) {
    FileSystem& files = environment.files;

    // 1. The source must not replace itself, by name or, through a link, by identity.
    const std::filesystem::path standardSource = standardizedPath(source);
    const std::filesystem::path standardDestination = standardizedPath(destination);
    if (standardSource == standardDestination) {
        throw installerError(kSelfReplacement);
    }
    std::optional<struct stat> sourceItem = files.statAt(AT_FDCWD, standardSource, true);
    std::optional<struct stat> destinationItem = files.statAt(AT_FDCWD, standardDestination, true);
    if (sourceItem && destinationItem && identityOf(*sourceItem) == identityOf(*destinationItem)) {
        throw installerError(kSelfReplacement);
    }

    // 2. The source itself. Its verification reads the payload while the steps up to the
    // copy run beside it; its failure still wins over theirs, and nothing of the copy
    // outlives it (the staged copy is hidden and removed).
    std::future<void> sourceVerified = std::async(std::launch::async, [&] { verify(source); });
    auto sourceFailure = [&sourceVerified]() -> std::exception_ptr {
        try {
            sourceVerified.get();
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    };

    // 3-6. The destination folder held open (every name below lives in it), what stands
    // there now and that it is ours to replace, this call's hidden names.
    const std::filesystem::path folderPath = standardDestination.parent_path();
    const std::string name = standardDestination.filename().string();
    UniqueFd folder;
    std::optional<std::string> before;
    try {
        if (name.empty()) {
            throw posixError(EINVAL, "无法安装到", destination);
        }
        files.createDirectories(folderPath);
        folder = files.openDirectory(folderPath);
        // The Info.plist is read through the folder whose identity was taken, never again
        // by name: a folder swapped in meanwhile cannot lend the check its own Info.plist.
        if (std::optional<DestinationItem> existing =
                inspectDestination(files, folder.get(), name)) {
            before = existing->identity;
            checkExistingBundle(files, *existing);
        }
    } catch (...) {
        std::exception_ptr failure = std::current_exception();
        if (std::exception_ptr earlier = sourceFailure()) {
            failure = earlier;
        }
        std::rethrow_exception(failure);
    }
    Run run(files, folder.get(), folderPath, name);

    // 7-9. The staged copy: copied, verified, on disk, and the destination unchanged.
    try {
        std::exception_ptr copyFailure;
        try {
            files.copyTree(source, folder.get(), run.staging());
        } catch (...) {
            copyFailure = std::current_exception();
        }
        if (std::exception_ptr failure = sourceFailure()) {
            std::rethrow_exception(failure);
        }
        if (copyFailure) {
            std::rethrow_exception(copyFailure);
        }
        // Both must be done before the swap, in either order: the disk writes the copy out
        // while the verification reads it back from memory.
        std::future<void> synced =
            std::async(std::launch::async, [&] { files.syncTree(folder.get(), run.staging()); });
        try {
            verify(run.pathOf(run.staging()));
        } catch (...) {
            synced.wait();
            if (!files.statAt(folder.get(), run.staging(), false)) {
                throw installerError(kDestinationChanged);  // the copy vanished with its folder
            }
            throw;
        }
        synced.get();
        std::optional<DestinationItem> after = inspectDestination(files, folder.get(), name);
        if ((after ? std::optional(after->identity) : std::nullopt) != before) {
            throw installerError(kDestinationChanged);
        }
    } catch (...) {
        run.removeQuietly(run.staging());
        throw;
    }

    // 10-12. The swap.
    const bool previousExisted = before.has_value();
    if (previousExisted) {
        run.replace(*before);
    } else {
        run.moveIntoPlace();
    }

    // 13. The installed bundle, with the swap on disk.
    try {
        files.syncDirectory(folder.get());
        verify(destination);
    } catch (...) {
        run.restore(previousExisted, std::current_exception());
    }

    // 14. Done. The replaced bundle goes in the background, by its hidden name only.
    if (!previousExisted) {
        return std::nullopt;
    }
    auto kept = std::make_shared<UniqueFd>(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0));
    if (kept->valid()) {
        environment.runLater([&files, kept, backup = run.backup()] {
            try {
                files.removeTree(kept->get(), backup);
            } catch (...) {
            }
        });
    }
    return run.pathOf(run.backup());
}

void waitForBackgroundWork() {
    std::unique_lock lock(backgroundMutex);
    backgroundDone.wait(lock, [] { return backgroundJobs == 0; });
}

void removeIfPresent(const std::filesystem::path& location) {
    try {
        removeTree(AT_FDCWD, location.string());
    } catch (...) {
    }
}

}  // namespace tessuro::InstallerTransaction
