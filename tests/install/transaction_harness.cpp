// transaction_harness: one install transaction with the real validation, as the installer's
// background task runs it; the disk-fault tests run it on small file systems in a private
// mount namespace.
//
//   transaction_harness SOURCE DESTINATION ANCHOR_PEM [--fail-disk-before OPERATION TRIGGER]
//
// Prints "ok" or "error: <the text the window would show>", then the destination's build
// number (or "absent") and the number of hidden items beside it.
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

namespace {

// Installs through the system's file operations, or, with a trigger, through recorded ones
// that fail the disk right before `failBefore`; background work ends before it returns.
void install(const fs::path& source, const fs::path& destination,
             const InstallerTransaction::Verify& verify, std::string failBefore,
             const std::string& trigger) {
    if (trigger.empty()) {
        InstallerTransaction::install(source, destination, verify);
        InstallerTransaction::waitForBackgroundWork();
        return;
    }
    test::RecordingFileSystem files;
    files.beforeEach = [&](const std::string& operation) {
        if (!failBefore.empty() && operation.starts_with(failBefore)) {
            std::ofstream(trigger) << "failing disk\n";
            failBefore.clear();
        }
    };
    std::vector<std::function<void()>> later;
    InstallerTransaction::install(
        source, destination, verify,
        {files, [&](std::function<void()> job) { later.push_back(std::move(job)); }});
    for (auto& job : later) {
        job();
    }
}

void report(const fs::path& destination) {
    std::printf("destination: %s\n",
                fs::exists(destination)
                    ? bundleInfoString(destination, "CFBundleVersion").value_or("?").c_str()
                    : "absent");
    std::error_code ignored;
    int hidden = 0;
    for (const auto& entry : fs::directory_iterator(destination.parent_path(), ignored)) {
        hidden += entry.path().filename().string().starts_with(".Tessuro-");
    }
    std::printf("hidden: %d\n", hidden);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: transaction_harness SOURCE DESTINATION ANCHOR_PEM [options]\n");
        return 2;
    }
    const fs::path source = argv[1], destination = argv[2];
    const bool failing = argc == 7 && std::strcmp(argv[4], "--fail-disk-before") == 0;
    const std::string failBefore = failing ? argv[5] : "", trigger = failing ? argv[6] : "";
    int status = 0;
    try {
        codesign::CodeSigning trust({readFileContents(argv[3], 1 << 20)});
        install(
            source, destination,
            [&](const fs::path& bundle) { PayloadValidation::validate(bundle, trust); }, failBefore,
            trigger);
        std::printf("ok\n");
    } catch (const Error& error) {
        std::printf("error: %s\n", error.localizedDescription().c_str());
        status = 1;
    }
    report(destination);
    std::fflush(stdout);
    return status;
}
