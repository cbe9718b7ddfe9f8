// The install run: the checks that change nothing on disk (those that read files on a
// background thread, the quit requests and the wait for running copies on the main
// thread), then the file work on a background thread, then the outcome back into the model.

#include <QCoroFuture>
#include <QFutureInterface>
#include <algorithm>
#include <exception>
#include <thread>

#include "install/product.h"
#include "model/installer_model.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/thread_priority.h"

namespace tessuro {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kPayloadPath = "Contents/Resources/Payload/Tessuro.app";
constexpr std::chrono::seconds kQuitDeadline = 10s;
constexpr std::chrono::milliseconds kQuitCheckInterval = 100ms;

Error incompletePackage() {
    return installerError("安装包不完整，请重新下载", installer_code::kPayloadIncomplete);
}

// What a background task hands back; an exception crosses the thread as a pointer.
template <class T>
struct Outcome {
    std::optional<T> value;
    std::exception_ptr failure;

    T take() {
        if (failure) {
            std::rethrow_exception(failure);
        }
        return std::move(*value);
    }
};

// Runs `work` on a thread of its own, at a priority below the window's thread, and awaits
// it, the main thread free meanwhile. Without a thread to be had (the user's process
// limit, a full task group), the work fails with the system's reason: run here, it would
// freeze the window, and a thread pool would wait for its thread for ever.
template <class Work>
auto inBackground(Work work) -> QCoro::Task<decltype(work())> {
    using T = decltype(work());
    QFutureInterface<Outcome<T>> promise;
    promise.reportStarted();
    QFuture<Outcome<T>> done = promise.future();
    try {
        std::thread([promise, work = std::move(work)]() mutable {
            lowerCurrentThreadPriority();
            Outcome<T> outcome;
            try {
                outcome.value.emplace(work());
            } catch (...) {
                outcome.failure = std::current_exception();
            }
            promise.reportResult(outcome);
            promise.reportFinished();
        }).detach();
    } catch (...) {
        Outcome<T> outcome;
        outcome.failure = std::current_exception();
        promise.reportResult(outcome);
        promise.reportFinished();
    }
    Outcome<T> outcome = co_await done;
    co_return outcome.take();
}

// The payload must be present and carry the installer's build number, compared as strings;
// both absent also counts as equal. Returns that build number. Read by path, this is an
// early refusal only: what decides is the build number of each bundle the transaction
// checks (see checkingTheBuildNumber).
std::optional<std::string> checkPayload(const std::filesystem::path& installerBundle,
                                        const std::filesystem::path& payload) {
    std::optional<std::string> own = bundleInfoString(installerBundle, "CFBundleVersion");
    if (!fileExists(payload) || bundleInfoString(payload, "CFBundleVersion") != own) {
        throw incompletePackage();
    }
    return own;
}

// The verification, which also requires the installer's build number of the Info.plist it
// sealed: the payload could be exchanged for another signed build after the early check,
// while the run waits for running copies to quit.
VerifyOperation checkingTheBuildNumber(VerifyOperation verify,
                                       std::optional<std::string> buildNumber) {
    return [verify = std::move(verify), buildNumber = std::move(buildNumber)](
               int folder, const std::filesystem::path& shown,
               codesign::VerificationSession* session) {
        VerifiedBundle verified = verify(folder, shown, session);
        if (verified.buildNumber != buildNumber) {
            throw incompletePackage();
        }
        return verified;
    };
}

// What the run learns before it asks anything of running copies.
struct Preliminaries {
    std::optional<std::string> buildNumber;  // the installer's own
    RunningApplications copies;
};

// Asks each copy to quit, in order; stops at the first request that cannot be delivered.
void askToQuit(const RunningApplications& copies) {
    for (const auto& copy : copies) {
        if (!copy->terminate()) {
            throw installerError("请先退出Tessuro，再重试安装",
                                 installer_code::kApplicationRunning);
        }
    }
}

// Waits for every copy to exit, checking at intervals, never past the deadline.
QCoro::Task<> waitForExit(const RunningApplications& copies, Clock& clock,
                          std::chrono::system_clock::time_point deadline) {
    for (;;) {
        if (std::all_of(copies.begin(), copies.end(),
                        [](const auto& copy) { return copy->isTerminated(); })) {
            co_return;
        }
        if (clock.now() >= deadline) {
            throw installerError("Tessuro仍在运行，请先退出再重试",
                                 installer_code::kApplicationRunning);
        }
        co_await clock.sleep(kQuitCheckInterval);
    }
}

// The payload's check and the listing of running copies read files that others may write
// (every running program's Info.plist, the payload's): off the main thread, like the file
// work, so that no such file holds up the window.
QCoro::Task<Preliminaries> checkPayloadAndListCopies(const InstallerServices& services,
                                                     const std::filesystem::path& payload) {
    auto work = [installer = services.installerBundle, payload,
                 list = services.runningApplications] {
        std::optional<std::string> buildNumber = checkPayload(installer, payload);
        return Preliminaries{std::move(buildNumber), list(payloadBundleIdentifier)};
    };
    // Named, as every operand of a co_await here: g++ 12 destroys temporaries there twice.
    QCoro::Task<Preliminaries> listed = inBackground(std::move(work));
    co_return co_await listed;
}

}  // namespace

QCoro::Task<> InstallerModel::run(std::weak_ptr<InstallerModel> weakModel,
                                  std::filesystem::path destination, bool inUserFolder) {
    // Without a model there is nothing to report to; with one, hold it to the end.
    std::shared_ptr<InstallerModel> model = weakModel.lock();
    if (!model) {
        co_return;
    }
    // Nothing may escape a task nobody awaits: an unexpected failure still ends the run,
    // or the window could never be closed again. It is told in the window's language.
    try {
        co_await model->performRun(std::move(destination), inUserFolder);
    } catch (...) {
        model->fail(errorOf(std::current_exception()).localizedDescription());
    }
}

QCoro::Task<> InstallerModel::performRun(std::filesystem::path destination, bool inUserFolder) {
    const std::filesystem::path payload = services_.installerBundle / kPayloadPath;

    // The running copies are listed once; the deadline counts from after the requests, even
    // when there were none.
    QCoro::Task<Preliminaries> listing = checkPayloadAndListCopies(services_, payload);
    const Preliminaries found = co_await listing;
    askToQuit(found.copies);
    const auto deadline = services_.clock->now() + kQuitDeadline;
    co_await waitForExit(found.copies, *services_.clock, deadline);

    // The file work; a failed transaction fails the run with its own error, and a kept
    // backup is the transaction's business.
    auto work = [install = services_.install,
                 verify = checkingTheBuildNumber(services_.verify, found.buildNumber), payload,
                 destination,
                 inUserFolder] { return install(payload, destination, verify, inUserFolder); };
    QCoro::Task<InstallerTransaction::Result> transaction = inBackground(std::move(work));
    InstallerTransaction::Result result = co_await transaction;
    installedBundle_ = std::move(result.installed);
    installing.set(false);
    installed.set(true);
}

void InstallerModel::fail(std::string description) {
    if (description.empty()) {
        description = "安装时发生未知错误，请重试";
    }
    // Whoever hears of the error sees the run over.
    installing.set(false);
    error.set(std::move(description));
}

}  // namespace tessuro
