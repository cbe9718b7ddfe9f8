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
#include "platform/codesign/certificates.h"
#include "signing_fixtures.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool longMode() {
    return std::getenv("TESSURO_LONG_TESTS") != nullptr;
}

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
        codesign::CodeSigning trust({test::TestPki::shared().rootPem()});
        try {
            PayloadValidation::validate(bundle, trust);
        } catch (...) {
            return std::nullopt;
        }
        return bundleInfoString(bundle, "CFBundleVersion");
    }

    void killRepeatedly(bool upgrade, int kills) {
        // How long one uninterrupted run takes here.
        prepare(upgrade);
        auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(startInstall()->readLine(120), "ok");
        auto duration = std::chrono::steady_clock::now() - started;
        std::cout << "one run: "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()
                  << " ms\n";

        std::mt19937 random(kills * 7919 + upgrade);
        std::uniform_real_distribution<double> jitter(0.0, 1.0);
        const std::regex hiddenName(
            "\\.Tessuro-(安装中-[0-9A-F-]{36}\\.app|旧版-[0-9A-F-]{36}\\.previous)");
        std::map<std::string, int> outcomes;
        for (int i = 0; i < kills; ++i) {
            prepare(upgrade);
            auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
                duration * ((i + jitter(random)) / kills));
            {
                auto process = startInstall();
                std::this_thread::sleep_for(delay);
            }  // SIGKILL, then reaped
            std::string label = "kill " + std::to_string(i) + " after " +
                                std::to_string(delay.count() / 1000) + " ms";

            std::string outcome = "nothing";
            if (fs::exists(fs::symlink_status(destination))) {
                std::optional<std::string> version = validVersion(destination);
                ASSERT_TRUE(version.has_value()) << label << ": an incomplete bundle";
                ASSERT_TRUE(*version == "2" || (upgrade && *version == "1")) << label;
                outcome = *version == "1" ? "old" : "new";
            } else {
                ASSERT_FALSE(upgrade) << label << ": the previous bundle is gone";
            }
            ++outcomes[outcome];
            for (const std::string& name : test::hiddenItems(apps)) {
                ASSERT_TRUE(std::regex_match(name, hiddenName)) << label << ": " << name;
            }
            for (const auto& entry : fs::directory_iterator(apps)) {
                std::string name = entry.path().filename().string();
                ASSERT_TRUE(name == "Tessuro.app" || name.rfind(".Tessuro-", 0) == 0) << name;
            }

            // The next install succeeds over whatever the kill left, and leaves it alone.
            const std::vector<std::string> left = test::hiddenItems(apps);
            ASSERT_EQ(startInstall()->readLine(120), "ok") << label;
            ASSERT_EQ(validVersion(destination), "2") << label;
            for (const std::string& name : left) {
                ASSERT_TRUE(fs::exists(apps / name)) << label << ": " << name << " was removed";
            }
        }
        std::cout << (upgrade ? "upgrade" : "fresh install") << ", " << kills << " kills:";
        for (const auto& [outcome, count] : outcomes) {
            std::cout << " " << outcome << " " << count;
        }
        std::cout << "\n";
    }
};

TEST_F(Crash, KilledAtAnyInstantDuringAnUpgrade) {
    killRepeatedly(true, longMode() ? 200 : 6);
}

TEST_F(Crash, KilledAtAnyInstantDuringAFreshInstall) {
    killRepeatedly(false, longMode() ? 100 : 3);
}

}  // namespace
}  // namespace tessuro
