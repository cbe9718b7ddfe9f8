// The logind inhibitor lock held while an install runs, against logind as python-dbusmock's
// template plays it, on a bus of the test's own standing in for the system bus.

#include "app/sleep_inhibitor.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include "model_fakes.h"
#include "platform/error.h"

namespace tessuro {
namespace {

struct Inhibitor {
    std::string what, who, why, mode;
    bool operator==(const Inhibitor&) const = default;
};

class SleepLock : public test::ModelFixture {
protected:
    QProcess bus, logind;
    QString address;

    void SetUp() override {
        ModelFixture::SetUp();
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty() ||
            QProcess::execute(QStringLiteral("/usr/bin/python3"),
                              {QStringLiteral("-c"), QStringLiteral("import dbusmock")}) != 0) {
            GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock (scripts/bootstrap.sh)";
        }
        bus.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"),
                   QStringLiteral("--print-address=1"),
                   QStringLiteral("--address=unix:dir=") + QString::fromStdString(dir.path())});
        ASSERT_TRUE(bus.waitForReadyRead(10000)) << "the bus did not start";
        address = QString::fromUtf8(bus.readLine()).trimmed();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address);
        logind.setProcessEnvironment(environment);
        logind.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                      QStringLiteral("--template"), QStringLiteral("logind")});
        QDBusConnection probe = QDBusConnection::connectToBus(address, QStringLiteral("probe"));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return probe.interface()->isServiceRegistered(
                    QStringLiteral("org.freedesktop.login1"));
            },
            20000))
            << "logind's stand-in did not come up";
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
    }

    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("probe"));
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        for (QProcess* process : {&logind, &bus}) {
            process->kill();
            process->waitForFinished();
        }
    }

    // The locks logind holds, as it lists them.
    std::vector<Inhibitor> inhibitors() {
        QDBusConnection probe = QDBusConnection::connectToBus(address, QStringLiteral("probe"));
        const QDBusMessage reply = probe.call(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("ListInhibitors")));
        std::vector<Inhibitor> out;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            ADD_FAILURE() << "ListInhibitors: " << reply.errorMessage().toStdString();
            return out;
        }
        const auto list = qvariant_cast<QDBusArgument>(reply.arguments().first());
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            uint uid = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> uid >> pid;
            list.endStructure();
            out.push_back(
                {what.toStdString(), who.toStdString(), why.toStdString(), mode.toStdString()});
        }
        list.endArray();
        return out;
    }
};

const Inhibitor kInstalling{"shutdown:sleep", "安装Tessuro", "正在安装Tessuro，请稍候", "block"};

struct RunEnd {
    const char* name;
    bool fails;
    friend void PrintTo(const RunEnd& end, std::ostream* out) { *out << end.name; }
};

class SleepLockRun : public SleepLock, public ::testing::WithParamInterface<RunEnd> {};

// Taken when the run starts, held through it, released when it ends, whichever way.
TEST_P(SleepLockRun, HeldForTheLengthOfTheRun) {
    auto model = makeModel();
    SleepInhibitor inhibitor(*model);
    EXPECT_TRUE(inhibitors().empty()) << "nothing held before the run";
    transaction.holdUntilReleased = true;
    transaction.outcome = [fails = GetParam().fails] {
        if (fails) {
            throw installerError("不能写入");
        }
    };
    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return inhibitor.holding(); }, 15000));
    EXPECT_EQ(inhibitors(), std::vector<Inhibitor>{kInstalling});
    transaction.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 5000));
    EXPECT_FALSE(inhibitor.holding());
    EXPECT_TRUE(QTest::qWaitFor([&] { return inhibitors().empty(); }, 5000))
        << "logind still holds the lock after the run";
    EXPECT_EQ(model->error.get().empty(), !GetParam().fails);
}

INSTANTIATE_TEST_SUITE_P(Ends, SleepLockRun,
                         ::testing::Values(RunEnd{"Succeeds", false}, RunEnd{"Fails", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Without logind (or without a system bus) the install goes on as it would.
TEST_F(SleepLock, NoLogindChangesNothing) {
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket");
    auto model = makeModel();
    SleepInhibitor inhibitor(*model);
    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 15000));
    EXPECT_TRUE(model->installed.get());
    EXPECT_FALSE(inhibitor.holding());
}

}  // namespace
}  // namespace tessuro
