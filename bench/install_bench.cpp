// install-bench: the install against the plain tools on the same tree, in one run.
//
//   install-bench [--quick]
//
// For a small bundle (about 50 MB in 2 000 files) and a large one (about 1 GB in 20 000
// files, three of them 100 MB), signed here, it times, alternating and repeated:
//   (a) cp -a of the tree, then sync        - what a careful person does by hand
//   (b) openssl dgst -sha256 over every file - the hashing limit, in one process
//   (c) PayloadValidation::validate alone
//   (d) InstallerTransaction::install with the real validation, fresh and over a previous
//       version written to disk before the clock starts; until install() returns, which
//       is when the window says "安装成功"; the removal of the replaced version after it is
//       timed apart
// and reports medians, ratios and the peak memory of (c) and (d), each measured in a process
// of its own started for it. Then, for an install run through the model on the Qt event
// loop (stall-trace, beside this program), the longest the main thread went without
// processing events. The page cache is warm throughout. --quick: the small bundle only.
//
// The measured steps are this program again:
//   install-bench --validate SOURCE ROOT_PEM       prints the seconds
//   install-bench --install SOURCE DEST ROOT_PEM   prints the seconds to success, then to
//                                                  the end of the removal

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codesign/certificates.h"
#include "codesign/signer.h"
#include "install/installer_transaction.h"
#include "install/payload_validation.h"
#include "install/product.h"

namespace fs = std::filesystem;
using namespace tessuro;
using Steady = std::chrono::steady_clock;

extern char** environ;

namespace {

double secondsSince(Steady::time_point start) {
    return std::chrono::duration<double>(Steady::now() - start).count();
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The measured steps, each in a process of its own.
int validateStep(const fs::path& source, const fs::path& rootPem) {
    const codesign::CodeSigning trust({readText(rootPem)});
    auto started = Steady::now();
    PayloadValidation::validate(source, trust);
    std::printf("%.4f\n", secondsSince(started));
    return 0;
}

int installStep(const fs::path& source, const fs::path& destination, const fs::path& rootPem) {
    const codesign::CodeSigning trust({readText(rootPem)});
    auto started = Steady::now();
    InstallerTransaction::install(
        source, destination,
        [&](int folder, const fs::path& bundle, codesign::VerificationSession* session) {
            return PayloadValidation::validate(folder, bundle, trust, session);
        });
    const double installed = secondsSince(started);
    InstallerTransaction::waitForBackgroundWork();
    std::printf("%.4f %.4f\n", installed, secondsSince(started) - installed);
    return 0;
}

struct Run {
    std::string output;
    long peakKb;  // of the process that did the work
};

// Runs a program to its end: what it printed and its peak memory.
Run run(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) {
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t child = 0;
    if (::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string output;
    char chunk[4096];
    for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) {
        output.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "a measured step failed: %s\n", arguments.front().c_str());
        std::exit(1);
    }
    return {output, usage.ru_maxrss};
}

double timed(const std::string& command) {
    auto started = Steady::now();
    run({"/bin/sh", "-c", command});
    return secondsSince(started);
}

std::string quote(const fs::path& path) {
    return "'" + path.string() + "'";
}

// Waits until the disk has written back what earlier runs left dirty, so that no run pays
// for the one before it.
void settle() {
    run({"/bin/sync"});
    for (int i = 0; i < 100; ++i) {
        std::ifstream meminfo("/proc/meminfo");
        long dirty = 0, writeback = 0;
        for (std::string key; meminfo >> key;) {
            long value = 0;
            meminfo >> value;
            if (key == "Dirty:") {
                dirty = value;
            } else if (key == "Writeback:") {
                writeback = value;
            }
            meminfo.ignore(16, '\n');
        }
        if (dirty + writeback < 4096) {
            return;
        }
        ::usleep(50000);
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

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
           "<key>CFBundleIdentifier</key><string>"
        << tessuro::payloadBundleIdentifier
        << "</string>"
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

struct Size {
    const char* name;
    const char* folder;
    int files, large;
    std::size_t rest;
    int repetitions;
};

// One row of the table for a bundle of this size, then its stall measurement.
void measure(const Size& size, const fs::path& work, const codesign::SigningIdentity& identity,
             const fs::path& rootPem, const std::string& self) {
    const fs::path installer = work / "Tessuro Installer.app";
    const fs::path source = installer / "Contents/Resources/Payload/Tessuro.app";
    writeInfoPlist(installer, "7");
    auto made = Steady::now();
    makeBundle(source, size.files, size.large, size.rest, identity);
    std::fprintf(stderr, "%s: made and signed in %.1f s\n", size.name, secondsSince(made));
    std::map<std::string, std::vector<double>> times;
    long peakValidate = 0, peakInstall = 0;
    // Every run writes into folders of its own, and nothing is removed until the end: ext4
    // searches longer for free inodes among ones deleted in the last minute, which would
    // make a run's time depend on what the run before it removed.
    for (int rep = 0; rep < size.repetitions; ++rep) {
        const fs::path runs = work / ("run" + std::to_string(rep));
        const fs::path copy = runs / "copy/Tessuro.app";
        fs::create_directories(copy.parent_path());
        settle();
        times["a"].push_back(timed("cp -a " + quote(source) + " " + quote(copy) + " && sync"));
        times["b"].push_back(
            timed("cd " + quote(source) +
                  " && find . -type f -print0 | xargs -0 openssl dgst -sha256 > /dev/null"));
        Run validate = run({self, "--validate", source.string(), rootPem.string()});
        times["c"].push_back(std::stod(validate.output));
        peakValidate = std::max(peakValidate, validate.peakKb);
        for (bool upgrade : {false, true}) {
            const fs::path apps = runs / (upgrade ? "upgrade" : "fresh") / "Applications";
            const fs::path destination = apps / "Tessuro.app";
            fs::create_directories(apps);
            if (upgrade) {
                // The previous version, on disk before the clock starts.
                timed("cp -a " + quote(copy) + " " + quote(destination) + " && sync");
            }
            settle();
            Run install =
                run({self, "--install", source.string(), destination.string(), rootPem.string()});
            std::istringstream figures(install.output);
            double installed = 0, removal = 0;
            figures >> installed >> removal;
            times[upgrade ? "upgrade" : "fresh"].push_back(installed);
            if (upgrade) {
                times["removal"].push_back(removal);
            }
            peakInstall = std::max(peakInstall, install.peakKb);
        }
    }
    const double a = median(times["a"]), b = median(times["b"]), c = median(times["c"]);
    const double fresh = median(times["fresh"]), upgrade = median(times["upgrade"]);
    std::printf(
        "| %s | %.2f s | %.2f s | %.2f s | %.2f s | %.2f s | %.2f s | %.2f | %.2f | %.2f | "
        "%.0f MB | %.0f MB |\n",
        size.name, a, b, c, fresh, upgrade, median(times["removal"]), c / b, fresh / a, upgrade / a,
        peakValidate / 1024.0, peakInstall / 1024.0);
    // The runs behind each median: the disk's write-back and ext4's search for free inodes
    // make single runs vary, the plain tools' as much as the install's.
    for (const char* key : {"a", "fresh", "upgrade"}) {
        std::fprintf(stderr, "%s, %s:", size.name, key);
        for (double value : times[key]) {
            std::fprintf(stderr, " %.2f", value);
        }
        std::fprintf(stderr, "\n");
    }
    std::fflush(stdout);
}

int benchmark(bool quick, const std::string& self) {
    const fs::path work =
        fs::temp_directory_path() / ("install-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);

    codesign::CertificateSpec rootSpec;
    rootSpec.commonName = "Bench Root";
    rootSpec.authority = true;
    codesign::Credential root = codesign::makeCertificate(rootSpec, nullptr);
    codesign::CertificateSpec leafSpec;
    leafSpec.commonName = "Bench";
    leafSpec.organizationalUnit = std::string(tessuro::payloadTeamIdentifier);
    codesign::Credential leaf = codesign::makeCertificate(leafSpec, &root);
    codesign::SigningIdentity identity;
    identity.key = std::move(leaf.key);
    identity.chain.push_back(std::move(leaf.certificate));
    const fs::path rootPem = work / "root.pem";
    std::ofstream(rootPem) << codesign::certificatePem(root.certificate.get());

    std::vector<Size> sizes{{"small (50 MB, 2 000 files)", "small", 2000, 0, 50u << 20, 5}};
    if (!quick) {
        sizes.push_back({"large (1 GB, 20 000 files)", "large", 20000, 3, 724u << 20, 5});
    }
    std::printf(
        "| bundle | (a) cp -a + sync | (b) openssl dgst | (c) validate | (d) install fresh | "
        "(d) install upgrade | removal of the replaced version | (c)/(b) | (d) fresh/(a) | "
        "(d) upgrade/(a) | peak (c) | peak (d) |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Size& size : sizes) {
        measure(size, work / size.folder, identity, rootPem, self);
    }
    // The last bundle made, installed through the model while the window's thread counts
    // how long it goes without processing events.
    const fs::path stallTrace = fs::path(self).parent_path() / "stall-trace";
    const fs::path installer = work / sizes.back().folder / "Tessuro Installer.app";
    std::vector<double> stalls;
    for (int rep = 0; rep < 5; ++rep) {
        settle();
        Run stall = run({stallTrace.string(), installer.string(), rootPem.string(),
                         (work / ("home" + std::to_string(rep))).string()});
        stalls.push_back(std::stod(stall.output));
    }
    std::printf(
        "\nLongest time the main thread went without processing events during an install of "
        "the %s bundle, in five runs: median %.1f ms, longest %.1f ms\n",
        sizes.back().name, median(stalls), *std::max_element(stalls.begin(), stalls.end()));
    // The same while 500 programs of the user's, from 50 bundles, are listed as running
    // copies: their Info.plists are read off the window's thread.
    std::vector<double> listing;
    for (int rep = 0; rep < 5; ++rep) {
        settle();
        Run stall =
            run({stallTrace.string(), installer.string(), rootPem.string(),
                 (work / ("copies" + std::to_string(rep))).string(), "--copies", "500", "50"});
        listing.push_back(std::stod(stall.output.substr(stall.output.find('\n') + 1)));
    }
    std::printf(
        "Longest time without processing events while the running copies were listed, with "
        "500 programs of the user's from 50 bundles running, in five runs: median %.1f ms, "
        "longest %.1f ms\n",
        median(listing), *std::max_element(listing.begin(), listing.end()));
    fs::remove_all(work);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 3 && arguments[0] == "--validate") {
        return validateStep(arguments[1], arguments[2]);
    }
    if (arguments.size() == 4 && arguments[0] == "--install") {
        return installStep(arguments[1], arguments[2], arguments[3]);
    }
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    return benchmark(!arguments.empty() && arguments[0] == "--quick", self);
}
