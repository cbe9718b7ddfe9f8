// The transaction killed with SIGKILL at instants spread over a whole run, on a bundle large
// enough to take about a second. After every kill the destination holds the previous or the
// new bundle, complete (its signature seals every file), or nothing on a fresh install; only
// the run's hidden names remain beside it; and the next install succeeds.
// TESSURO_LONG_TESTS=1 runs 200 kills of an upgrade and 100 of a fresh install.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <regex>
#include <thread>

#include "child_process.h"
#include "install/payload_validation.h"
#include "install/product.h"
#include "platform/bundle.h"
#include "signing_fixtures.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;
const bool longMode = std::getenv("TESSURO_LONG_TESTS") != nullptr;

// A signed bundle with many small files and a few large ones.
void makeLargeBundle(const fs::path& bundle, const std::string& version) {
    test::makeUnsignedBundle(bundle, std::string(payloadBundleIdentifier), version);
    std::mt19937 random(std::stoi(version));
    for (int d = 0; d < 30; ++d) {
        for (int f = 0; f < 50; ++f) {
            test::writeFile(
                bundle / "Contents/Resources/levels" / std::to_string(d) /
                    ("level" + std::to_string(f) + ".dat"),
                std::string(200 + random() % 4000, static_cast<char>('a' + f % 26)) + version);
        }
    }
    for (int b = 0; b < 3; ++b) {
        std::string blob(40u << 20, '\0');
        for (std::size_t i = 0; i < blob.size(); i += 4096) {
            blob[i] = static_cast<char>(random());
        }
        test::writeFile(
            bundle / "Contents/Resources/media" / ("movie" + std::to_string(b) + ".bin"),
            blob + version);
    }
    const auto& pki = test::TestPki::shared();
    codesign::signBundle(bundle, pki.identity(pki.leaf));
}

class Crash : public ::testing::Test {
protected:
    static inline std::unique_ptr<test::TempDir> shared;
    static inline fs::path oldBundle, newBundle, anchor;

    static void SetUpTestSuite() {
        shared = std::make_unique<test::TempDir>();
        oldBundle = *shared / "old/Tessuro.app";
        newBundle = *shared / "new/Tessuro.app";
        anchor = *shared / "root.pem";
        makeLargeBundle(oldBundle, "1");
        makeLargeBundle(newBundle, "2");
        test::writeFile(anchor, test::TestPki::shared().rootPem());
    }
    static void TearDownTestSuite() { shared.reset(); }

    test::TempDir dir;
    fs::path apps = dir / "Applications";
    fs::path destination = apps / "Tessuro.app";

    std::unique_ptr<test::ChildProcess> startInstall() {
        return std::make_unique<test::ChildProcess>(
            TESSURO_TRANSACTION_HARNESS,
            test::ChildProcess::Options{
                .arguments = {newBundle.string(), destination.string(), anchor.string()}});
    }

    void prepare(bool upgrade) {
        fs::remove_all(apps);
        fs::create_directories(apps);
        if (upgrade) {
            fs::copy(oldBundle, destination,
                     fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        }
    }

    static std::optional<std::string> validVersion(const fs::path& bundle) {
        try {
            PayloadValidation::validate(bundle, test::TestPki::shared().service());
        } catch (...) {
            return std::nullopt;
        }
        return bundleInfoString(bundle, "CFBundleVersion");
    }

    // Kills the install at instants spread over the length of one uninterrupted run.
    void killRepeatedly(bool upgrade, int kills) {
        prepare(upgrade);
        auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(startInstall()->readLine(120), "ok");
        auto duration = std::chrono::steady_clock::now() - started;

        std::mt19937 random(kills * 7919 + upgrade);
        std::uniform_real_distribution<double> jitter(0.0, 1.0);
        const std::regex ours(
            "Tessuro\\.app|\\.Tessuro-(安装中-[0-9A-F-]{36}\\.app|旧版-[0-9A-F-]{36}\\.previous)");
        for (int i = 0; i < kills; ++i) {
            prepare(upgrade);
            auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
                duration * ((i + jitter(random)) / kills));
            {
                auto process = startInstall();
                std::this_thread::sleep_for(delay);
            }
            std::string label = "kill " + std::to_string(i) + " after " +
                                std::to_string(delay.count() / 1000) + " ms";

            if (fs::exists(fs::symlink_status(destination))) {
                std::optional<std::string> version = validVersion(destination);
                ASSERT_TRUE(version.has_value()) << label << ": an incomplete bundle";
                ASSERT_TRUE(*version == "2" || (upgrade && *version == "1")) << label;
            } else {
                ASSERT_FALSE(upgrade) << label << ": the previous bundle is gone";
            }
            std::vector<fs::path> left;
            for (const auto& entry : fs::directory_iterator(apps)) {
                left.push_back(entry.path());
                ASSERT_TRUE(std::regex_match(entry.path().filename().string(), ours))
                    << label << ": " << entry.path();
            }

            // The next install succeeds over whatever the kill left, and leaves the rest alone.
            ASSERT_EQ(startInstall()->readLine(120), "ok") << label;
            ASSERT_EQ(validVersion(destination), "2") << label;
            for (const fs::path& item : left) {
                ASSERT_TRUE(fs::exists(item)) << label << ": " << item << " was removed";
            }
        }
    }
};

TEST_F(Crash, KilledAtAnyInstantDuringAnUpgrade) {
    killRepeatedly(true, longMode ? 200 : 6);
}

TEST_F(Crash, KilledAtAnyInstantDuringAFreshInstall) {
    killRepeatedly(false, longMode ? 100 : 3);
}

}  // namespace
}  // namespace tessuro
