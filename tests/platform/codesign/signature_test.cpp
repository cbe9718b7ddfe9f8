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

#include "install/payload_validation.h"
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

void appendTo(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::app | std::ios::binary) << text;
}

void flipByte(const fs::path& file, std::size_t at) {
    std::string content = readFileContents(file, 1 << 30);
    content.at(at) ^= 0x01;
    test::writeFile(file, content);
}

void copySignatureFiles(const fs::path& from, const fs::path& to,
                        std::initializer_list<const char*> names) {
    for (const char* name : names) {
        fs::copy_file(from / "Contents/_CodeSignature" / name,
                      to / "Contents/_CodeSignature" / name, fs::copy_options::overwrite_existing);
    }
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

struct Tamper {
    const char* name;
    std::function<void(const fs::path& bundle, const fs::path& dir)> edit;
    Status expected;
};

void resignWith(const fs::path& bundle, const Credential& leaf, SignOptions options = {}) {
    signBundle(bundle, TestPki::shared().identity(leaf), options);
}

const SignOptions kSha1Primary{.sha1Primary = true};

// Version 1 sealed links by following them; this verifier never follows one.
void keepVersion1Only(const fs::path& b) {
    fs::remove(b / "Contents/Resources/current.dat");
    fs::remove(b / "Contents/Resources/data-link");
    auto cut = [](std::string& r, const char* from, std::size_t to) {
        r.erase(r.find(from), to - r.find(from));
    };
    test::resignWithResources(
        b,
        [&](std::string& r) {
            cut(r, "<key>files2</key>", r.find("<key>rules</key>"));
            cut(r, "<key>rules2</key>", r.rfind("</dict>\n</plist>"));
        },
        TestPki::shared().leaf);
}

const Tamper kTampers[] = {
    {"a SHA-1 primary and SHA-256 alternate (valid)",
     [](auto& b, auto&) { resignWith(b, TestPki::shared().leaf, kSha1Primary); }, kStatusOk},
    {"a leaf with Apple's critical extension (valid)",
     [](auto& b, auto&) { resignWith(b, TestPki::shared().appleStyleLeaf); }, kStatusOk},
    {"a removed localisation (optional, valid)",
     [](auto& b, auto&) { fs::remove_all(b / "Contents/Resources/zh.lproj"); }, kStatusOk},
    {"version 1 resources only (valid)", [](auto& b, auto&) { keepVersion1Only(b); }, kStatusOk},
    {"one byte of a sealed file",
     [](auto& b, auto&) { flipByte(b / "Contents/Resources/data/levels/two.dat", 5000); },
     kStatusResourceModified},
    {"an added file", [](auto& b, auto&) { test::writeFile(b / "Contents/Resources/x.txt", "x"); },
     kStatusResourceAdded},
    {"an added file beside the executable",
     [](auto& b, auto&) { test::writeFile(b / "Contents/MacOS/helper", "x"); },
     kStatusResourceAdded},
    {"a FIFO added",
     [](auto& b, auto&) { ::mkfifo((b / "Contents/Resources/pipe").c_str(), 0644); },
     kStatusResourceAdded},
    {"a removed file",
     [](auto& b, auto&) { fs::remove(b / "Contents/Resources/data/levels/one.dat"); },
     kStatusResourceMissing},
    {"a retargeted symbolic link",
     [](auto& b, auto&) {
         fs::remove(b / "Contents/Resources/current.dat");
         fs::create_symlink("data/levels/two.dat", b / "Contents/Resources/current.dat");
     },
     kStatusResourceModified},
    {"a file replaced by a link to a copy of it",
     [](auto& b, auto& d) {
         const fs::path file = b / "Contents/Resources/data/levels/one.dat";
         fs::copy_file(file, d / "outside.dat", fs::copy_options::overwrite_existing);
         fs::remove(file);
         fs::create_symlink(d / "outside.dat", file);
     },
     kStatusResourceModified},
    {"a file beside Contents", [](auto& b, auto&) { test::writeFile(b / "evil", "#!/bin/sh\n"); },
     kStatusUnsealedRoot},
    {"a link beside Contents",
     [](auto& b, auto&) { fs::create_directory_symlink("Contents", b / "Linked"); },
     kStatusUnsealedRoot},
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
     [](auto& b, auto&) { flipByte(b / "Contents/MacOS/Tessuro", 3); }, kStatusExecutableModified},
    {"the CodeDirectory swapped from another bundle",
     [](auto& b, auto& d) { copySignatureFiles(d / "Other.app", b, {"CodeDirectory"}); },
     kStatusSignatureInvalid},
    {"CodeDirectory and CMS swapped from another bundle",
     [](auto& b, auto& d) {
         copySignatureFiles(d / "Other.app", b, {"CodeDirectory", "CodeSignature"});
     },
     kStatusComponentModified},
    {"the alternate CodeDirectory stripped",
     [](auto& b, auto&) {
         resignWith(b, TestPki::shared().leaf, kSha1Primary);
         fs::remove(b / "Contents/_CodeSignature/CodeRequirements-1");
     },
     kStatusSignatureInvalid},
    {"the alternate CodeDirectory swapped from another bundle",
     [](auto& b, auto& d) {
         resignWith(b, TestPki::shared().leaf, kSha1Primary);
         copySignatureFiles(d / "OtherAgile.app", b, {"CodeRequirements-1"});
     },
     kStatusSignatureInvalid},
    {"a truncated CMS",
     [](auto& b, auto&) { fs::resize_file(b / "Contents/_CodeSignature/CodeSignature", 200); },
     kStatusMalformed},
    {"an empty CMS (ad hoc)",
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
     [](auto& b, auto&) {
         resignWith(b, TestPki::shared().leaf, {.identifier = "com.example.other"});
     },
     kStatusRequirementFailed},
    {"another team (OU)", [](auto& b, auto&) { resignWith(b, TestPki::shared().otherTeamLeaf); },
     kStatusRequirementFailed},
    {"an untrusted root",
     [](auto& b, auto&) {
         const TestPki& pki = TestPki::shared();
         SigningIdentity identity = pki.identity(pki.untrustedLeaf);
         X509_up_ref(pki.untrustedRoot.certificate.get());
         identity.chain.emplace_back(pki.untrustedRoot.certificate.get());
         signBundle(b, identity);
     },
     kStatusUntrusted},
    {"a self-signed leaf", [](auto& b, auto&) { resignWith(b, TestPki::shared().selfSignedLeaf); },
     kStatusUntrusted},
    {"a leaf not for code signing",
     [](auto& b, auto&) { resignWith(b, TestPki::shared().noCodeSigningLeaf); }, kStatusUntrusted},
    {"a CodeDirectory team that is not the leaf's",
     [](auto& b, auto&) {
         test::resignWithResources(
             b, [](std::string&) {}, TestPki::shared().otherTeamLeaf);
     },
     kStatusTeamMismatch},
    {"nested code in the seal",
     [](auto& b, auto&) {
         test::resignWithResources(
             b,
             [](std::string& r) {
                 r.insert(r.find("<key>files2</key>\n\t<dict>") + 25,
                          "<key>Frameworks/X.framework</key><dict><key>cdhash</key>"
                          "<data>AAAA</data></dict>");
             },
             TestPki::shared().leaf);
     },
     kStatusUnsupported},
};

// Each case on a fresh signed copy, which passes untouched; a tampered one is refused by the
// payload validation too, with the message the window shows.
TEST(Signature, EveryTamperingIsCaughtAndTheUntouchedCopyPasses) {
    test::TempDir dir;
    test::makeSignedBundle(dir / "Other.app", "9");
    test::makeSignedBundle(dir / "OtherAgile.app", "2", kSha1Primary);
    int index = 0;
    for (const Tamper& c : kTampers) {
        const fs::path bundle = dir / ("Case" + std::to_string(index++) + ".app");
        test::makeSignedBundle(bundle);
        ASSERT_EQ(payloadStatus(bundle), kStatusOk) << "untouched copy of " << c.name;
        c.edit(bundle, dir.path());
        std::string detail;
        EXPECT_EQ(payloadStatus(bundle, &detail), c.expected) << c.name << ": " << detail;
        if (c.expected != kStatusOk) {
            try {
                PayloadValidation::validate(bundle, TestPki::shared().service());
                ADD_FAILURE() << c.name << " passed the payload validation";
            } catch (const Error& error) {
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
    for (std::uint32_t word :
         {bigEndian32 ? 0xfeedfaceu : 0xfeedfacfu, bigEndian32 ? 18u : 0x01000007u,
          bigEndian32 ? 0u : 3u, 2u, ownSignature ? 2u : 1u, ownSignature ? 40u : 24u, 0u}) {
        put(word);  // magic, CPU (PowerPC or x86_64), subtype, executable, commands, flags
    }
    if (!bigEndian32) {
        put(0);
    }
    put(0x1b);  // LC_UUID
    put(24);
    out.append(16, '\x42');
    if (ownSignature) {
        for (std::uint32_t word : {0x1du, 16u, 4096u, 512u}) {
            put(word);  // LC_CODE_SIGNATURE
        }
    }
    return out + std::string(256, '\x90');
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
        for (std::size_t word : {std::size_t{0x01000007}, std::size_t{3}, 4096 + body.size(),
                                 slice.size(), std::size_t{12}}) {
            put(static_cast<std::uint32_t>(word));  // CPU, subtype, offset, size, alignment
        }
        body += slice;
    }
    header.resize(4096, '\0');
    return header + body;
}

// A Mach-O main executable without a signature of its own is signed in the detached form
// like any other; one that carries its own signature is checked by that signature, which
// this verifier does not read, so the signer refuses it and the verifier fails closed.
TEST(Signature, MachOExecutablesWithoutTheirOwnSignaturePass) {
    test::TempDir dir;
    std::string truncated = machO(false);
    truncated[36] = '\x7f';  // a load command reaching past the load commands
    const std::tuple<const char*, std::string, Status> cases[] = {
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
    for (const auto& [name, executable, expected] : cases) {
        const fs::path bundle = dir / (std::string(name) + ".app");
        test::makeUnsignedBundle(bundle);
        test::writeFile(bundle / "Contents/MacOS/Tessuro", executable);
        if (expected == kStatusOk) {
            resignWith(bundle, TestPki::shared().leaf);
        } else {
            EXPECT_THROW(resignWith(bundle, TestPki::shared().leaf), Error) << name;
            // Signed before the executable changed, then sealed over it by hand.
            fs::remove_all(bundle);
            test::makeSignedBundle(bundle);
            test::writeFile(bundle / "Contents/MacOS/Tessuro", executable);
            test::resignWithResources(
                bundle, [](std::string&) {}, TestPki::shared().leaf);
        }
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
