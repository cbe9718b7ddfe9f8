// The install run: the checks that change nothing on disk, on the main thread, then the
// file work on a background thread, then the outcome back into the model.

#include <QCoroFuture>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <exception>

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

// The threads that run the file work. Each job lowers its own priority on starting, so
// that the window's thread comes first.
QThreadPool& transactionPool() {
    static QThreadPool* pool = new QThreadPool;
    return *pool;
}

// What the background task hands back; an exception crosses the thread as a pointer.
struct TransactionOutcome {
    std::optional<std::filesystem::path> backup;
    std::exception_ptr failure;
};

// The payload must be present and carry the installer's build number, compared as strings;
// both absent also counts as equal.
void checkPayload(const std::filesystem::path& installerBundle,
                  const std::filesystem::path& payload) {
    if (!fileExists(payload) || bundleInfoString(payload, "CFBundleVersion") !=
                                    bundleInfoString(installerBundle, "CFBundleVersion")) {
        throw incompletePackage();
    }
}

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

// The file work, off the main thread; the window keeps drawing meanwhile. A failed
// transaction fails the run with its own error; a kept backup is the transaction's business.
QCoro::Task<> runTransaction(const InstallerServices& services,
                             const std::filesystem::path& payload,
                             const std::filesystem::path& destination) {
    // The future is a named local: g++ 12 destroys temporaries of a co_await expression twice.
    QFuture<TransactionOutcome> work = QtConcurrent::run(
        &transactionPool(),
        [install = services.install, verify = services.verify, payload, destination] {
            lowerCurrentThreadPriority();
            TransactionOutcome result;
            try {
                result.backup = install(payload, destination, verify);
            } catch (...) {
                result.failure = std::current_exception();
            }
            return result;
        });
    TransactionOutcome outcome = co_await work;
    if (outcome.failure) {
        std::rethrow_exception(outcome.failure);
    }
}

}  // namespace

QCoro::Task<> InstallerModel::run(std::weak_ptr<InstallerModel> weakModel,
                                  std::filesystem::path destination) {
    // Without a model there is nothing to report to; with one, hold it to the end.
    std::shared_ptr<InstallerModel> model = weakModel.lock();
    if (!model) {
        co_return;
    }
    // Nothing may escape a task nobody awaits: an unexpected failure still ends the run,
    // or the window could never be closed again.
    try {
        co_await model->performRun(std::move(destination));
    } catch (const Error& failure) {
        model->fail(failure.localizedDescription());
    } catch (const std::exception& failure) {
        model->fail(failure.what());
    } catch (...) {
        model->fail(std::string());
    }
}

QCoro::Task<> InstallerModel::performRun(std::filesystem::path destination) {
    const std::filesystem::path payload = services_.installerBundle / kPayloadPath;
    checkPayload(services_.installerBundle, payload);

    // The running copies are listed once; the deadline counts from after the requests, even
    // when there were none.
    const RunningApplications copies = services_.runningApplications(payloadBundleIdentifier);
    askToQuit(copies);
    const auto deadline = services_.clock->now() + kQuitDeadline;
    co_await waitForExit(copies, *services_.clock, deadline);

    co_await runTransaction(services_, payload, destination);
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
