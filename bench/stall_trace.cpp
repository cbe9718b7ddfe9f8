// stall-trace: an install run through the model on a Qt event loop, as the installer runs
// it, while the main thread counts how long it goes without processing events.
//
//   stall-trace INSTALLER_BUNDLE ROOT_PEM HOME [--trace] [--copies N M]
//
// Installs the installer bundle's payload into HOME/Applications and prints the longest
// gap in milliseconds. With --trace it also prints the transaction's phases and every gap
// over 4 ms, with how much of it the main thread spent waiting for a CPU (the growth of
// its run_delay in /proc/self/task/<tid>/schedstat) and the phase it fell in. With
// --copies, N programs of this user from M bundles (another identifier than the payload's)
// run meanwhile, which the listing of running copies reads, and a second line gives the
// longest gap while they were listed.

#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "install/installer_transaction.h"
#include "model/installer_model.h"
#include "platform/file_system.h"

namespace fs = std::filesystem;
using namespace tessuro;

namespace {

using Steady = std::chrono::steady_clock;
const Steady::time_point started = Steady::now();

double millisecondsSinceStart() {
    return std::chrono::duration<double, std::milli>(Steady::now() - started).count();
}

// What the transaction is doing, by time.
class Phases {
public:
    void mark(const std::string& what) {
        std::lock_guard lock(mutex_);
        marks_.emplace_back(millisecondsSinceStart(), what);
    }
    std::string at(double when) const {
        std::lock_guard lock(mutex_);
        std::string last;
        for (const auto& [at, what] : marks_) {
            if (at <= when) {
                last = what;
            }
        }
        return last;
    }
    void print() const {
        std::lock_guard lock(mutex_);
        for (const auto& [at, what] : marks_) {
            std::printf("  %9.1f ms  %s\n", at, what.c_str());
        }
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<double, std::string>> marks_;
};

Phases phases;

// The real file operations, each marked at its beginning and its end.
class MarkedFileSystem final : public FileSystem {
    template <class Operation>
    auto marked(const std::string& what, Operation operation) {
        phases.mark("begin " + what);
        if constexpr (std::is_void_v<decltype(operation())>) {
            operation();
            phases.mark("end " + what);
        } else {
            auto result = operation();
            phases.mark("end " + what);
            return result;
        }
    }

public:
    void createDirectories(const fs::path& folder) override {
        marked("createDirectories", [&] { real_.createDirectories(folder); });
    }
    UniqueFd openDirectory(const fs::path& folder) override { return real_.openDirectory(folder); }
    UniqueFd openDirectoryAt(int folder, const std::string& name) override {
        return real_.openDirectoryAt(folder, name);
    }
    std::optional<struct stat> statAt(int folder, const std::string& name, bool follow) override {
        return real_.statAt(folder, name, follow);
    }
    std::string readFileAt(int folder, const fs::path& relative, std::size_t maxBytes) override {
        return real_.readFileAt(folder, relative, maxBytes);
    }
    UniqueFd openTree(const fs::path& top) override { return real_.openTree(top); }
    CopiedTree copyTree(int source, const fs::path& sourcePath, int folder, const std::string& name,
                        const CopiedFile& copied) override {
        return marked("copy",
                      [&] { return real_.copyTree(source, sourcePath, folder, name, copied); });
    }
    void dropExecuteBits(int folder, const std::vector<fs::path>& relative) override {
        marked("dropExecuteBits", [&] { real_.dropExecuteBits(folder, relative); });
    }
    void syncFileSystem(int folder) override {
        marked("sync of the file system", [&] { real_.syncFileSystem(folder); });
    }
    void syncDirectory(int folder) override {
        marked("sync of the folder", [&] { real_.syncDirectory(folder); });
    }
    void renameAt(int folder, const std::string& from, const std::string& to,
                  RenameMode mode) override {
        marked("rename", [&] { real_.renameAt(folder, from, to, mode); });
    }
    bool removeTree(int folder, const std::string& name, const FileIdentity& expected) override {
        return marked("removal", [&] { return real_.removeTree(folder, name, expected); });
    }

private:
    FileSystem& real_ = systemFileSystem();
};

// Nanoseconds the calling thread has spent waiting for a CPU.
long long waitedForCpu(const std::string& schedstat) {
    std::ifstream in(schedstat);
    long long running = 0, waiting = 0;
    in >> running >> waiting;
    return waiting;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Programs of this user, started from bundles of their own, ended with this.
class Copies {
public:
    Copies(const fs::path& folder, int count, int bundles) {
        for (int b = 0; b < bundles; ++b) {
            const fs::path bundle = folder / ("Copy" + std::to_string(b) + ".app");
            fs::create_directories(bundle / "Contents/MacOS");
            fs::copy_file("/bin/sleep", bundle / "Contents/MacOS/sleeper",
                          fs::copy_options::overwrite_existing);
            std::ofstream(bundle / "Contents/Info.plist")
                << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                   "<key>CFBundleIdentifier</key><string>com.example.bench.copy"
                << b
                << "</string><key>CFBundleExecutable</key><string>sleeper</string>"
                   "</dict></plist>";
        }
        for (int i = 0; i < count; ++i) {
            const std::string program = (folder / ("Copy" + std::to_string(i % bundles) + ".app") /
                                         "Contents/MacOS/sleeper")
                                            .string();
            char* argv[] = {const_cast<char*>("sleeper"), const_cast<char*>("600"), nullptr};
            pid_t pid = 0;
            if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0) {
                pids_.push_back(pid);
            }
        }
    }
    ~Copies() {
        for (pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> pids_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(
            stderr, "usage: stall-trace INSTALLER_BUNDLE ROOT_PEM HOME [--trace] [--copies N M]\n");
        return 2;
    }
    const fs::path installer = argv[1], home = argv[3];
    bool trace = false;
    std::optional<Copies> copies;
    for (int i = 4; i < argc; ++i) {
        if (std::string(argv[i]) == "--trace") {
            trace = true;
        } else if (std::string(argv[i]) == "--copies" && i + 2 < argc) {
            copies.emplace(home / "Running", std::stoi(argv[i + 1]), std::stoi(argv[i + 2]));
            i += 2;
        }
    }

    MarkedFileSystem files;
    InstallerServices services = systemServices({readText(argv[2])});
    services.installerBundle = installer;
    services.homeDirectory = [home] { return home; };
    // The real listing, of this user's programs.
    double listingBegan = 0, listingEnded = 0;
    const auto list = services.runningApplications;
    services.runningApplications = [&, list](std::string_view identifier) {
        listingBegan = millisecondsSinceStart();
        phases.mark("begin listing of running copies");
        RunningApplications found = list(identifier);
        phases.mark("end listing of running copies");
        listingEnded = millisecondsSinceStart();
        return found;
    };
    const VerifyOperation verify = services.verify;
    services.verify = [verify](int folder, const fs::path& bundle,
                               codesign::VerificationSession* session) {
        const std::string which = bundle.filename().string().rfind(".Tessuro-", 0) == 0
                                      ? "the staged copy"
                                  : bundle.filename() == "Tessuro.app" &&
                                          bundle.parent_path().filename() == "Applications"
                                      ? "the installed copy"
                                      : "the source";
        phases.mark("begin verification of " + which);
        VerifiedBundle verified = verify(folder, bundle, session);
        phases.mark("end verification of " + which);
        return verified;
    };
    services.install = [&files](const fs::path& source, const fs::path& destination,
                                const VerifyOperation& check, bool) {
        return InstallerTransaction::install(
            source, destination, check,
            InstallerTransaction::Environment{
                files, [](std::function<void()> job) { std::thread(job).detach(); }});
    };
    auto model = InstallerModel::create(std::move(services));
    model->userFolder.set(true);

    // A timer every millisecond: the time between two of its turns is the gap.
    struct Gap {
        double start, length, waited;
    };
    std::vector<Gap> gaps;
    std::vector<Gap> all;  // every gap, for the listing's
    double longest = 0;
    const std::string schedstat =
        "/proc/self/task/" + std::to_string(::syscall(SYS_gettid)) + "/schedstat";
    long long waitedBefore = waitedForCpu(schedstat);
    QElapsedTimer sinceLastTurn;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double gap = sinceLastTurn.nsecsElapsed() / 1e6;
        sinceLastTurn.restart();
        const long long waited = trace ? waitedForCpu(schedstat) : 0;
        if (model->installing.get()) {
            longest = std::max(longest, gap);
            all.push_back({millisecondsSinceStart() - gap, gap, 0});
            if (gap > 4) {
                gaps.push_back(
                    {millisecondsSinceStart() - gap, gap, (waited - waitedBefore) / 1e6});
            }
        }
        waitedBefore = waited;
    });
    QEventLoop loop;
    Subscription done = model->installing.subscribe([&](const bool& installing) {
        if (!installing && model->automaticInstallationStarted) {
            loop.quit();
        }
    });
    sinceLastTurn.start();
    ticker.start(1);
    model->automaticInstallationStarted = true;
    phases.mark("start of the run");
    model->startInstallation();
    loop.exec();
    phases.mark(model->installed.get() ? "installed" : "failed: " + model->error.get());
    InstallerTransaction::waitForBackgroundWork();

    std::printf("%.1f\n", longest);
    if (copies) {
        double duringListing = 0;
        for (const Gap& gap : all) {
            if (gap.start < listingEnded && gap.start + gap.length > listingBegan) {
                duringListing = std::max(duringListing, gap.length);
            }
        }
        std::printf("%.1f (the listing took %.1f ms)\n", duringListing,
                    listingEnded - listingBegan);
    }
    if (trace) {
        phases.print();
        for (const Gap& gap : gaps) {
            std::printf(
                "gap at %9.1f ms: %5.1f ms, of which %5.1f ms waiting for a CPU, during: %s\n",
                gap.start, gap.length, gap.waited, phases.at(gap.start + gap.length).c_str());
        }
    }
    return model->installed.get() ? 0 : 1;
}
