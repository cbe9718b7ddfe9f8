// The install run: the checks that change nothing on disk, on the main thread, then the
// file work on a background thread, then the outcome back into the model.

#include <QCoroFuture>
#include <QThread>
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

// The threads that run the file work, at the priority of work the user waits for.
QThreadPool& transactionPool() {
    static QThreadPool* pool = [] {
        auto* created = new QThreadPool;
        created->setThreadPriority(QThread::HighPriority);
        return created;
    }();
    return *pool;
}

// What the background task hands back; an exception crosses the thread as a pointer.
struct TransactionOutcome {
    std::optional<std::filesystem::path> backup;
    std::exception_ptr failure;
};

}  // namespace

QCoro::Task<> InstallerModel::run(std::weak_ptr<InstallerModel> weakModel,
                                  std::filesystem::path destination) {
    // 1. Without a model there is nothing to report to; with one, hold it to the end.
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
    // 2. The payload inside the installer's own bundle.
    const std::filesystem::path payload = services_.installerBundle / kPayloadPath;

    // 3. Presence.
    if (!fileExists(payload)) {
        throw incompletePackage();
    }

    // 4. Equal build numbers, compared as strings; both absent also counts as equal.
    if (bundleInfoString(payload, "CFBundleVersion") !=
        bundleInfoString(services_.installerBundle, "CFBundleVersion")) {
        throw incompletePackage();
    }

    // 5. The running copies, taken once.
    const RunningApplications copies = services_.runningApplications(payloadBundleIdentifier);

    // 6. Ask each to quit, in order; stop at the first request that cannot be delivered.
    for (const auto& copy : copies) {
        if (!copy->terminate()) {
            throw installerError("请先退出Tessuro，再重试安装",
                                 installer_code::kApplicationRunning);
        }
    }

    // 7. The deadline counts from after the requests, even when there were none.
    const auto deadline = services_.clock->now() + kQuitDeadline;

    // 8. Wait for every copy to exit, checking at intervals, never past the deadline.
    for (;;) {
        bool allExited = std::all_of(copies.begin(), copies.end(),
                                     [](const auto& copy) { return copy->isTerminated(); });
        if (allExited) {
            break;
        }
        if (services_.clock->now() >= deadline) {
            throw installerError("Tessuro仍在运行，请先退出再重试",
                                 installer_code::kApplicationRunning);
        }
        co_await services_.clock->sleep(kQuitCheckInterval);
    }

    // 9. The file work, off the main thread; the window keeps drawing meanwhile. The future
    // is a named local: g++ 12 destroys temporaries of a co_await expression twice.
    QFuture<TransactionOutcome> work = QtConcurrent::run(
        &transactionPool(),
        [install = services_.install, verify = services_.verify, payload, destination] {
            lowerCurrentThreadPriority();  // the window's thread comes first
            TransactionOutcome result;
            try {
                result.backup = install(payload, destination, verify);
            } catch (...) {
                result.failure = std::current_exception();
            }
            return result;
        });
    TransactionOutcome outcome = co_await work;

    // 11. A failed transaction fails the run with its own error.
    if (outcome.failure) {
        std::rethrow_exception(outcome.failure);
    }

    // 10. Installed. A kept backup is the transaction's business, not the run's.
    installing.set(false);
    installed.set(true);
}

void InstallerModel::fail(std::string description) {
    if (description.empty()) {
        description = "安装时发生未知错误，请重试";
    }
    installing.set(false);
    error.set(std::move(description));
}

}  // namespace tessuro
