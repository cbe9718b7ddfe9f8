#include "app/sleep_inhibitor.h"

#include <fcntl.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QString>
#include <atomic>

namespace tessuro {
namespace {

// How long an unanswered request may hold up the next one (a release waits for nothing).
constexpr int kCallTimeoutMs = 10000;

// Asks logind for the lock; an invalid descriptor when there is no system bus, no logind, or
// no answer.
UniqueFd takeLock() {
    static std::atomic<int> connections{0};
    const QString name = QStringLiteral("tessuro-inhibitor-%1").arg(++connections);
    UniqueFd lock;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, name);
        if (bus.isConnected()) {
            QDBusMessage request = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
            request << QStringLiteral("shutdown:sleep") << QStringLiteral("安装Tessuro")
                    << QStringLiteral("正在安装Tessuro，请稍候") << QStringLiteral("block");
            const QDBusMessage reply = bus.call(request, QDBus::Block, kCallTimeoutMs);
            if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1) {
                const auto descriptor =
                    qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().first());
                if (descriptor.isValid()) {
                    // A copy of our own, close-on-exec whatever the message's was.
                    lock.reset(::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0));
                }
            }
        }
    }
    QDBusConnection::disconnectFromBus(name);
    return lock;
}

}  // namespace

SleepInhibitor::SleepInhibitor(InstallerModel& model) {
    try {
        thread_ = std::thread([this] { work(); });
    } catch (...) {
        return;  // no thread: no lock, and the install goes on as it would
    }
    subscription_ =
        model.installing.subscribe([this](const bool& installing) { want(installing); });
}

SleepInhibitor::~SleepInhibitor() {
    subscription_.cancel();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        wanted_ = false;
        lock_.reset();
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool SleepInhibitor::holding() const {
    std::lock_guard lock(mutex_);
    return lock_.valid();
}

void SleepInhibitor::want(bool installing) {
    {
        std::lock_guard lock(mutex_);
        wanted_ = installing;
        if (installing) {
            ++run_;
        } else {
            lock_.reset();  // released at once, whatever a request still pending brings
        }
    }
    changed_.notify_all();
}

// Takes the lock whenever one is wanted and none is held; a lock that arrives after its run
// has ended is closed at once.
void SleepInhibitor::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || (wanted_ && !lock_.valid()); });
        if (stopping_) {
            return;
        }
        const unsigned asked = run_;
        lock.unlock();
        UniqueFd taken = takeLock();
        lock.lock();
        if (wanted_ && !stopping_) {
            lock_ = std::move(taken);
            if (!lock_.valid()) {
                // No logind: not asked again until the next run starts.
                changed_.wait(lock, [this, asked] { return stopping_ || run_ != asked; });
            }
        }
    }
}

}  // namespace tessuro
