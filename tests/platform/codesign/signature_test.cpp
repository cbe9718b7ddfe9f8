// Bundle signatures made with the signer and checked by the verifier, untouched and
// tampered with in every way the seal must catch.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <openssl/cms.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include "install/payload_validation.h"
#include "platform/codesign/apple_roots.h"
#include "platform/codesign/cms_signature.h"
#include "platform/codesign/code_directory.h"
#include "platform/codesign/code_signing.h"
#include "platform/codesign/digest.h"
#include "platform/codesign/requirement.h"
#include "platform/error.h"
#include "platform/files.h"
#include "signing_fixtures.h"
#include "temp_dir.h"

namespace tessuro::codesign {
namespace {

namespace fs = std::filesystem;
using test::payloadStatus;
using test::TestPki;

void appendTo(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::app | std::ios::binary) << text;
}

void flipByte(const fs::path& file, std::size_t at) {
    std::string content = readFileContents(file, 1 << 30);
    content.at(at) ^= 0x01;
    test::writeFile(file, content);
}

TEST(AppleRoots, AllThreeLoadWithTheirPublishedFingerprints) {
    ASSERT_EQ(appleRoots().size(), 3u);
    EXPECT_EQ(CodeSigning().anchorCount(), 3u) << "a root whose fingerprint differs is not loaded";
    EXPECT_STREQ(appleRoots()[0].sha256,
                 "B0B1730ECBC7FF4505142C49F1295E6EDA6BCAED7E2C68C5BE91B5A11001F024");
    EXPECT_STREQ(appleRoots()[1].sha256,
                 "C2B9B042DD57830E7D117DAC55AC8AE19407D38E41D88F3215BC3A890444A050");
    EXPECT_STREQ(appleRoots()[2].sha256,
                 "63343ABFB89A6A03EBB57E9B3F5FA7BE7C4F5C756F3017B3A8C488C3653E9179");
}

TEST(Signature, SignedBundlesPassInEveryFormTheSignerWrites) {
    test::TempDir dir;
    const TestPki& pki = TestPki::shared();

    test::makeSignedBundle(dir / "Plain.app");
    std::string detail;
    EXPECT_EQ(payloadStatus(dir / "Plain.app", &detail), kStatusOk) << detail;

    // A SHA-1 primary with a SHA-256 alternate, as older signers write.
    test::makeSignedBundle(dir / "Agile.app", "1", SignOptions{.sha1Primary = true});
    EXPECT_TRUE(fs::exists(dir / "Agile.app/Contents/_CodeSignature/CodeRequirements-1"));
    EXPECT_EQ(payloadStatus(dir / "Agile.app", &detail), kStatusOk) << detail;

    // A leaf with Apple's private critical extension, as Developer ID leaves carry.
    test::makeUnsignedBundle(dir / "AppleStyle.app");
    signBundle(dir / "AppleStyle.app", pki.identity(pki.appleStyleLeaf));
    EXPECT_EQ(payloadStatus(dir / "AppleStyle.app", &detail), kStatusOk) << detail;

    // Apple's roots alone do not trust the test root.
    CodeSigning appleOnly;
    std::unique_ptr<StaticCode> code;
    appleOnly.createStaticCodeWithPath(dir / "Plain.app", 0, code);
    EXPECT_EQ(appleOnly.checkValidity(code.get(), 1, nullptr), kStatusUntrusted);
}

// Replaces the CMS signature with one by `leaf` that claims `signingTime`, or that carries
// no signed attributes at all.
void replaceCms(const fs::path& bundle, const Credential& leaf,
                std::optional<std::time_t> signingTime) {
    fs::path signature = bundle / "Contents/_CodeSignature";
    std::string cd = readFileContents(signature / "CodeDirectory", 1 << 20);
    SigningIdentity identity = TestPki::shared().identity(leaf);
    const int flags =
        CMS_PARTIAL | CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP | (signingTime ? 0 : CMS_NOATTR);
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    CMS_SignerInfo* signer = CMS_add1_signer(cms.get(), identity.chain[0].get(), identity.key.get(),
                                             EVP_sha256(), flags);
    for (std::size_t i = 1; i < identity.chain.size(); ++i) {
        CMS_add1_cert(cms.get(), identity.chain[i].get());
    }
    if (signingTime) {
        ASN1_TIME* when = ASN1_TIME_set(nullptr, *signingTime);
        CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_signingTime, when->type, when, -1);
        ASN1_TIME_free(when);
    }
    BioPtr data(BIO_new_mem_buf(cd.data(), static_cast<int>(cd.size())));
    ASSERT_EQ(CMS_final(cms.get(), data.get(), nullptr, flags), 1);
    unsigned char* der = nullptr;
    int length = i2d_CMS_ContentInfo(cms.get(), &der);
    test::writeFile(signature / "CodeSignature",
                    std::string(reinterpret_cast<char*>(der), static_cast<std::size_t>(length)));
    OPENSSL_free(der);
}

// Certificates are judged when the signature says it was made (macOS accepts code signed
// before its certificate expired); a signature that says nothing is judged now.
TEST(Signature, CertificatesAreJudgedAtTheSigningTimeOrNow) {
    test::TempDir dir;
    const TestPki& pki = TestPki::shared();
    CertificateSpec spec;
    spec.commonName = "Developer ID Application: Vorlak";
    spec.organizationalUnit = "Q7XK4M2LD8";
    spec.notAfterDays = 0;
    spec.notAfterExtraSeconds = -3600;  // expired an hour ago, valid for a day before
    Credential expired = makeCertificate(spec, &pki.intermediate);
    const std::time_t now = std::time(nullptr);

    test::makeSignedBundle(dir / "Old.app");
    replaceCms(dir / "Old.app", expired, now - 7200);
    std::string detail;
    EXPECT_EQ(payloadStatus(dir / "Old.app", &detail), kStatusOk) << detail;

    replaceCms(dir / "Old.app", expired, std::nullopt);
    EXPECT_EQ(payloadStatus(dir / "Old.app", &detail), kStatusUntrusted) << "no signing time";
    EXPECT_EQ(detail, "certificate has expired");

    replaceCms(dir / "Old.app", expired, now);
    EXPECT_EQ(payloadStatus(dir / "Old.app"), kStatusUntrusted) << "signed after it expired";
    replaceCms(dir / "Old.app", pki.leaf, std::nullopt);
    EXPECT_EQ(payloadStatus(dir / "Old.app", &detail), kStatusOk) << detail;
}

struct Tamper {
    const char* name;
    std::function<void(const fs::path& bundle, const fs::path& dir)> edit;
    int expected;
};

TEST(Signature, EveryTamperingIsCaughtAndTheUntouchedCopyPasses) {
    test::TempDir dir;
    const TestPki& pki = TestPki::shared();
    test::makeSignedBundle(dir / "Other.app", "9");
    test::makeUnsignedBundle(dir / "OtherOwner.app");
    signBundle(dir / "OtherOwner.app", pki.identity(pki.leaf));

    const std::vector<Tamper> cases = {
        {"one byte of a sealed file",
         [](auto& b, auto&) { flipByte(b / "Contents/Resources/data/levels/two.dat", 5000); },
         kStatusResourceModified},
        {"an added file",
         [](auto& b, auto&) { test::writeFile(b / "Contents/Resources/extra.txt", "x"); },
         kStatusResourceAdded},
        {"an added file beside the executable",
         [](auto& b, auto&) { test::writeFile(b / "Contents/MacOS/helper", "x"); },
         kStatusResourceAdded},
        {"a removed file",
         [](auto& b, auto&) { fs::remove(b / "Contents/Resources/data/levels/one.dat"); },
         kStatusResourceMissing},
        {"a removed localisation (optional)",
         [](auto& b, auto&) { fs::remove_all(b / "Contents/Resources/zh.lproj"); }, kStatusOk},
        {"a retargeted symbolic link",
         [](auto& b, auto&) {
             fs::remove(b / "Contents/Resources/current.dat");
             fs::create_symlink("data/levels/two.dat", b / "Contents/Resources/current.dat");
         },
         kStatusResourceModified},
        {"a file replaced by a link to a copy of it",
         [](auto& b, auto& d) {
             fs::path file = b / "Contents/Resources/data/levels/one.dat";
             fs::copy_file(file, d / "outside.dat");
             fs::remove(file);
             fs::create_symlink(d / "outside.dat", file);
         },
         kStatusResourceModified},
        {"a file beside Contents",
         [](auto& b, auto&) { test::writeFile(b / "evil", "#!/bin/sh\n"); }, kStatusUnsealedRoot},
        {"a folder beside Contents",
         [](auto& b, auto&) { fs::create_directories(b / "Contents2/MacOS"); },
         kStatusUnsealedRoot},
        {"a link beside Contents",
         [](auto& b, auto&) { fs::create_directory_symlink("Contents", b / "Linked"); },
         kStatusUnsealedRoot},
        {"a FIFO added",
         [](auto& b, auto&) { ::mkfifo((b / "Contents/Resources/pipe").c_str(), 0644); },
         kStatusResourceAdded},
        {"Info.plist edited", [](auto& b, auto&) { appendTo(b / "Contents/Info.plist", "\n"); },
         kStatusComponentModified},
        {"CodeResources edited",
         [](auto& b, auto&) { appendTo(b / "Contents/_CodeSignature/CodeResources", " "); },
         kStatusComponentModified},
        {"CodeRequirements edited",
         [](auto& b, auto&) { flipByte(b / "Contents/_CodeSignature/CodeRequirements", 20); },
         kStatusComponentModified},
        {"bytes appended to the main executable",
         [](auto& b, auto&) { appendTo(b / "Contents/MacOS/Tessuro", "rm -rf ~\n"); },
         kStatusExecutableModified},
        {"one byte of the main executable",
         [](auto& b, auto&) { flipByte(b / "Contents/MacOS/Tessuro", 3); },
         kStatusExecutableModified},
        {"the CodeDirectory swapped from another bundle",
         [](auto& b, auto& d) {
             fs::copy_file(d / "Other.app/Contents/_CodeSignature/CodeDirectory",
                           b / "Contents/_CodeSignature/CodeDirectory",
                           fs::copy_options::overwrite_existing);
         },
         kStatusSignatureInvalid},
        {"CodeDirectory and CMS swapped from another bundle",
         [](auto& b, auto& d) {
             for (const char* name : {"CodeDirectory", "CodeSignature"}) {
                 fs::copy_file(d / "Other.app/Contents/_CodeSignature" / name,
                               b / "Contents/_CodeSignature" / name,
                               fs::copy_options::overwrite_existing);
             }
         },
         kStatusComponentModified},
        {"a truncated CMS",
         [](auto& b, auto&) { fs::resize_file(b / "Contents/_CodeSignature/CodeSignature", 200); },
         kStatusMalformed},
        {"an empty CMS (ad-hoc)",
         [](auto& b, auto&) { fs::resize_file(b / "Contents/_CodeSignature/CodeSignature", 0); },
         kStatusAdHoc},
        {"no CMS", [](auto& b, auto&) { fs::remove(b / "Contents/_CodeSignature/CodeSignature"); },
         kStatusMalformed},
        {"no signature", [](auto& b, auto&) { fs::remove_all(b / "Contents/_CodeSignature"); },
         kStatusUnsigned},
        {"the signature folder as a link",
         [](auto& b, auto& d) {
             fs::rename(b / "Contents/_CodeSignature", d / "sig");
             fs::create_directory_symlink(d / "sig", b / "Contents/_CodeSignature");
         },
         kStatusMalformed},
        {"another identifier",
         [&](auto& b, auto&) {
             SignOptions options;
             options.identifier = "com.example.other";
             signBundle(b, pki.identity(pki.leaf), options);
         },
         kStatusRequirementFailed},
        {"another team (OU)",
         [&](auto& b, auto&) { signBundle(b, pki.identity(pki.otherTeamLeaf)); },
         kStatusRequirementFailed},
        {"an untrusted root",
         [&](auto& b, auto&) {
             SigningIdentity identity = pki.identity(pki.untrustedLeaf);
             X509_up_ref(pki.untrustedRoot.certificate.get());
             identity.chain.emplace_back(pki.untrustedRoot.certificate.get());
             signBundle(b, identity);
         },
         kStatusUntrusted},
        {"a self-signed leaf",
         [&](auto& b, auto&) { signBundle(b, pki.identity(pki.selfSignedLeaf)); },
         kStatusUntrusted},
        {"a leaf not for code signing",
         [&](auto& b, auto&) { signBundle(b, pki.identity(pki.noCodeSigningLeaf)); },
         kStatusUntrusted},
        {"a CodeDirectory team that is not the leaf's",
         [&](auto& b, auto&) {
             test::resignWithResources(
                 b, [](std::string&) {}, pki.otherTeamLeaf, "Q7XK4M2LD8");
         },
         kStatusTeamMismatch},
        {"nested code in the seal",
         [&](auto& b, auto&) {
             test::resignWithResources(
                 b,
                 [](std::string& r) {
                     r.replace(r.find("<key>files2</key>\n\t<dict>") + 25, 0,
                               "\n\t\t<key>Frameworks/X.framework</key>\n\t\t<dict>"
                               "<key>cdhash</key><data>AAAA</data></dict>");
                 },
                 pki.leaf);
         },
         kStatusUnsupported},
        {"version 1 resources only (valid)",
         [&](auto& b, auto&) {
             // Version 1 sealed links by following them; this verifier never follows one.
             fs::remove(b / "Contents/Resources/current.dat");
             fs::remove(b / "Contents/Resources/data-link");
             test::resignWithResources(
                 b,
                 [](std::string& r) {
                     std::size_t from = r.find("<key>files2</key>");
                     std::size_t to = r.find("<key>rules</key>");
                     r.erase(from, to - from);
                     from = r.find("<key>rules2</key>");
                     to = r.rfind("</dict>\n</plist>");
                     r.erase(from, to - from);
                 },
                 pki.leaf);
         },
         kStatusOk},
    };

    std::cout << "tamper matrix (case: status)\n";
    int index = 0;
    for (const Tamper& c : cases) {
        fs::path bundle = dir / ("Case" + std::to_string(index++) + ".app");
        test::makeSignedBundle(bundle);
        ASSERT_EQ(payloadStatus(bundle), kStatusOk) << "untouched copy of " << c.name;
        c.edit(bundle, dir.path());
        std::string detail;
        int status = payloadStatus(bundle, &detail);
        std::cout << "  " << c.name << ": " << status << " (" << statusName(status) << ")\n";
        EXPECT_EQ(status, c.expected) << c.name << ": " << detail;
        if (c.expected != kStatusOk) {
            try {
                PayloadValidation::validate(bundle, TestPki::shared().service());
                ADD_FAILURE() << c.name << " passed the payload validation";
            } catch (const Error& error) {
                EXPECT_EQ(error.code(), 2);
                EXPECT_EQ(error.localizedDescription(), "安装文件校验未通过，请重新下载安装包");
            }
        }
    }
}

// A minimal Mach-O executable: a header (64-bit little-endian, or 32-bit big-endian), a
// UUID load command, and LC_CODE_SIGNATURE after it when it carries its own signature.
std::string machO(bool ownSignature, bool bigEndian32 = false) {
    std::string out;
    auto put = [&](std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<char>(value >> (bigEndian32 ? 24 - 8 * i : 8 * i)));
        }
    };
    put(bigEndian32 ? 0xfeedface : 0xfeedfacf);
    put(bigEndian32 ? 18 : 0x01000007);  // PowerPC, x86_64
    put(bigEndian32 ? 0 : 3);
    put(2);  // an executable
    put(ownSignature ? 2 : 1);
    put(ownSignature ? 24 + 16 : 24);
    put(0);
    if (!bigEndian32) {
        put(0);
    }
    put(0x1b);  // LC_UUID
    put(24);
    out.append(16, '\x42');
    if (ownSignature) {
        put(0x1d);  // LC_CODE_SIGNATURE
        put(16);
        put(4096);
        put(512);
    }
    out.append(256, '\x90');
    return out;
}

// A universal file of the given slices, each at a 4 KiB boundary.
std::string universal(const std::vector<std::string>& slices) {
    std::string header;
    auto put = [&](std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            header.push_back(static_cast<char>(value >> shift));
        }
    };
    put(0xcafebabe);
    put(static_cast<std::uint32_t>(slices.size()));
    std::string body;
    for (const std::string& slice : slices) {
        body.resize((body.size() + 4095) / 4096 * 4096, '\0');
        std::uint32_t offset = static_cast<std::uint32_t>(4096 + body.size());
        put(0x01000007);
        put(3);
        put(offset);
        put(static_cast<std::uint32_t>(slice.size()));
        put(12);
        body += slice;
    }
    header.resize(4096, '\0');
    return header + body;
}

// A Mach-O main executable without a signature of its own is signed in the detached form
// like any other; one that carries its own signature is checked by that signature, which
// this verifier does not read, so it fails closed.
TEST(Signature, MachOExecutablesWithoutTheirOwnSignaturePass) {
    test::TempDir dir;
    const TestPki& pki = TestPki::shared();
    struct Case {
        const char* name;
        std::string executable;
        int expected;
    };
    std::string truncated = machO(false);
    truncated[36] = '\x7f';  // a load command reaching past the load commands
    const std::vector<Case> cases = {
        {"thin, 64-bit", machO(false), kStatusOk},
        {"thin, 32-bit big-endian", machO(false, true), kStatusOk},
        {"universal", universal({machO(false), machO(false, true)}), kStatusOk},
        {"thin, signed itself", machO(true), kStatusUnsupported},
        {"universal, one slice signed itself", universal({machO(false), machO(true, true)}),
         kStatusUnsupported},
        {"universal of 31 slices signed themselves",
         universal(std::vector<std::string>(31, machO(true))), kStatusUnsupported},
        {"malformed load commands", truncated, kStatusMalformed},
    };
    for (const Case& c : cases) {
        fs::path bundle = dir / (std::string(c.name) + ".app");
        test::makeUnsignedBundle(bundle);
        test::writeFile(bundle / "Contents/MacOS/Tessuro", c.executable);
        if (c.expected == kStatusOk) {
            signBundle(bundle, pki.identity(pki.leaf));
        } else {
            EXPECT_THROW(signBundle(bundle, pki.identity(pki.leaf)), std::runtime_error) << c.name;
            // Signed before the executable changed, then sealed over it by hand.
            fs::remove_all(bundle);
            test::makeSignedBundle(bundle);
            test::writeFile(bundle / "Contents/MacOS/Tessuro", c.executable);
            test::resignWithResources(
                bundle, [](std::string&) {}, pki.leaf);
        }
        std::string detail;
        EXPECT_EQ(payloadStatus(bundle, &detail), c.expected) << c.name << ": " << detail;
    }
}

// What the verifier would refuse, the signer refuses to sign.
TEST(Signature, TheSignerReadsTheBundleAsTheVerifierDoes) {
    test::TempDir dir;
    const TestPki& pki = TestPki::shared();
    test::makeUnsignedBundle(dir / "Linked.app");
    fs::rename(dir / "Linked.app/Contents/Info.plist", dir / "Info.plist");
    fs::create_symlink(dir / "Info.plist", dir / "Linked.app/Contents/Info.plist");
    test::writeInfoPlist(dir / "Climbing.app",
                         {{"CFBundleIdentifier", "com.vorlak.tessuro.psvalidation"},
                          {"CFBundleExecutable", "../Resources/x"}});
    test::writeFile(dir / "Climbing.app/Contents/Resources/x", "#!/bin/sh\n");
    for (const char* name : {"Linked.app", "Climbing.app"}) {
        EXPECT_THROW(signBundle(dir / name, pki.identity(pki.leaf)), std::exception) << name;
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
        fs::path bundle = dir / ("Fifo" + std::to_string(index++) + ".app");
        test::makeSignedBundle(bundle);
        fs::remove(bundle / file);
        test::makeFifo(bundle / file);
        int status = kStatusOk;
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
    CodeSigning service = TestPki::shared().service();
    DigestCache memo;
    UseDigests use(memo);
    auto status = [&] {
        std::unique_ptr<StaticCode> code;
        std::unique_ptr<Requirement> requirement;
        service.createStaticCodeWithPath(dir / "A.app", 0, code);
        service.createRequirementWithString(PayloadValidation::payloadRequirement(), 0,
                                            requirement);
        return service.checkValidity(code.get(), kCheckAllArchitectures, requirement.get());
    };
    ASSERT_EQ(status(), kStatusOk);
    for (const char* file :
         {"Contents/Resources/data/levels/two.dat", "Contents/Resources/data/levels/one.dat"}) {
        // Same size and, set back, the same modification time: only the change time tells.
        struct stat before {};
        ASSERT_EQ(::stat((dir / "A.app" / file).c_str(), &before), 0);
        flipByte(dir / "A.app" / file, 2);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "A.app" / file).c_str(), times, 0), 0);
        EXPECT_EQ(status(), kStatusResourceModified) << file;
        flipByte(dir / "A.app" / file, 2);
    }
}

TEST(Signature, AlternateCodeDirectoriesAreBoundToTheSignature) {
    test::TempDir dir;
    test::makeSignedBundle(dir / "A.app", "1", SignOptions{.sha1Primary = true});
    test::makeSignedBundle(dir / "B.app", "2", SignOptions{.sha1Primary = true});
    fs::remove(dir / "A.app/Contents/_CodeSignature/CodeRequirements-1");
    EXPECT_EQ(payloadStatus(dir / "A.app"), kStatusSignatureInvalid) << "stripped alternate";

    test::makeSignedBundle(dir / "C.app", "1", SignOptions{.sha1Primary = true});
    fs::copy_file(dir / "B.app/Contents/_CodeSignature/CodeRequirements-1",
                  dir / "C.app/Contents/_CodeSignature/CodeRequirements-1",
                  fs::copy_options::overwrite_existing);
    EXPECT_EQ(payloadStatus(dir / "C.app"), kStatusSignatureInvalid) << "swapped alternate";
}

}  // namespace
}  // namespace tessuro::codesign
