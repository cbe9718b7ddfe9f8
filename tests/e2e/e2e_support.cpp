#include "e2e_support.h"

#include <sys/wait.h>

#include <cstdlib>
#include <stdexcept>

#include "install/payload_validation.h"
#include "platform/files.h"
#include "temp_dir.h"

namespace tessuro::e2e {

namespace fs = std::filesystem;

fs::path builtInstaller() {
    return fs::path(TESSURO_BUILD_DIR) / "Tessuro Installer.app";
}
fs::path developmentIdentity() {
    return fs::path(TESSURO_BUILD_DIR) / "development-identity";
}
fs::path signingTool() {
    return TESSURO_CODESIGN_TOOL;
}
fs::path sandboxScript() {
    return fs::path(TESSURO_SOURCE_DIR) / "tests/e2e/sandbox.sh";
}

fs::path copyInstaller(const fs::path& into) {
    fs::path copy = into / "Tessuro Installer.app";
    fs::copy(builtInstaller(), copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return copy;
}

void makeOlderSignedPayload(const fs::path& installer, const fs::path& to,
                            const std::string& version) {
    fs::copy(installer / "Contents/Resources/Payload/Tessuro.app", to,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::path info = to / "Contents/Info.plist";
    std::string text = readFileContents(info, 1 << 20);
    std::string key = "<key>CFBundleVersion</key>\n\t<string>";
    std::size_t at = text.find(key);
    if (at == std::string::npos) {
        throw std::runtime_error("no CFBundleVersion in " + info.string());
    }
    std::size_t end = text.find("</string>", at + key.size());
    text.replace(at + key.size(), end - at - key.size(), version);
    test::writeFile(info, text);
    std::string command = "'" + signingTool().string() + "' sign --key '" +
                          (developmentIdentity() / "leaf-key.pem").string() + "' --certs '" +
                          (developmentIdentity() / "chain.pem").string() + "' '" + to.string() +
                          "' > /dev/null";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("cannot sign " + to.string());
    }
}

bool passesValidation(const fs::path& bundle) {
    codesign::CodeSigning trust({readFileContents(developmentIdentity() / "root.pem", 1 << 20)});
    try {
        PayloadValidation::validate(bundle, trust);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace tessuro::e2e
