// The install transaction. Its promise: whenever the process stops, the destination holds
// the previous bundle or the new, verified one, and nothing of ours stands beside it but
// the two hidden names of the run. Every item it moves or removes is known by its identity
// (device and inode) at every step: what another process puts at one of its names is never
// removed, and never replaced without a word.
//
// In order: refuse self-replacement, open the source and verify it, open the destination
// folder, inspect what stands there, stage a verified copy on disk under a hidden name,
// take the execute bits off what no seal covers, check the destination did not change,
// swap, verify the installed bundle, check it stands at the destination, and either remove
// the replaced bundle in the background or roll back.
//
// Every check reads through a descriptor: the source through the one it is copied from,
// the staged and the installed copy through the folder the copy made. Names in the
// destination folder can still be moved by whoever may write it; so what stands at each
// name is looked at after every move, by identity.

#include "install/installer_transaction.h"

#include <fcntl.h>

#include <cerrno>
#include <condition_variable>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "install/destination_inspection.h"
#include "platform/error.h"
#include "platform/thread_priority.h"
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

// Fails with `cause`, its text followed by what the rollback could not do; a cause that is
// not an Error is told as errorOf tells it, in the window's language.
[[noreturn]] void failWithNote(std::exception_ptr cause, const std::string& note) {
    const Error error = errorOf(cause);
    throw Error(error.domain(), error.code(), error.localizedDescription() + "；" + note);
}

// `job` on a thread of its own; without a thread to be had (the user's process limit, a
// full task group), on the caller's, when its outcome is waited for.
std::future<void> whenPossibleAside(std::function<void()> job) {
    try {
        return std::async(std::launch::async, job);
    } catch (const std::system_error&) {
        return std::async(std::launch::deferred, std::move(job));
    }
}

std::string previousKeptAt(const std::filesystem::path& where) {
    return "原来的版本未能恢复，保存在“" + where.string() + "”";
}

// One call's folder and names, and the identity of every item it moves: what stood at the
// destination when it was inspected, and the staged copy.
class Run {
public:
    Run(FileSystem& files, int folder, std::filesystem::path folderPath, std::string name,
        std::optional<FileIdentity> previous)
        : files_(files),
          folder_(folder),
          folderPath_(std::move(folderPath)),
          name_(std::move(name)),
          previous_(previous) {
        std::string uuid = randomUuidText();
        staging_ = ".Tessuro-安装中-" + uuid + ".app";
        backup_ = ".Tessuro-旧版-" + uuid + ".previous";
    }

    std::filesystem::path pathOf(const std::string& name) const { return folderPath_ / name; }
    const std::string& backup() const { return backup_; }

    // The staged copy: copied, on disk, verified, and the destination unchanged meanwhile.
    // The source's verification, `sourceFailure`, ends before anything is decided.
    void stage(int source, const std::filesystem::path& sourcePath, const Verify& verify,
               const std::function<std::exception_ptr()>& sourceFailure) {
        std::exception_ptr copyFailure;
        try {
            // Each staged file is read for its verification while the copy goes on.
            struct StopReadingAhead {
                codesign::VerificationSession& session;
                ~StopReadingAhead() { session.stopReadingAhead(); }
            } stop{session_};
            CopiedTree copy =
                files_.copyTree(source, sourcePath, folder_, staging_,
                                [&](int copied, const std::filesystem::path& relative) {
                                    session_.readAhead(copied, relative);
                                });
            stagedFolder_ = std::move(copy.folder);
            staged_ = copy.identity;
        } catch (...) {
            copyFailure = std::current_exception();  // the copy removed what it wrote
        }
        if (std::exception_ptr failure = sourceFailure()) {
            if (!copyFailure) {
                removeOwn(staging_, staged_);
            }
            std::rethrow_exception(failure);
        }
        if (copyFailure) {
            std::rethrow_exception(copyFailure);
        }
        try {
            checkStaged(verify);
        } catch (...) {
            removeOwn(staging_, staged_);
            throw;
        }
    }

    void swap() {
        if (previous_) {
            replacePrevious();
        } else {
            moveIntoPlace();
        }
    }

    // The installed bundle, with the swap on disk: the staged folder checked once more, and
    // found at the destination afterwards. A failure rolls back.
    HeldBundle verifyInstalled(const Verify& verify, const std::filesystem::path& destination) {
        VerifiedBundle verified;
        try {
            files_.syncDirectory(folder_);
            verified = verify(stagedFolder_.get(), destination, &session_);
            if (occupantOf(name_) != Occupant::Staged) {
                throw installerError(kDestinationChanged);  // moved away since the swap
            }
        } catch (...) {
            if (previous_) {
                restorePrevious(std::current_exception(), backup_);
            }
            removeRejected(std::current_exception());
        }
        return HeldBundle{destination, std::make_shared<const UniqueFd>(std::move(stagedFolder_)),
                          std::move(verified)};
    }

private:
    // What stands at a name, as far as the swap and the rollback need to know. Whatever the
    // calls before reported, decisions are taken on this: a network file system may report
    // an error for a rename it made. What cannot be told is someone else's.
    enum class Occupant { Nothing, Staged, Previous, Other };

    std::optional<FileIdentity> identityAt(const std::string& name) const {
        std::optional<struct stat> item = files_.statAt(folder_, name, /*follow=*/false);
        return item ? std::optional(identityOf(*item)) : std::nullopt;
    }

    Occupant occupantOf(const std::string& name) const noexcept {
        try {
            std::optional<FileIdentity> identity = identityAt(name);
            if (!identity) {
                return Occupant::Nothing;
            }
            if (*identity == staged_) {
                return Occupant::Staged;
            }
            return *identity == previous_ ? Occupant::Previous : Occupant::Other;
        } catch (...) {
            return Occupant::Other;
        }
    }

    // Removes the item at `name` only when it is the one this run made or moved there.
    void removeOwn(const std::string& name, const FileIdentity& identity) noexcept {
        try {
            files_.removeTree(folder_, name, identity);
        } catch (...) {
        }
    }

    void tryRename(const std::string& from, const std::string& to, RenameMode mode) noexcept {
        try {
            files_.renameAt(folder_, from, to, mode);
        } catch (...) {
        }
    }

    void syncQuietly() noexcept {
        try {
            files_.syncDirectory(folder_);
        } catch (...) {
        }
    }

    void checkStaged(const Verify& verify) {
        // Both before the swap, in either order: the disk writes the copy out while the
        // verification reads it back from memory.
        std::future<void> synced = whenPossibleAside([&] { files_.syncFileSystem(folder_); });
        std::exception_ptr rejected;
        VerifiedBundle verified;
        try {
            verified = verify(stagedFolder_.get(), pathOf(staging_), &session_);
        } catch (...) {
            rejected = std::current_exception();
        }
        synced.wait();
        if (identityAt(staging_) != staged_) {
            throw installerError(kDestinationChanged);  // gone with its folder, or replaced
        }
        if (rejected) {
            std::rethrow_exception(rejected);
        }
        synced.get();
        // The signature vouches for these files' contents, not for running them.
        files_.dropExecuteBits(stagedFolder_.get(), verified.unsealedExecutables);
        std::optional<DestinationItem> now = inspectDestination(files_, folder_, name_);
        if ((now ? std::optional(now->identity) : std::nullopt) != previous_) {
            throw installerError(kDestinationChanged);
        }
    }

    // The new copy takes the place of the previous bundle in one atomic exchange; the
    // previous bundle then takes the backup name.
    void replacePrevious() {
        try {
            files_.renameAt(folder_, staging_, name_, RenameMode::Exchange);
        } catch (const Error& error) {
            if (occupantOf(name_) != Occupant::Staged) {
                if (exchangeUnsupported(error)) {
                    replaceInTwoMoves();
                    return;
                }
                removeOwn(staging_, staged_);
                if (isPosix(error, ENOENT)) {
                    throw installerError(kDestinationChanged);  // the destination vanished
                }
                throw;
            }
        }
        if (occupantOf(name_) != Occupant::Staged) {
            undoForeignExchange();
        }
        // The staging name now holds what stood at the destination: the inspected bundle,
        // or something put there since.
        switch (occupantOf(staging_)) {
            case Occupant::Previous: break;
            case Occupant::Other: putBackWhatWasExchanged();
            case Occupant::Nothing:
            case Occupant::Staged:
                restorePrevious(std::make_exception_ptr(installerError(kDestinationChanged)),
                                staging_);
        }
        try {
            files_.renameAt(folder_, staging_, backup_, RenameMode::NoReplace);
        } catch (...) {
            if (occupantOf(backup_) != Occupant::Previous) {
                restorePrevious(std::current_exception(), staging_);
            }
        }
    }

    // The exchange took out something other than the inspected bundle, put at the
    // destination since the last look, or something that cannot be told: it goes back,
    // and the new copy is removed.
    [[noreturn]] void putBackWhatWasExchanged() {
        tryRename(staging_, name_, RenameMode::Exchange);
        if (occupantOf(staging_) != Occupant::Staged) {
            throw installerError("安装期间目标文件发生变化：新版本已安装，原位置的项目已移到“" +
                                 pathOf(staging_).string() + "”");
        }
        removeOwn(staging_, staged_);
        throw installerError(kDestinationChanged);
    }

    // What the exchange put at the destination was not the staged copy: something else took
    // the staging name meanwhile. The exchange is undone, and what stood at the staging
    // name goes back there, untouched: it is not ours.
    [[noreturn]] void undoForeignExchange() {
        tryRename(staging_, name_, RenameMode::Exchange);
        if (occupantOf(name_) != Occupant::Previous) {
            restorePrevious(std::make_exception_ptr(installerError(kDestinationChanged)), staging_);
        }
        removeOwn(staging_, staged_);  // it was ours after all, and could not be told
        throw installerError(kDestinationChanged);
    }

    // What was moved to the destination could not be told to be the staged copy, and may
    // have come from a staging name taken meanwhile: it goes back to that name, untouched,
    // and is removed only if it is ours.
    void moveBackWhatIsNotStaged() {
        tryRename(name_, staging_, RenameMode::NoReplace);
        removeOwn(staging_, staged_);
    }

    // Without an atomic exchange: the previous bundle aside, then the new one in.
    void replaceInTwoMoves() {
        try {
            files_.renameAt(folder_, name_, backup_, RenameMode::NoReplace);
        } catch (const Error& error) {
            if (occupantOf(backup_) == Occupant::Nothing) {
                removeOwn(staging_, staged_);
                if (isPosix(error, ENOENT)) {
                    throw installerError(kDestinationChanged);
                }
                throw;
            }
        }
        if (occupantOf(backup_) != Occupant::Previous) {
            // Not the inspected bundle, or it cannot be told: it goes back, untouched.
            putBackWhatWasMovedAside();
        }
        try {
            files_.renameAt(folder_, staging_, name_, RenameMode::NoReplace);
        } catch (const Error& error) {
            if (occupantOf(name_) != Occupant::Staged) {
                restorePrevious(isPosix(error, EEXIST)
                                    ? std::make_exception_ptr(installerError(kDestinationChanged))
                                    : std::current_exception(),
                                backup_);
            }
        }
        if (occupantOf(name_) != Occupant::Staged) {
            moveBackWhatIsNotStaged();
            restorePrevious(std::make_exception_ptr(installerError(kDestinationChanged)), backup_);
        }
    }

    [[noreturn]] void putBackWhatWasMovedAside() {
        tryRename(backup_, name_, RenameMode::NoReplace);
        removeOwn(staging_, staged_);
        if (occupantOf(backup_) != Occupant::Nothing) {
            throw installerError(std::string(kDestinationChanged) + "；原位置的项目已移到“" +
                                 pathOf(backup_).string() + "”");
        }
        throw installerError(kDestinationChanged);
    }

    // A fresh install: the name must still be free. An item that appeared meanwhile, even
    // an empty folder, stays as it is.
    void moveIntoPlace() {
        try {
            files_.renameAt(folder_, staging_, name_, RenameMode::NoReplace);
        } catch (const Error& error) {
            if (occupantOf(name_) == Occupant::Staged) {
                return;
            }
            removeOwn(staging_, staged_);
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
        if (occupantOf(name_) != Occupant::Staged) {
            moveBackWhatIsNotStaged();
            throw installerError(kDestinationChanged);
        }
    }

    // Puts the previous bundle, waiting at `aside`, back after `cause`: by an exchange where
    // the new copy stands at the destination, by a move where nothing does; whatever else
    // stands there is left alone. The new copy goes wherever it ended up. Fails with
    // `cause`, told with where the previous version waits if it is not back.
    [[noreturn]] void restorePrevious(std::exception_ptr cause, const std::string& aside) {
        // Without an exchange the new copy first steps aside to the run's other hidden name.
        const std::string& spare = aside == staging_ ? backup_ : staging_;
        const Occupant there = occupantOf(name_);
        if (there == Occupant::Nothing) {
            tryRename(aside, name_, RenameMode::NoReplace);
        } else if (there == Occupant::Staged) {
            tryRename(aside, name_, RenameMode::Exchange);
            if (occupantOf(name_) == Occupant::Staged && occupantOf(spare) == Occupant::Nothing) {
                tryRename(name_, spare, RenameMode::NoReplace);
                if (occupantOf(name_) == Occupant::Nothing) {
                    tryRename(aside, name_, RenameMode::NoReplace);
                }
            }
        }
        removeOwn(aside, staged_);
        removeOwn(spare, staged_);
        syncQuietly();
        if (occupantOf(name_) != Occupant::Previous) {
            failWithNote(
                cause,
                previousKeptAt(pathOf(occupantOf(spare) == Occupant::Previous ? spare : aside)));
        }
        std::rethrow_exception(cause);
    }

    // A fresh install whose copy was rejected after the move: it leaves the destination by
    // a hidden name first, so that no half-removed bundle ever stands there.
    [[noreturn]] void removeRejected(std::exception_ptr cause) {
        if (occupantOf(name_) == Occupant::Staged) {
            tryRename(name_, staging_, RenameMode::NoReplace);
            if (occupantOf(name_) == Occupant::Staged) {
                failWithNote(cause,
                             "未通过校验的副本未能移除，仍在“" + pathOf(name_).string() + "”");
            }
            removeOwn(staging_, staged_);
            syncQuietly();
        }
        std::rethrow_exception(cause);
    }

    FileSystem& files_;
    int folder_;
    std::filesystem::path folderPath_;
    std::string name_;
    std::optional<FileIdentity> previous_;
    UniqueFd stagedFolder_;  // the copy's own folder, through which it is checked
    FileIdentity staged_;
    std::string staging_;
    std::string backup_;
    // The checks of the staged copy and of the installed one, the same files moved: the
    // digests taken while they were copied and checked. The payload is checked outside it.
    codesign::VerificationSession session_;
};

// The destination folder held open (every name of the run lives in it), and what stands at
// the destination now, checked to be ours to replace.
struct Destination {
    std::filesystem::path folderPath;
    std::string name;
    UniqueFd folder;
    std::optional<FileIdentity> previous;
};

Destination openDestination(FileSystem& files, const std::filesystem::path& destination) {
    Destination opened{destination.parent_path(), destination.filename().string(), {}, {}};
    if (opened.name.empty()) {
        throw posixError(EINVAL, "无法安装到", destination);
    }
    files.createDirectories(opened.folderPath);
    opened.folder = files.openDirectory(opened.folderPath);
    // The Info.plist is read through the folder whose identity was taken, never again by
    // name: a folder swapped in meanwhile cannot lend the check its own Info.plist.
    if (std::optional<DestinationItem> existing =
            inspectDestination(files, opened.folder.get(), opened.name)) {
        opened.previous = existing->identity;
        checkExistingBundle(files, *existing);
    }
    return opened;
}

// The absolute form of a path with "." and ".." components resolved, without a trailing
// separator. Links are not resolved.
std::filesystem::path standardizedPath(const std::filesystem::path& path) {
    std::filesystem::path normal = std::filesystem::absolute(path).lexically_normal();
    if (normal.filename().empty() && normal.has_parent_path() && normal != normal.root_path()) {
        normal = normal.parent_path();
    }
    return normal;
}

// The destination in its standard form, once it is sure not to name the source.
std::filesystem::path refuseSameName(const std::filesystem::path& source,
                                     const std::filesystem::path& destination) {
    const std::filesystem::path standardDestination = standardizedPath(destination);
    if (standardizedPath(source) == standardDestination) {
        throw installerError(kSelfReplacement);
    }
    return standardDestination;
}

// Nor to lead, through a link, to the source held open.
void refuseSameItem(FileSystem& files, int source, const std::filesystem::path& destination) {
    struct stat sourceItem {};
    std::optional<struct stat> destinationItem = files.statAt(AT_FDCWD, destination, true);
    if (destinationItem && ::fstat(source, &sourceItem) == 0 &&
        identityOf(sourceItem) == identityOf(*destinationItem)) {
        throw installerError(kSelfReplacement);
    }
}

// The source's verification, which reads the payload while the destination is prepared
// and the copy runs; its failure still wins over theirs, and nothing of the copy outlives it.
// It reads through the descriptor the copy reads through.
class SourceVerification {
public:
    SourceVerification(int source, const std::filesystem::path& sourcePath, const Verify& verify)
        : done_(whenPossibleAside([source, &sourcePath, &verify,
                                   caller = std::this_thread::get_id()] {
              if (std::this_thread::get_id() != caller) {
                  lowerCurrentThreadPriority(Yield::ToFileWork);  // the copy beside it comes first
              }
              verify(source, sourcePath, nullptr);
          })) {}

    // Waits for the verification to end: its failure, or nothing when it passed.
    std::exception_ptr failure() {
        try {
            done_.get();
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    }

private:
    std::future<void> done_;
};

// The destination opened while the source is verified; a failure of the source wins.
Destination openDestinationAfter(SourceVerification& sourceVerification, FileSystem& files,
                                 const std::filesystem::path& target) {
    try {
        return openDestination(files, target);
    } catch (...) {
        std::exception_ptr failure = std::current_exception();
        if (std::exception_ptr earlier = sourceVerification.failure()) {
            failure = earlier;
        }
        std::rethrow_exception(failure);
    }
}

// Done: the replaced bundle goes in the background, and only if the backup name still holds
// it. Should that not start, the new version is in place all the same: the backup stays.
void removeBackupLater(const Environment& environment, const Destination& where,
                       const std::string& backup) noexcept {
    try {
        auto kept = std::make_shared<UniqueFd>(::fcntl(where.folder.get(), F_DUPFD_CLOEXEC, 0));
        if (kept->valid()) {
            environment.runLater(
                [&files = environment.files, kept, backup, identity = *where.previous] {
                    try {
                        files.removeTree(kept->get(), backup, identity);
                    } catch (...) {
                    }
                });
        }
    } catch (...) {
    }
}

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
    auto done = [] {
        std::lock_guard lock(backgroundMutex);
        --backgroundJobs;
        backgroundDone.notify_all();
    };
    try {
        std::thread([job, done] {
            try {
                job();
            } catch (...) {
                // Nothing may leave the thread; a job that fails leaves what it did not do.
            }
            done();
        }).detach();
    } catch (const std::exception&) {
        // No thread to be had (the user's process limit, no memory for one): the job runs
        // here instead.
        done();
        job();
    }
}

Result installNow(const std::filesystem::path& source, const std::filesystem::path& destination,
                  const Verify& verify, const Environment& environment) {
    FileSystem& files = environment.files;
    const std::filesystem::path target = refuseSameName(source, destination);
    const UniqueFd sourceFolder = files.openTree(source);
    refuseSameItem(files, sourceFolder.get(), target);
    SourceVerification sourceVerification(sourceFolder.get(), source, verify);
    Destination where = openDestinationAfter(sourceVerification, files, target);
    Run run(files, where.folder.get(), where.folderPath, where.name, where.previous);
    run.stage(sourceFolder.get(), source, verify, [&] { return sourceVerification.failure(); });
    run.swap();
    Result result{std::nullopt, run.verifyInstalled(verify, destination)};
    if (where.previous) {
        removeBackupLater(environment, where, run.backup());
        result.backup = run.pathOf(run.backup());
    }
    return result;
}

}  // namespace

Result install(const std::filesystem::path& source, const std::filesystem::path& destination,
               const Verify& verify) {
    return install(source, destination, verify, Environment{systemFileSystem(), detached});
}

Result install(const std::filesystem::path& source, const std::filesystem::path& destination,
               const Verify& verify, const Environment& environment) {
    try {
        return installNow(source, destination, verify, environment);
    } catch (const Error&) {
        throw;
    } catch (...) {
        throw errorOf(std::current_exception());  // the standard library's, said in Chinese
    }
}

void waitForBackgroundWork() {
    std::unique_lock lock(backgroundMutex);
    backgroundDone.wait(lock, [] { return backgroundJobs == 0; });
}

}  // namespace tessuro::InstallerTransaction
