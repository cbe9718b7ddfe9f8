#include "install/payload_validation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <optional>

#include "install/product.h"
#include "platform/error.h"
#include "signing_fixtures.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

// Whatever is wrong, the window reads one message; the one-argument form trusts Apple's
// roots alone, so a bundle that the test root vouches for fails there too.
TEST(PayloadValidation, EveryFailureIsTheValidationErrorWithTheSameMessage) {
    test::TempDir dir;
    test::makeSignedBundle(dir / "Tessuro.app");
    EXPECT_NO_THROW(
        PayloadValidation::validate(dir / "Tessuro.app", test::TestPki::shared().service()));

    test::makeUnsignedBundle(dir / "Unsigned.app");
    test::writeFile(dir / "file", "x");
    for (fs::path bundle :
         {dir / "Tessuro.app", dir / "Missing.app", dir / "Unsigned.app", dir / "file"}) {
        try {
            PayloadValidation::validate(bundle);
            ADD_FAILURE() << bundle << " passed";
        } catch (const Error& error) {
            EXPECT_EQ(error.domain(), kInstallerErrorDomain);
            EXPECT_EQ(error.code(), installer_code::kValidationFailed);
            EXPECT_EQ(error.localizedDescription(), "安装文件校验未通过，请重新下载安装包");
        }
    }
}

// OpenSSL with its base provider alone offers no digest, and Apple's roots are known by
// their SHA-256 fingerprints: the service is still made, the check answers that it could
// not run, and the window reads the same one message. OpenSSL reads its configuration once
// per process, so the validation runs in a process of its own, started afresh, which
// names the configuration before anything touches OpenSSL.
TEST(PayloadValidation, WithoutTheDigestsOpenSslCannotMakeTheMessageIsTheSame) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test::TempDir dir;
    test::writeFile(dir / "base-only.cnf",
                    "openssl_conf = openssl_init\n"
                    "[openssl_init]\nproviders = provider_sect\n"
                    "[provider_sect]\nbase = base_sect\n"
                    "[base_sect]\nactivate = 1\n");
    struct Configured {
        std::optional<std::string> before;
        explicit Configured(const fs::path& file) {
            if (const char* set = std::getenv("OPENSSL_CONF")) {
                before = set;
            }
            ::setenv("OPENSSL_CONF", file.c_str(), 1);
        }
        ~Configured() {
            before ? ::setenv("OPENSSL_CONF", before->c_str(), 1) : ::unsetenv("OPENSSL_CONF");
        }
    } configured(dir / "base-only.cnf");
    test::makeUnsignedBundle(dir / "Tessuro.app");
    EXPECT_EXIT(
        {
            const codesign::CodeSigning appleRoots;
            std::unique_ptr<codesign::StaticCode> code;
            appleRoots.createStaticCodeWithPath(dir / "Tessuro.app", codesign::kDefaultFlags, code);
            std::string detail;
            const codesign::Status status =
                appleRoots.checkValidity(code.get(), codesign::kDefaultFlags, nullptr, &detail);
            std::cerr << "status " << status << ": " << detail << "\n";
            try {
                PayloadValidation::validate(dir / "Tessuro.app");
                std::cerr << "passed\n";
            } catch (const Error& error) {
                std::cerr << error.domain() << " " << error.code() << ": "
                          << error.localizedDescription() << "\n";
                std::exit(status == codesign::kStatusInternalError &&
                                  error.domain() == kInstallerErrorDomain &&
                                  error.code() == installer_code::kValidationFailed &&
                                  error.localizedDescription() ==
                                      "安装文件校验未通过，请重新下载安装包"
                              ? 0
                              : 1);
            }
            std::exit(1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tessuro
