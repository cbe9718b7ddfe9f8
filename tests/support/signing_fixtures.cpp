#include "signing_fixtures.h"

#include <sys/stat.h>

#include "install/product.h"
#include "temp_dir.h"

namespace tessuro::test {

using namespace codesign;

const TestPki& TestPki::shared() {
    static const TestPki pki = [] {
        TestPki p;
        auto make = [](const Credential* issuer, const auto& adjust) {
            CertificateSpec spec;
            spec.commonName = "Developer ID Application: Vorlak";
            spec.organizationalUnit = std::string(payloadTeamIdentifier);
            adjust(spec);
            return makeCertificate(spec, issuer);
        };
        auto authority = [](const char* name) {
            return [=](CertificateSpec& s) {
                s = CertificateSpec();
                s.commonName = name;
                s.authority = true;
            };
        };
        p.root = make(nullptr, authority("Test Root"));
        p.intermediate = make(&p.root, authority("Test Developer Relations"));
        p.leaf = make(&p.intermediate, [](auto&) {});
        p.otherTeamLeaf =
            make(&p.intermediate, [](auto& s) { s.organizationalUnit = "A1B2C3D4E5"; });
        p.appleStyleLeaf =
            make(&p.intermediate, [](auto& s) { s.criticalExtension = kAppleLeafExtension; });
        p.unknownCriticalLeaf =
            make(&p.intermediate, [](auto& s) { s.criticalExtension = "1.2.3.4"; });
        p.noCodeSigningLeaf = make(&p.intermediate, [](auto& s) { s.codeSigning = false; });
        p.expiredLeaf = make(&p.intermediate, [](auto& s) {
            s.notAfterDays = 0;
            s.notAfterExtraSeconds = -3600;
        });
        p.expiredIntermediate = make(&p.root, [&](auto& s) {
            authority("Test Developer Relations (expired)")(s);
            s.notAfterDays = 0;
            s.notAfterExtraSeconds = -3600;
        });
        p.leafOfExpiredIntermediate = make(&p.expiredIntermediate, [](auto&) {});
        p.untrustedRoot = make(nullptr, authority("Untrusted Root"));
        p.untrustedLeaf = make(&p.untrustedRoot, [](auto&) {});
        return p;
    }();
    return pki;
}

SigningIdentity TestPki::identity(const Credential& leaf) const {
    SigningIdentity identity;
    EVP_PKEY_up_ref(leaf.key.get());
    identity.key.reset(leaf.key.get());
    for (X509* certificate :
         {leaf.certificate.get(), intermediate.certificate.get(),
          expiredIntermediate.certificate.get(), untrustedRoot.certificate.get()}) {
        if (certificate == leaf.certificate.get() ||
            X509_check_issued(certificate, identity.chain.back().get()) == X509_V_OK) {
            X509_up_ref(certificate);
            identity.chain.emplace_back(certificate);
        }
    }
    return identity;
}

void makeUnsignedBundle(const std::filesystem::path& bundle, const std::string& version) {
    writeInfoPlist(bundle, {{"CFBundleIdentifier", std::string(payloadBundleIdentifier)},
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
    makeUnsignedBundle(bundle, version);
    const TestPki& pki = TestPki::shared();
    signBundle(bundle, pki.identity(pki.leaf), options);
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

}  // namespace tessuro::test
