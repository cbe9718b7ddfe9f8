#include "signing_fixtures.h"

#include <sys/stat.h>

#include "install/payload_validation.h"
#include "platform/codesign/cms_signature.h"
#include "platform/codesign/code_directory.h"
#include "platform/files.h"
#include "temp_dir.h"

namespace tessuro::test {

using namespace codesign;

const TestPki& TestPki::shared() {
    static const TestPki pki = [] {
        TestPki p;
        CertificateSpec rootSpec;
        rootSpec.commonName = "Test Root";
        rootSpec.authority = true;
        p.root = makeCertificate(rootSpec, nullptr);
        CertificateSpec intermediateSpec = rootSpec;
        intermediateSpec.commonName = "Test Developer Relations";
        p.intermediate = makeCertificate(intermediateSpec, &p.root);
        CertificateSpec leafSpec;
        leafSpec.commonName = "Developer ID Application: Vorlak";
        leafSpec.organizationalUnit = "Q7XK4M2LD8";
        p.leaf = makeCertificate(leafSpec, &p.intermediate);
        CertificateSpec other = leafSpec;
        other.organizationalUnit = "A1B2C3D4E5";
        p.otherTeamLeaf = makeCertificate(other, &p.intermediate);
        CertificateSpec apple = leafSpec;
        apple.appleCriticalExtension = true;
        p.appleStyleLeaf = makeCertificate(apple, &p.intermediate);
        CertificateSpec noCodeSigning = leafSpec;
        noCodeSigning.codeSigning = false;
        p.noCodeSigningLeaf = makeCertificate(noCodeSigning, &p.intermediate);
        CertificateSpec untrusted = rootSpec;
        untrusted.commonName = "Untrusted Root";
        p.untrustedRoot = makeCertificate(untrusted, nullptr);
        p.untrustedLeaf = makeCertificate(leafSpec, &p.untrustedRoot);
        return p;
    }();
    return pki;
}

SigningIdentity TestPki::identity(const Credential& leaf) const {
    SigningIdentity identity;
    EVP_PKEY_up_ref(leaf.key.get());
    identity.key.reset(leaf.key.get());
    X509_up_ref(leaf.certificate.get());
    identity.chain.emplace_back(leaf.certificate.get());
    if (X509_check_issued(intermediate.certificate.get(), leaf.certificate.get()) == X509_V_OK) {
        X509_up_ref(intermediate.certificate.get());
        identity.chain.emplace_back(intermediate.certificate.get());
    }
    return identity;
}

void makeUnsignedBundle(const std::filesystem::path& bundle, const std::string& identifier,
                        const std::string& version) {
    writeInfoPlist(bundle, {{"CFBundleIdentifier", identifier},
                            {"CFBundleExecutable", "Tessuro"},
                            {"CFBundleVersion", version}});
    std::filesystem::path executable = bundle / "Contents/MacOS/Tessuro";
    writeFile(executable, "#!/bin/sh\necho Tessuro " + version + "\n");
    ::chmod(executable.c_str(), 0755);
    writeFile(bundle / "Contents/Resources/data/levels/one.dat", "level one " + version);
    writeFile(bundle / "Contents/Resources/data/levels/two.dat", std::string(100000, 'x'));
    writeFile(bundle / "Contents/Resources/en.lproj/Localizable.strings", "\"hello\" = \"hi\";");
    writeFile(bundle / "Contents/Resources/zh.lproj/Localizable.strings", "\"hello\" = \"你好\";");
    writeFile(bundle / "Contents/PkgInfo", "APPL????");
    std::filesystem::create_symlink("data/levels/one.dat",
                                    bundle / "Contents/Resources/current.dat");
    std::filesystem::create_directory_symlink("data", bundle / "Contents/Resources/data-link");
}

void makeSignedBundle(const std::filesystem::path& bundle, const std::string& version,
                      const SignOptions& options) {
    makeUnsignedBundle(bundle, "com.vorlak.tessuro.psvalidation", version);
    const TestPki& pki = TestPki::shared();
    signBundle(bundle, pki.identity(pki.leaf), options);
}

void resignWithResources(const std::filesystem::path& bundle,
                         const std::function<void(std::string&)>& edit, const Credential& leaf,
                         const std::string& team) {
    std::filesystem::path signature = bundle / "Contents/_CodeSignature";
    std::string resources = readFileContents(signature / "CodeResources", 1 << 26);
    edit(resources);
    writeFile(signature / "CodeResources", resources);
    auto hashOf = [](const std::filesystem::path& file) {
        return digest(HashType::Sha256, asBytes(readFileContents(file, 1 << 26)));
    };
    CodeDirectoryContent content;
    content.identifier = "com.vorlak.tessuro.psvalidation";
    content.teamIdentifier = team;
    content.infoPlistHash = hashOf(bundle / "Contents/Info.plist");
    content.requirementsHash = hashOf(signature / "CodeRequirements");
    content.resourcesHash = hashOf(signature / "CodeResources");
    content.executableHash = hashOf(bundle / "Contents/MacOS/Tessuro");
    content.executableSize = std::filesystem::file_size(bundle / "Contents/MacOS/Tessuro");
    const Bytes cd = buildCodeDirectory(content);
    SigningIdentity identity = TestPki::shared().identity(leaf);
    std::vector<X509*> chain{identity.chain[0].get(), identity.chain.back().get()};
    const Bytes cms = signCms(cd, identity.key.get(), chain[0], chain,
                              {codeDirectoryHashes(HashType::Sha256, cd)});
    writeFile(signature / "CodeDirectory", std::string(cd.begin(), cd.end()));
    writeFile(signature / "CodeSignature", std::string(cms.begin(), cms.end()));
}

namespace {

// 32-bit words as a file stores them, big- or little-endian.
std::string words(std::initializer_list<std::size_t> values, bool bigEndian) {
    std::string out;
    for (std::size_t value : values) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<char>(value >> (bigEndian ? 24 - 8 * i : 8 * i)));
        }
    }
    return out;
}

}  // namespace

std::string machOExecutable(bool ownSignature, bool bigEndian32) {
    const std::size_t commands = ownSignature ? 2 : 1, size = ownSignature ? 40 : 24;
    // magic, CPU (PowerPC or x86_64), subtype, an executable, the commands' count and size
    std::string out = bigEndian32
                          ? words({0xfeedface, 18, 0, 2, commands, size, 0}, true)
                          : words({0xfeedfacf, 0x01000007, 3, 2, commands, size, 0, 0}, false);
    out += words({0x1b, 24}, bigEndian32) + std::string(16, '\x42');  // LC_UUID
    if (ownSignature) {
        out += words({0x1d, 16, 4096, 512}, bigEndian32);  // LC_CODE_SIGNATURE
    }
    return out + std::string(256, '\x90');
}

std::string universalExecutable(const std::vector<std::string>& slices) {
    std::string header = words({0xcafebabe, slices.size()}, true), body;
    for (const std::string& slice : slices) {
        body.resize((body.size() + 4095) / 4096 * 4096, '\0');
        // CPU, subtype, offset, size, alignment
        header += words({0x01000007, 3, 4096 + body.size(), slice.size(), 12}, true);
        body += slice;
    }
    header.resize(4096, '\0');
    return header + body;
}

Status payloadStatus(const std::filesystem::path& bundle, std::string* detail) {
    CodeSigning service = TestPki::shared().service();
    std::unique_ptr<StaticCode> code;
    std::unique_ptr<Requirement> requirement;
    if (Status status = service.createStaticCodeWithPath(bundle, 0, code); status != kStatusOk) {
        return status;
    }
    service.createRequirementWithString(PayloadValidation::payloadRequirement(), 0, requirement);
    return service.checkValidity(code.get(), kCheckAllArchitectures, requirement.get(), detail);
}

}  // namespace tessuro::test
