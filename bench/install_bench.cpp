// install-bench: the install against the plain tools on the same tree, in one run.
//
//   install-bench [--quick]
//
// For a small bundle (about 50 MB in 2 000 files) and a large one (about 1 GB in 20 000
// files, three of them 100 MB), signed here, it times, alternating and repeated:
//   (a) cp -a of the tree, then sync        - what a careful person does by hand
//   (b) openssl dgst -sha256 over every file - the hashing limit
//   (c) PayloadValidation::validate alone
//   (d) InstallerTransaction::install with the real validation, fresh and over a copy
// and reports medians, ratios, the peak memory of (c) and (d), and, for an install run
// through the model on the Qt event loop, the longest the main thread went without
// processing events. The page cache is warm throughout. --quick: the small bundle only.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "install/installer_transaction.h"
#include "install/payload_validation.h"
#include "model/installer_model.h"
#include "platform/codesign/certificates.h"
#include "platform/codesign/signer.h"

namespace fs = std::filesystem;
using namespace tessuro;
using Steady = std::chrono::steady_clock;

namespace {

struct Measure {
    double seconds;
    long peakKb;  // of the process that did the work
};

void writeBytes(const fs::path& path, std::size_t size, std::mt19937_64& random) {
    fs::create_directories(path.parent_path());
    std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
    std::ofstream out(path, std::ios::binary);
    for (std::size_t written = 0; written < size;) {
        for (auto& word : block) {
            word = random();
        }
        std::size_t n = std::min(size - written, block.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        written += n;
    }
}

void writeInfoPlist(const fs::path& bundle, const std::string& version) {
    fs::create_directories(bundle / "Contents/MacOS");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>com.vorlak.tessuro.psvalidation</string>"
           "<key>CFBundleExecutable</key><string>Tessuro</string>"
           "<key>CFBundleVersion</key><string>"
        << version << "</string></dict></plist>\n";
    std::ofstream(bundle / "Contents/MacOS/Tessuro") << "#!/bin/sh\necho Tessuro\n";
    fs::permissions(bundle / "Contents/MacOS/Tessuro", fs::perms::owner_all, fs::perm_options::add);
}

// A bundle of `files` files: `large` of 100 MB, the rest sharing `rest` bytes.
void makeBundle(const fs::path& bundle, int files, int large, std::size_t rest,
                const codesign::SigningIdentity& identity) {
    std::mt19937_64 random(42);
    writeInfoPlist(bundle, "7");
    for (int i = 0; i < large; ++i) {
        writeBytes(bundle / "Contents/Resources/media" / ("movie" + std::to_string(i) + ".bin"),
                   100u << 20, random);
    }
    int small = files - large;
    for (int i = 0; i < small; ++i) {
        writeBytes(bundle / "Contents/Resources/data" / std::to_string(i / 500) /
                       ("item" + std::to_string(i) + ".dat"),
                   rest / static_cast<std::size_t>(small), random);
    }
    codesign::signBundle(bundle, identity);
}

// Runs `work` in a child process: its wall time and peak memory.
Measure inChild(const std::function<int()>& work) {
    auto started = Steady::now();
    pid_t child = ::fork();
    if (child == 0) {
        ::_exit(work());
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    double seconds = std::chrono::duration<double>(Steady::now() - started).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "a measured step failed\n");
        std::exit(1);
    }
    return {seconds, usage.ru_maxrss};
}

Measure shell(const std::string& command) {
    return inChild([&] { return std::system(command.c_str()) == 0 ? 0 : 1; });
}

std::string quote(const fs::path& path) {
    return "'" + path.string() + "'";
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The longest the main thread went without processing events during one install run
// through the model, in milliseconds.
double longestStall(const fs::path& installer, const fs::path& home, const std::string& rootPem) {
    InstallerServices services = systemServices({rootPem});
    services.installerBundle = installer;
    services.homeDirectory = [home] { return home; };
    services.runningApplications = [](std::string_view) { return RunningApplications(); };
    auto model = InstallerModel::create(std::move(services));
    model->userFolder.set(true);
    QElapsedTimer sinceLast;
    double longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (model->installing.get()) {
            longest = std::max(longest, sinceLast.nsecsElapsed() / 1e6);
        }
        sinceLast.restart();
    });
    sinceLast.start();
    ticker.start(1);
    model->startInstallation();
    while (model->installing.get()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    if (!model->installed.get()) {
        std::fprintf(stderr, "the model's run failed: %s\n", model->error.get().c_str());
    }
    InstallerTransaction::waitForBackgroundWork();
    return longest;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    fs::path work = fs::temp_directory_path() / ("install-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);

    codesign::CertificateSpec rootSpec;
    rootSpec.commonName = "Bench Root";
    rootSpec.authority = true;
    codesign::Credential root = codesign::makeCertificate(rootSpec, nullptr);
    codesign::CertificateSpec leafSpec;
    leafSpec.commonName = "Bench";
    leafSpec.organizationalUnit = "Q7XK4M2LD8";
    codesign::Credential leaf = codesign::makeCertificate(leafSpec, &root);
    codesign::SigningIdentity identity;
    identity.key = std::move(leaf.key);
    identity.chain.push_back(std::move(leaf.certificate));
    const std::string rootPem = codesign::certificatePem(root.certificate.get());
    const codesign::CodeSigning trust({rootPem});

    struct Size {
        const char* name;
        int files, large;
        std::size_t rest;
        int repetitions;
    };
    std::vector<Size> sizes{{"small (50 MB, 2 000 files)", 2000, 0, 50u << 20, 5}};
    if (!quick) {
        sizes.push_back({"large (1 GB, 20 000 files)", 20000, 3, 724u << 20, 3});
    }

    std::printf(
        "| bundle | (a) cp -a + sync | (b) openssl dgst | (c) validate | (d) install fresh | "
        "(d) install upgrade | (c)/(b) | (d) fresh/(a) | (d) upgrade/(a) | peak (c) | peak (d) "
        "|\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Size& size : sizes) {
        fs::path installer = work / "Tessuro Installer.app";
        fs::path source = installer / "Contents/Resources/Payload/Tessuro.app";
        fs::remove_all(work / "Tessuro Installer.app");
        writeInfoPlist(installer, "7");
        auto made = Steady::now();
        makeBundle(source, size.files, size.large, size.rest, identity);
        std::fprintf(stderr, "%s: made and signed in %.1f s\n", size.name,
                     std::chrono::duration<double>(Steady::now() - made).count());
        fs::path copy = work / "copy/Tessuro.app";
        fs::path apps = work / "Applications";
        fs::path destination = apps / "Tessuro.app";
        std::map<std::string, std::vector<double>> times;
        long peakValidate = 0, peakInstall = 0;
        for (int rep = 0; rep < size.repetitions; ++rep) {
            fs::remove_all(copy);
            fs::create_directories(copy.parent_path());
            times["a"].push_back(
                shell("cp -a " + quote(source) + " " + quote(copy) + " && sync").seconds);
            times["b"].push_back(
                shell("cd " + quote(source) +
                      " && find . -type f -print0 | xargs -0 openssl dgst -sha256 > /dev/null")
                    .seconds);
            Measure validate = inChild([&] {
                PayloadValidation::validate(source, trust);
                return 0;
            });
            times["c"].push_back(validate.seconds);
            peakValidate = std::max(peakValidate, validate.peakKb);
            for (bool upgrade : {false, true}) {
                fs::remove_all(apps);
                fs::create_directories(apps);
                if (upgrade) {
                    // The previous version, written out before the clock starts.
                    std::system(
                        ("cp -a " + quote(copy) + " " + quote(destination) + " && sync").c_str());
                }
                Measure install = inChild([&] {
                    InstallerTransaction::install(source, destination, [&](const fs::path& bundle) {
                        PayloadValidation::validate(bundle, trust);
                    });
                    return 0;
                });
                InstallerTransaction::waitForBackgroundWork();
                times[upgrade ? "d-upgrade" : "d-fresh"].push_back(install.seconds);
                peakInstall = std::max(peakInstall, install.peakKb);
            }
        }
        double a = median(times["a"]), b = median(times["b"]), c = median(times["c"]);
        double fresh = median(times["d-fresh"]), upgrade = median(times["d-upgrade"]);
        std::printf(
            "| %s | %.2f s | %.2f s | %.2f s | %.2f s | %.2f s | %.2f | %.2f | %.2f | %.0f MB | "
            "%.0f MB |\n",
            size.name, a, b, c, fresh, upgrade, c / b, fresh / a, upgrade / a,
            peakValidate / 1024.0, peakInstall / 1024.0);
        std::fflush(stdout);
        if (size.large > 0 || quick) {
            fs::remove_all(work / "home");
            double stall = longestStall(installer, work / "home", rootPem);
            std::printf(
                "\nLongest time the main thread went without processing events during an "
                "install of the %s bundle: %.1f ms\n\n",
                size.name, stall);
        }
    }
    fs::remove_all(work);
    return 0;
}
