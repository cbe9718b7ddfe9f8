#include "install/payload_validation.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tessuro
