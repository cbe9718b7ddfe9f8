// Bundle signatures made with the signer and checked by the verifier, untouched and
// tampered with in every way the seal must catch.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include "platform/codesign/apple_roots.h"
#include "platform/codesign/certificates.h"
#include "platform/files.h"
#include "signing_fixtures.h"
#include "temp_dir.h"

namespace tessuro::codesign {
namespace {

namespace fs = std::filesystem;
using test::payloadStatus;
using test::TestPki;

void flipByte(const fs::path& file, std::size_t at) {
    std::string content = readFileContents(file, 1 << 30);
    content.at(at) ^= 0x01;
    test::writeFile(file, content);
}

TEST(AppleRoots, AllThreeLoadWithTheirPublishedFingerprints) {
    std::vector<std::string> loaded;
    for (const X509Ptr& root : appleRootCertificates()) {
        loaded.push_back(certificateFingerprint(root.get()));
    }
    EXPECT_EQ(loaded, (std::vector<std::string>{
                          "B0B1730ECBC7FF4505142C49F1295E6EDA6BCAED7E2C68C5BE91B5A11001F024",
                          "C2B9B042DD57830E7D117DAC55AC8AE19407D38E41D88F3215BC3A890444A050",
                          "63343ABFB89A6A03EBB57E9B3F5FA7BE7C4F5C756F3017B3A8C488C3653E9179"}));
}

// Replaces the CMS signature with one by `leaf` that claims `signingTime`, or that carries
// no signed attributes at all.
void replaceCms(const fs::path& bundle, const Credential& leaf,
                std::optional<std::time_t> signingTime) {
    const fs::path signature = bundle / "Contents/_CodeSignature";
    const std::string cd = readFileContents(signature / "CodeDirectory", 1 << 20);
    SigningIdentity identity = TestPki::shared().identity(leaf);
    const int flags =
        CMS_PARTIAL | CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP | (signingTime ? 0 : CMS_NOATTR);
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    CMS_SignerInfo* signer = CMS_add1_signer(cms.get(), identity.chain[0].get(), identity.key.get(),
                                             EVP_sha256(), flags);
    CMS_add1_cert(cms.get(), identity.chain.back().get());
    if (signingTime) {
        ASN1_TIME* when = ASN1_TIME_set(nullptr, *signingTime);
        CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_signingTime, when->type, when, -1);
        ASN1_TIME_free(when);
    }
    BioPtr data(BIO_new_mem_buf(cd.data(), static_cast<int>(cd.size())));
    ASSERT_EQ(CMS_final(cms.get(), data.get(), nullptr, flags), 1);
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms.get(), &der);
    test::writeFile(signature / "CodeSignature",
                    std::string(reinterpret_cast<char*>(der), static_cast<std::size_t>(length)));
    OPENSSL_free(der);
}

// Certificates are judged when the signature says it was made (macOS accepts code signed
// before its certificate expired); a signature that says nothing is judged now.
TEST(Signature, CertificatesAreJudgedAtTheSigningTimeOrNow) {
    test::TempDir dir;
    CertificateSpec spec;
    spec.commonName = "Developer ID Application: Vorlak";
    spec.organizationalUnit = "Q7XK4M2LD8";
    spec.notAfterDays = 0;
    spec.notAfterExtraSeconds = -3600;  // expired an hour ago, valid for a day before
    const Credential expired = makeCertificate(spec, &TestPki::shared().intermediate);
    const std::time_t now = std::time(nullptr);
    test::makeSignedBundle(dir / "Old.app");
    const std::tuple<const Credential*, std::optional<std::time_t>, Status> cases[] = {
        {&expired, now - 7200, kStatusOk},
        {&expired, std::nullopt, kStatusUntrusted},  // no signing time: judged now
        {&expired, now, kStatusUntrusted},           // signed after it expired
        {&TestPki::shared().leaf, std::nullopt, kStatusOk},
    };
    for (const auto& [leaf, signingTime, expected] : cases) {
        replaceCms(dir / "Old.app", *leaf, signingTime);
        std::string detail;
        EXPECT_EQ(payloadStatus(dir / "Old.app", &detail), expected) << detail;
    }
}

using Edit = std::function<void(const fs::path& bundle, const fs::path& dir)>;

Edit write(std::string file, std::string text) {
    return [=](auto& b, auto&) { test::writeFile(b / file, text); };
}
Edit append(std::string file, std::string text) {
    return [=](auto& b, auto&) { std::ofstream(b / file, std::ios::app) << text; };
}
Edit flip(std::string file, std::size_t at) {
    return [=](auto& b, auto&) { flipByte(b / file, at); };
}
Edit remove(std::string file) {
    return [=](auto& b, auto&) { fs::remove_all(b / file); };
}
Edit truncate(std::string file, std::size_t size) {
    return [=](auto& b, auto&) { fs::resize_file(b / file, size); };
}
Edit copyFrom(std::string other, std::vector<std::string> names) {
    return [=](auto& b, auto& d) {
        for (const std::string& name : names) {
            fs::copy_file(d / other / "Contents/_CodeSignature" / name,
                          b / "Contents/_CodeSignature" / name,
                          fs::copy_options::overwrite_existing);
        }
    };
}
Edit resign(Credential TestPki::*leaf, SignOptions options = {}) {
    return [=](auto& b, auto&) {
        signBundle(b, TestPki::shared().identity(TestPki::shared().*leaf), options);
    };
}
Edit then(Edit first, Edit second) {
    return [=](auto& b, auto& d) {
        first(b, d);
        second(b, d);
    };
}
Edit resealed(std::function<void(std::string&)> change,
              Credential TestPki::*leaf = &TestPki::leaf) {
    return [=](auto& b, auto&) { test::resignWithResources(b, change, TestPki::shared().*leaf); };
}

const SignOptions kSha1Primary{.sha1Primary = true};

void unchanged(std::string&) {}

// Entries without their own "optional", so that only the rules make them optional.
void withoutOptionalEntries(std::string& r) {
    const std::string flag = "\t\t\t<key>optional</key>\n\t\t\t<true/>\n\t\t</dict>";
    for (std::size_t at; (at = r.find(flag)) != std::string::npos;) {
        r.replace(at, flag.size(), "\t\t</dict>");
    }
}

// Version 1 sealed links by following them; this verifier never follows one.
void keepVersion1Only(std::string& r) {
    auto cut = [&](const char* from, std::size_t to) { r.erase(r.find(from), to - r.find(from)); };
    cut("<key>files2</key>", r.find("<key>rules</key>"));
    cut("<key>rules2</key>", r.rfind("</dict>\n</plist>"));
}

const struct {
    const char* name;
    Edit edit;
    Status expected;
} kTampers[] = {
    {"a SHA-1 primary and SHA-256 alternate", resign(&TestPki::leaf, kSha1Primary), kStatusOk},
    {"a leaf with Apple's critical extension", resign(&TestPki::appleStyleLeaf), kStatusOk},
    {"a localisation removed (optional)", remove("Contents/Resources/zh.lproj"), kStatusOk},
    {"a localisation removed, optional by its rule alone",
     then(remove("Contents/Resources/zh.lproj"), resealed(withoutOptionalEntries)), kStatusOk},
    {"version 1 resources only",
     then(then(remove("Contents/Resources/current.dat"), remove("Contents/Resources/data-link")),
          resealed(keepVersion1Only)),
     kStatusOk},
    {"one byte of a sealed file", flip("Contents/Resources/data/levels/two.dat", 5000),
     kStatusResourceModified},
    {"an added file", write("Contents/Resources/x.txt", "x"), kStatusResourceAdded},
    {"an added file beside the executable", write("Contents/MacOS/helper", "x"),
     kStatusResourceAdded},
    {"a FIFO added",
     [](auto& b, auto&) { ::mkfifo((b / "Contents/Resources/pipe").c_str(), 0644); },
     kStatusResourceAdded},
    {"a removed file", remove("Contents/Resources/data/levels/one.dat"), kStatusResourceMissing},
    {"a retargeted symbolic link",
     then(remove("Contents/Resources/current.dat"),
          [](auto& b, auto&) {
              fs::create_symlink("data/levels/two.dat", b / "Contents/Resources/current.dat");
          }),
     kStatusResourceModified},
    {"a file replaced by a link to a copy of it",
     [](auto& b, auto& d) {
         const fs::path file = b / "Contents/Resources/data/levels/one.dat";
         fs::copy_file(file, d / "outside.dat", fs::copy_options::overwrite_existing);
         fs::remove(file);
         fs::create_symlink(d / "outside.dat", file);
     },
     kStatusResourceModified},
    {"a file beside Contents", write("evil", "#!/bin/sh\n"), kStatusUnsealedRoot},
    {"Info.plist edited", append("Contents/Info.plist", "\n"), kStatusComponentModified},
    {"CodeResources edited", append("Contents/_CodeSignature/CodeResources", " "),
     kStatusComponentModified},
    {"CodeRequirements edited", flip("Contents/_CodeSignature/CodeRequirements", 20),
     kStatusComponentModified},
    {"bytes appended to the main executable", append("Contents/MacOS/Tessuro", "rm -rf ~\n"),
     kStatusExecutableModified},
    {"one byte of the main executable", flip("Contents/MacOS/Tessuro", 3),
     kStatusExecutableModified},
    {"a universal main executable",
     then(write("Contents/MacOS/Tessuro",
                test::universalExecutable(
                    {test::machOExecutable(false), test::machOExecutable(false, true)})),
          resign(&TestPki::leaf)),
     kStatusOk},
    {"a main executable that carries its own signature, sealed by hand",
     then(write("Contents/MacOS/Tessuro", test::machOExecutable(true)), resealed(unchanged)),
     kStatusUnsupported},
    {"a malformed Mach-O main executable, sealed by hand",
     then(write("Contents/MacOS/Tessuro", test::universalExecutable({"x"})), resealed(unchanged)),
     kStatusMalformed},
    {"the CodeDirectory of another bundle", copyFrom("Other.app", {"CodeDirectory"}),
     kStatusSignatureInvalid},
    {"the CodeDirectory and CMS of another bundle",
     copyFrom("Other.app", {"CodeDirectory", "CodeSignature"}), kStatusComponentModified},
    {"the alternate CodeDirectory stripped",
     then(resign(&TestPki::leaf, kSha1Primary),
          remove("Contents/_CodeSignature/CodeRequirements-1")),
     kStatusSignatureInvalid},
    {"the alternate CodeDirectory of another bundle",
     then(resign(&TestPki::leaf, kSha1Primary), copyFrom("OtherAgile.app", {"CodeRequirements-1"})),
     kStatusSignatureInvalid},
    {"a truncated CMS", truncate("Contents/_CodeSignature/CodeSignature", 200), kStatusMalformed},
    {"an empty CMS (ad hoc)", truncate("Contents/_CodeSignature/CodeSignature", 0), kStatusAdHoc},
    {"no CMS", remove("Contents/_CodeSignature/CodeSignature"), kStatusMalformed},
    {"no signature", remove("Contents/_CodeSignature"), kStatusUnsigned},
    {"the signature folder as a link",
     [](auto& b, auto& d) {
         fs::rename(b / "Contents/_CodeSignature", d / "sig");
         fs::create_directory_symlink(d / "sig", b / "Contents/_CodeSignature");
     },
     kStatusMalformed},
    {"another identifier", resign(&TestPki::leaf, {.identifier = "com.example.other"}),
     kStatusRequirementFailed},
    {"another team (OU)", resign(&TestPki::otherTeamLeaf), kStatusRequirementFailed},
    {"an untrusted root",
     [](auto& b, auto&) {
         const TestPki& pki = TestPki::shared();
         SigningIdentity identity = pki.identity(pki.untrustedLeaf);
         X509_up_ref(pki.untrustedRoot.certificate.get());
         identity.chain.emplace_back(pki.untrustedRoot.certificate.get());
         signBundle(b, identity);
     },
     kStatusUntrusted},
    {"a leaf not for code signing", resign(&TestPki::noCodeSigningLeaf), kStatusUntrusted},
    {"a CodeDirectory team that is not the leaf's", resealed(unchanged, &TestPki::otherTeamLeaf),
     kStatusTeamMismatch},
    {"nested code in the seal", resealed([](std::string& r) {
         r.insert(
             r.find("<key>files2</key>\n\t<dict>") + 25,
             "<key>Frameworks/X.framework</key><dict><key>cdhash</key><data>AAAA</data></dict>");
     }),
     kStatusUnsupported},
};

// Each case on a fresh signed copy, which passes untouched.
TEST(Signature, EveryTamperingIsCaughtAndTheUntouchedCopyPasses) {
    test::TempDir dir;
    test::makeSignedBundle(dir / "Other.app", "9");
    test::makeSignedBundle(dir / "OtherAgile.app", "2", kSha1Primary);
    int index = 0;
    for (const auto& [name, edit, expected] : kTampers) {
        const fs::path bundle = dir / ("Case" + std::to_string(index++) + ".app");
        test::makeSignedBundle(bundle);
        ASSERT_EQ(payloadStatus(bundle), kStatusOk) << "untouched copy of " << name;
        edit(bundle, dir.path());
        std::string detail;
        EXPECT_EQ(payloadStatus(bundle, &detail), expected) << name << ": " << detail;
    }
}

// What the verifier would refuse, the signer refuses to sign, saying why, and writes no
// signature.
TEST(Signature, TheSignerRefusesWhatTheVerifierWouldAndSaysWhy) {
    test::TempDir dir;
    const TestPki& pki = TestPki::shared();
    test::makeUnsignedBundle(dir / "Linked.app");
    fs::rename(dir / "Linked.app/Contents/Info.plist", dir / "Info.plist");
    fs::create_symlink(dir / "Info.plist", dir / "Linked.app/Contents/Info.plist");
    test::writeInfoPlist(dir / "Climbing.app",
                         {{"CFBundleIdentifier", "com.vorlak.tessuro.psvalidation"},
                          {"CFBundleExecutable", "../Resources/x"}});
    test::makeUnsignedBundle(dir / "Beside.app");
    test::writeFile(dir / "Beside.app/evil", "x");
    test::makeUnsignedBundle(dir / "MachO.app");
    test::writeFile(dir / "MachO.app/Contents/MacOS/Tessuro", test::machOExecutable(true));
    test::makeUnsignedBundle(dir / "OtherKey.app");
    SigningIdentity otherKey = pki.identity(pki.leaf);
    otherKey.key = pki.identity(pki.otherTeamLeaf).key;
    const std::tuple<const char*, const SigningIdentity*, std::string_view, long, const char*>
        cases[] = {
            {"Linked.app", nullptr, kPosixErrorDomain, ELOOP, "符号链接"},
            {"Climbing.app", nullptr, kCodeSigningErrorDomain, codesign_code::kMalformed,
             "CFBundleExecutable is not a file name: ../Resources/x"},
            {"Beside.app", nullptr, kCodeSigningErrorDomain, codesign_code::kNotSignable,
             "unsealed contents present in the bundle root: evil"},
            {"MachO.app", nullptr, kCodeSigningErrorDomain, codesign_code::kNotSignable,
             "carries its own signature (LC_CODE_SIGNATURE)"},
            {"OtherKey.app", &otherKey, kCodeSigningErrorDomain, codesign_code::kCryptoFailed,
             "private key does not match certificate"},
        };
    const SigningIdentity leaf = pki.identity(pki.leaf);
    for (const auto& [name, identity, domain, code, reason] : cases) {
        try {
            signBundle(dir / name, identity != nullptr ? *identity : leaf);
            ADD_FAILURE() << name << " was signed";
        } catch (const Error& error) {
            EXPECT_EQ(error.domain(), domain) << name;
            EXPECT_EQ(error.code(), code) << name;
            EXPECT_NE(error.localizedDescription().find(reason), std::string::npos)
                << name << ": " << error.localizedDescription();
        }
        EXPECT_FALSE(fs::exists(dir / name / "Contents/_CodeSignature")) << name;
    }
}

// Every file the verifier reads is checked to be a regular file before a byte is read: a
// FIFO in place of a signed file fails the check at once instead of waiting for a writer.
TEST(Signature, AFifoInPlaceOfASignedFileFailsAtOnce) {
    test::TempDir dir;
    int index = 0;
    for (const char* file : {"Contents/Info.plist", "Contents/_CodeSignature/CodeResources",
                             "Contents/_CodeSignature/CodeSignature", "Contents/MacOS/Tessuro",
                             "Contents/Resources/data/levels/one.dat"}) {
        const fs::path bundle = dir / ("Fifo" + std::to_string(index++) + ".app");
        test::makeSignedBundle(bundle);
        fs::remove(bundle / file);
        test::makeFifo(bundle / file);
        Status status = kStatusOk;
        EXPECT_TRUE(test::endsWithin(2, bundle / file, [&] { status = payloadStatus(bundle); }))
            << file;
        EXPECT_NE(status, kStatusOk) << file;
    }
}

// Checks that share a digest memo read a sealed file unchanged since the first check only
// once; a file changed after it, even at once and to the same size, is read again.
TEST(Signature, AFileChangedAfterACheckIsReadAgain) {
    test::TempDir dir;
    test::makeSignedBundle(dir / "A.app");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the files' last change is past
    DigestCache memo;
    UseDigests use(memo);
    ASSERT_EQ(payloadStatus(dir / "A.app"), kStatusOk);
    for (const char* file :
         {"Contents/Resources/data/levels/two.dat", "Contents/Resources/data/levels/one.dat"}) {
        // Same size and, set back, the same modification time: only the change time tells.
        struct stat before {};
        ASSERT_EQ(::stat((dir / "A.app" / file).c_str(), &before), 0);
        flipByte(dir / "A.app" / file, 2);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "A.app" / file).c_str(), times, 0), 0);
        EXPECT_EQ(payloadStatus(dir / "A.app"), kStatusResourceModified) << file;
        flipByte(dir / "A.app" / file, 2);
    }
}

}  // namespace
}  // namespace tessuro::codesign
