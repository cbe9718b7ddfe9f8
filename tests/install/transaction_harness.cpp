// transaction_harness: one install transaction with the real validation, as the installer's
// background task runs it; the crash and disk-fault tests start it, kill it, or run it on
// small file systems in a private mount namespace.
//
//   transaction_harness SOURCE DESTINATION ANCHOR_PEM [--remove-folder-during-copy] [--report]
//                       [--fail-disk-before OPERATION TRIGGER]
//
// Prints "ok" or "error: <the text the window would show>"; with --report it then prints
// the destination's build number (or "absent") and the hidden items beside it.
// --fail-disk-before writes to TRIGGER (an ext4 file system's trigger_fs_error) right before
// the first file operation whose log entry begins with OPERATION: the file system aborts
// its journal and goes read-only under the transaction, as on a failing disk.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "install/installer_transaction.h"
#include "install/payload_validation.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/files.h"
#include "recording_file_system.h"

namespace fs = std::filesystem;
using namespace tessuro;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: transaction_harness SOURCE DESTINATION ANCHOR_PEM [options]\n");
        return 2;
    }
    const fs::path source = argv[1], destination = argv[2];
    bool removeFolder = false, report = false;
    std::string failBefore, trigger;
    for (int i = 4; i < argc; ++i) {
        removeFolder |= std::strcmp(argv[i], "--remove-folder-during-copy") == 0;
        report |= std::strcmp(argv[i], "--report") == 0;
        if (std::strcmp(argv[i], "--fail-disk-before") == 0 && i + 2 < argc) {
            failBefore = argv[++i];
            trigger = argv[++i];
        }
    }
    test::RecordingFileSystem files;
    files.beforeEach = [&](const std::string& operation) {
        if (!failBefore.empty() && operation.rfind(failBefore, 0) == 0) {
            std::ofstream(trigger) << "failing disk\n";
            failBefore.clear();
        }
    };
    std::vector<std::function<void()>> later;
    InstallerTransaction::Environment environment{
        files, [&](std::function<void()> job) { later.push_back(std::move(job)); }};
    codesign::CodeSigning trust({readFileContents(argv[3], 1 << 20)});
    int status = 0;
    try {
        auto verify = [&](const fs::path& bundle) {
            if (removeFolder && bundle.filename().string().rfind(".Tessuro-安装中-", 0) == 0) {
                std::error_code ignored;
                fs::remove_all(destination.parent_path(), ignored);  // the folder vanishes
            }
            PayloadValidation::validate(bundle, trust);
        };
        if (trigger.empty()) {
            InstallerTransaction::install(source, destination, verify);
            InstallerTransaction::waitForBackgroundWork();
        } else {
            InstallerTransaction::install(source, destination, verify, environment);
            for (auto& job : later) {
                job();
            }
        }
        std::printf("ok\n");
    } catch (const Error& error) {
        std::printf("error: %s\n", error.localizedDescription().c_str());
        status = 1;
    }
    if (report) {
        std::printf("destination: %s\n",
                    fs::exists(destination)
                        ? bundleInfoString(destination, "CFBundleVersion").value_or("?").c_str()
                        : "absent");
        std::error_code ignored;
        int hidden = 0;
        for (const auto& entry : fs::directory_iterator(destination.parent_path(), ignored)) {
            hidden += entry.path().filename().string().rfind(".Tessuro-", 0) == 0;
        }
        std::printf("hidden: %d\n", hidden);
    }
    std::fflush(stdout);
    return status;
}
