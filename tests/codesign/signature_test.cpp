// Bundle signatures made with the signer and checked by the verifier, untouched and
// tampered with in every way the seal must catch.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <fstream>

#include "codesign/apple_roots.h"
#include "codesign/cms_signature.h"
#include "codesign/code_directory.h"
#include "codesign/requirement.h"
#include "install/payload_validation.h"
#include "install/product.h"
#include "platform/files.h"
#include "signing_fixtures.h"
#include "temp_dir.h"
#include "thread_starts.h"

namespace tessuro::codesign {
namespace {

namespace fs = std::filesystem;
using test::TestPki;

// The status of a bundle against the payload requirement, with the test root trusted.
Status payloadStatus(const fs::path& bundle, std::string* detail = nullptr,
                     VerificationSession* session = nullptr) {
    const CodeSigning service = TestPki::shared().service();
    std::unique_ptr<StaticCode> code;
    std::unique_ptr<Requirement> requirement;
    service.createStaticCodeWithPath(bundle, 0, code);
    service.createRequirementWithString(PayloadValidation::payloadRequirement(), 0, requirement);
    return service.checkValidity(code.get(), kCheckAllArchitectures, requirement.get(), detail,
                                 nullptr, session);
}

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

// An edit of the signed bundle whose Contents folder is `c`, in the test's folder `d`.
using Edit = std::function<void(const fs::path& c, const fs::path& d)>;

Edit write(std::string file, std::string text) {
    return [=](auto& c, auto&) { test::writeFile(c / file, text); };
}
Edit append(std::string file, std::string text) {
    return [=](auto& c, auto&) { std::ofstream(c / file, std::ios::app) << text; };
}
Edit flip(std::string file, std::size_t at) {
    return [=](auto& c, auto&) { flipByte(c / file, at); };
}
Edit remove(std::string file) {
    return [=](auto& c, auto&) { fs::remove_all(c / file); };
}
Edit copyFrom(std::string other, std::vector<std::string> names) {
    return [=](auto& c, auto& d) {
        for (const std::string& name : names) {
            fs::copy_file(d / other / "Contents/_CodeSignature" / name, c / "_CodeSignature" / name,
                          fs::copy_options::overwrite_existing);
        }
    };
}
Edit resign(Credential TestPki::*leaf, SignOptions options = {}) {
    return [=](auto& c, auto&) {
        signBundle(c.parent_path(), TestPki::shared().identity(TestPki::shared().*leaf), options);
    };
}
// Moves a file or folder out of the bundle, leaving a link to it in its place.
Edit linkedOut(std::string file) {
    return [=](auto& c, auto& d) {
        fs::rename(c / file, d / fs::path(file).filename());
        fs::create_symlink(d / fs::path(file).filename(), c / file);
    };
}
// Clears the flags of a CodeDirectory below the signature's folder.
Edit clearFlags(std::string file) {
    return [=](auto& c, auto&) {
        std::string blob = readFileContents(c / "_CodeSignature" / file, 1 << 20);
        blob.replace(12, 4, std::string(4, '\0'));  // after magic, length and version
        test::writeFile(c / "_CodeSignature" / file, blob);
    };
}
Edit then(Edit first, Edit second) {
    return [=](auto& c, auto& d) {
        first(c, d);
        second(c, d);
    };
}

// Replaces the CMS signature with one by `leaf` that claims to be made `age` seconds ago,
// or that carries no signed attributes at all.
Edit cms(Credential TestPki::*leaf, std::optional<long> age) {
    return [=](auto& c, auto&) {
        const std::string cd = readFileContents(c / "_CodeSignature/CodeDirectory", 1 << 20);
        SigningIdentity identity = TestPki::shared().identity(TestPki::shared().*leaf);
        const int flags =
            CMS_PARTIAL | CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP | (age ? 0 : CMS_NOATTR);
        CmsPtr content(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
        CMS_SignerInfo* signer = CMS_add1_signer(content.get(), identity.chain[0].get(),
                                                 identity.key.get(), EVP_sha256(), flags);
        CMS_add1_cert(content.get(), identity.chain.back().get());
        if (age) {
            ASN1_TIME* when = ASN1_TIME_set(nullptr, std::time(nullptr) - *age);
            CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_signingTime, when->type, when, -1);
            ASN1_TIME_free(when);
        }
        BioPtr data(BIO_new_mem_buf(cd.data(), static_cast<int>(cd.size())));
        ASSERT_EQ(CMS_final(content.get(), data.get(), nullptr, flags), 1);
        BioPtr out(BIO_new_file((c / "_CodeSignature/CodeSignature").c_str(), "wb"));
        ASSERT_EQ(i2d_CMS_bio(out.get(), content.get()), 1);
    };
}

// Signs anew after `change` has edited CodeResources, by `leaf` with the test leaf's team in
// the CodeDirectory, so that the seal is consistent and only its content is under test.
// Info.plist is left unsealed (a zero hash) when told.
Edit resealed(std::function<void(std::string&)> change, Credential TestPki::*leaf = &TestPki::leaf,
              bool infoPlistSealed = true) {
    return [=](auto& c, auto& d) {
        const fs::path signature = c / "_CodeSignature";
        std::string resources = readFileContents(signature / "CodeResources", 1 << 26);
        change(resources);
        test::writeFile(signature / "CodeResources", resources);
        auto hashOf = [](const fs::path& file) {
            return digest(HashType::Sha256, asBytes(readFileContents(file, 1 << 26)));
        };
        const Bytes cd = buildCodeDirectory(
            {.identifier = std::string(payloadBundleIdentifier),
             .teamIdentifier = std::string(payloadTeamIdentifier),
             .infoPlistHash = infoPlistSealed ? hashOf(c / "Info.plist") : Bytes(32, 0),
             .requirementsHash = hashOf(signature / "CodeRequirements"),
             .resourcesHash = hashOf(signature / "CodeResources"),
             .executableHash = hashOf(c / "MacOS/Tessuro"),
             .executableSize = fs::file_size(c / "MacOS/Tessuro")});
        test::writeFile(signature / "CodeDirectory", std::string(cd.begin(), cd.end()));
        cms(leaf, std::nullopt)(c, d);
    };
}

// Signs anew with two SHA-256 CodeDirectories, the primary with `primaryFlags` and the
// alternate with `alternateFlags`, both named by the CMS: what no signer writes, since the
// CodeDirectory a check goes by is the one of the strongest hash type.
Edit twoSha256CodeDirectories(std::uint32_t primaryFlags, std::uint32_t alternateFlags) {
    return [=](auto& c, auto&) {
        const fs::path signature = c / "_CodeSignature";
        auto hashOf = [](const fs::path& file) {
            return digest(HashType::Sha256, asBytes(readFileContents(file, 1 << 26)));
        };
        CodeDirectoryContent content{.identifier = std::string(payloadBundleIdentifier),
                                     .teamIdentifier = std::string(payloadTeamIdentifier),
                                     .infoPlistHash = hashOf(c / "Info.plist"),
                                     .requirementsHash = hashOf(signature / "CodeRequirements"),
                                     .resourcesHash = hashOf(signature / "CodeResources"),
                                     .executableHash = hashOf(c / "MacOS/Tessuro"),
                                     .executableSize = fs::file_size(c / "MacOS/Tessuro")};
        std::vector<Bytes> blobs;
        std::vector<CodeDirectoryHashes> hashes;
        for (const std::uint32_t flags : {primaryFlags, alternateFlags}) {
            content.flags = flags;
            blobs.push_back(buildCodeDirectory(content));
            hashes.push_back(codeDirectoryHashes(HashType::Sha256, blobs.back()));
        }
        test::writeFile(signature / "CodeDirectory", std::string(blobs[0].begin(), blobs[0].end()));
        test::writeFile(signature / "CodeRequirements-1",
                        std::string(blobs[1].begin(), blobs[1].end()));
        const SigningIdentity identity = TestPki::shared().identity(TestPki::shared().leaf);
        std::vector<X509*> chain;
        for (const X509Ptr& certificate : identity.chain) {
            chain.push_back(certificate.get());
        }
        const Bytes cms = signCms(blobs[0], identity.key.get(), chain[0], chain, hashes);
        test::writeFile(signature / "CodeSignature", std::string(cms.begin(), cms.end()));
    };
}

const SignOptions kSha1Primary{.sha1Primary = true};
const SignOptions kEnforceExpiry{.enforceExpiry = true};

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

const std::string kSig = "_CodeSignature/";

// A seal entry naming a file outside the bundle, "../../outside.txt" from Contents, with
// that file's true hash: had the check opened what the entry names, it would have matched.
const Edit kEntryOutside =
    then(write("../../outside.txt", "secret"), resealed([](std::string& r) {
             const Bytes hash = digest(HashType::Sha256, asBytes(std::string("secret")));
             std::string base64(64, '\0');
             base64.resize(static_cast<std::size_t>(
                 EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), hash.data(),
                                 static_cast<int>(hash.size()))));
             r.insert(r.find("<key>files2</key>\n\t<dict>") + 25,
                      "<key>../../outside.txt</key><dict><key>hash2</key><data>" + base64 +
                          "</data></dict>");
         }));

const struct {
    const char* name;
    Edit edit;
    Status expected;
} kTampers[] = {
    {"a SHA-1 primary and SHA-256 alternate", resign(&TestPki::leaf, kSha1Primary), kStatusOk},
    {"a leaf with Apple's critical extension", resign(&TestPki::appleStyleLeaf), kStatusOk},
    // A certificate's validity period refuses nothing, unless the signer asked for that.
    {"an expired leaf, signed while valid", cms(&TestPki::expiredLeaf, 7200), kStatusOk},
    {"an expired leaf, no signing time", cms(&TestPki::expiredLeaf, std::nullopt), kStatusOk},
    {"an expired leaf, signed after it expired", cms(&TestPki::expiredLeaf, 0), kStatusOk},
    {"an expired intermediate", resign(&TestPki::leafOfExpiredIntermediate), kStatusOk},
    {"expiry enforced, every certificate valid", resign(&TestPki::leaf, kEnforceExpiry), kStatusOk},
    {"expiry enforced, an expired leaf signed while valid",
     then(resign(&TestPki::leaf, kEnforceExpiry), cms(&TestPki::expiredLeaf, 7200)),
     kStatusUntrusted},
    {"expiry enforced, the flag cleared in the CodeDirectory",
     then(resign(&TestPki::leaf, kEnforceExpiry), clearFlags("CodeDirectory")),
     kStatusSignatureInvalid},
    {"expiry enforced, the flag cleared in the alternate CodeDirectory a check goes by",
     then(resign(&TestPki::leaf, {.sha1Primary = true, .enforceExpiry = true}),
          clearFlags("CodeRequirements-1")),
     kStatusSignatureInvalid},
    {"expiry enforced, an expired intermediate",
     resign(&TestPki::leafOfExpiredIntermediate, kEnforceExpiry), kStatusUntrusted},
    {"a localisation removed (optional)", remove("Resources/zh.lproj"), kStatusOk},
    {"a localisation removed, optional by its rule alone",
     then(remove("Resources/zh.lproj"), resealed(withoutOptionalEntries)), kStatusOk},
    {"version 1 resources only",
     then(then(remove("Resources/current.dat"), remove("Resources/data-link")),
          resealed(keepVersion1Only)),
     kStatusOk},
    {"one byte of a sealed file", flip("Resources/data/levels/two.dat", 5000),
     kStatusResourceModified},
    {"an added file", write("Resources/x.txt", "x"), kStatusResourceAdded},
    {"an added file beside the executable", write("MacOS/helper", "x"), kStatusResourceAdded},
    {"an added file named like the signature's folder", write("_CodeSignatureX", "x"),
     kStatusResourceAdded},
    {"an added file that only the rule for everything seals", write("Support/x", "x"),
     kStatusResourceAdded},
    {"a FIFO added", [](auto& c, auto&) { test::makeFifo(c / "Resources/pipe"); },
     kStatusResourceAdded},
    {"a removed file", remove("Resources/data/levels/one.dat"), kStatusResourceMissing},
    {"a seal entry naming a file outside the bundle", kEntryOutside, kStatusResourceMissing},
    {"a retargeted symbolic link",
     then(remove("Resources/current.dat"),
          [](auto& c, auto&) {
              fs::create_symlink("data/levels/two.dat", c / "Resources/current.dat");
          }),
     kStatusResourceModified},
    {"a file replaced by a link to it", linkedOut("Resources/data/levels/one.dat"),
     kStatusResourceModified},
    {"a file beside Contents", write("../evil", "#!/bin/sh\n"), kStatusUnsealedRoot},
    {"Info.plist edited", append("Info.plist", "\n"), kStatusComponentModified},
    {"CodeResources edited", append(kSig + "CodeResources", " "), kStatusComponentModified},
    {"CodeRequirements edited", flip(kSig + "CodeRequirements", 20), kStatusComponentModified},
    {"CodeRequirements removed", remove(kSig + "CodeRequirements"), kStatusComponentModified},
    {"Info.plist left unsealed", resealed(unchanged, &TestPki::leaf, false), kStatusMalformed},
    {"bytes appended to the main executable", append("MacOS/Tessuro", "rm -rf ~\n"),
     kStatusExecutableModified},
    {"one byte of the main executable", flip("MacOS/Tessuro", 3), kStatusExecutableModified},
    {"a universal main executable",
     then(write("MacOS/Tessuro", test::universalExecutable({test::machOExecutable(false),
                                                            test::machOExecutable(false, true)})),
          resign(&TestPki::leaf)),
     kStatusOk},
    {"a main executable that carries its own signature, sealed by hand",
     then(write("MacOS/Tessuro", test::machOExecutable(true)), resealed(unchanged)),
     kStatusUnsupported},
    {"a malformed Mach-O main executable, sealed by hand",
     then(write("MacOS/Tessuro", test::universalExecutable({"x"})), resealed(unchanged)),
     kStatusMalformed},
    {"the CodeDirectory of another bundle", copyFrom("Other.app", {"CodeDirectory"}),
     kStatusSignatureInvalid},
    {"the CodeDirectory and CMS of another bundle",
     copyFrom("Other.app", {"CodeDirectory", "CodeSignature"}), kStatusComponentModified},
    {"an alternate CodeDirectory the CMS does not name",
     then(resign(&TestPki::leaf, kSha1Primary), cms(&TestPki::leaf, std::nullopt)),
     kStatusSignatureInvalid},
    {"the alternate CodeDirectory stripped",
     then(resign(&TestPki::leaf, kSha1Primary), remove(kSig + "CodeRequirements-1")),
     kStatusSignatureInvalid},
    {"two CodeDirectories of one hash type, alike",
     twoSha256CodeDirectories(kCodeDirectoryFlagExpires, kCodeDirectoryFlagExpires),
     kStatusSignatureInvalid},
    {"two CodeDirectories of one hash type, the expires flag in the alternate only",
     twoSha256CodeDirectories(0, kCodeDirectoryFlagExpires), kStatusSignatureInvalid},
    {"the alternate CodeDirectory of another bundle",
     then(resign(&TestPki::leaf, kSha1Primary), copyFrom("OtherAgile.app", {"CodeRequirements-1"})),
     kStatusSignatureInvalid},
    {"a CMS cut short", write(kSig + "CodeSignature", "\x30\x82\x10"), kStatusMalformed},
    {"an empty CMS (ad hoc)", write(kSig + "CodeSignature", ""), kStatusAdHoc},
    {"no CMS", remove(kSig + "CodeSignature"), kStatusMalformed},
    {"no signature", remove("_CodeSignature"), kStatusUnsigned},
    {"the signature folder as a link", linkedOut("_CodeSignature"), kStatusMalformed},
    {"another identifier", resign(&TestPki::leaf, {.identifier = "com.example.other"}),
     kStatusRequirementFailed},
    {"another team (OU)", resign(&TestPki::otherTeamLeaf), kStatusRequirementFailed},
    {"a root that is not trusted, in the CMS", resign(&TestPki::untrustedLeaf), kStatusUntrusted},
    {"a leaf not for code signing", resign(&TestPki::noCodeSigningLeaf), kStatusUntrusted},
    {"a leaf with a critical extension nobody knows", resign(&TestPki::unknownCriticalLeaf),
     kStatusUntrusted},
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
        edit(bundle / "Contents", dir.path());
        std::string detail;
        EXPECT_EQ(payloadStatus(bundle, &detail), expected) << name << ": " << detail;
    }
}

// What the verifier would refuse, the signer refuses to sign, saying why, and writes no
// signature.
TEST(Signature, TheSignerRefusesWhatTheVerifierWouldAndSaysWhy) {
    test::TempDir dir;
    const TestPki& pki = TestPki::shared();
    const std::tuple<Edit, Credential TestPki::*, std::string_view, long, const char*> cases[] = {
        {linkedOut("Info.plist"), &TestPki::leaf, kPosixErrorDomain, ELOOP, "符号链接"},
        {[](auto& c, auto&) {
             test::writeInfoPlist(c.parent_path(),
                                  {{"CFBundleIdentifier", std::string(payloadBundleIdentifier)},
                                   {"CFBundleExecutable", "../Resources/x"}});
         },
         &TestPki::leaf, kCodeSigningErrorDomain, codesign_code::kMalformed,
         "CFBundleExecutable is not a file name: ../Resources/x"},
        {write("../evil", "x"), &TestPki::leaf, kCodeSigningErrorDomain,
         codesign_code::kNotSignable, "unsealed contents present in the bundle root: evil"},
        {write("MacOS/Tessuro", test::machOExecutable(true)), &TestPki::leaf,
         kCodeSigningErrorDomain, codesign_code::kNotSignable,
         "carries its own signature (LC_CODE_SIGNATURE)"},
        {[](auto&, auto&) {}, &TestPki::otherTeamLeaf, kCodeSigningErrorDomain,
         codesign_code::kCryptoFailed, "private key does not match certificate"},
    };
    int index = 0;
    for (const auto& [edit, keyOf, domain, code, reason] : cases) {
        const fs::path bundle = dir / ("Case" + std::to_string(index++) + ".app");
        test::makeUnsignedBundle(bundle);
        edit(bundle / "Contents", dir.path());
        SigningIdentity identity = pki.identity(pki.leaf);
        identity.key = pki.identity(pki.*keyOf).key;
        try {
            signBundle(bundle, identity);
            ADD_FAILURE() << reason << ": signed";
        } catch (const Error& error) {
            EXPECT_EQ(error.domain(), domain) << reason;
            EXPECT_EQ(error.code(), code) << reason;
            EXPECT_NE(error.localizedDescription().find(reason), std::string::npos)
                << error.localizedDescription();
        }
        EXPECT_FALSE(fs::exists(bundle / "Contents/_CodeSignature")) << reason;
    }
}

// The signer writes, as the designated requirement, the installer's own requirement.
TEST(Signature, TheDesignatedRequirementIsTheInstallers) {
    test::TempDir dir;
    test::makeSignedBundle(dir / "A.app");
    const Bytes expected =
        encodeDesignatedRequirementSet(*parseRequirement(PayloadValidation::payloadRequirement()));
    EXPECT_EQ(readFileContents(dir / "A.app/Contents/_CodeSignature/CodeRequirements", 1 << 20),
              std::string(expected.begin(), expected.end()));
}

// Every file the verifier reads is checked to be a regular file before a byte is read: a
// FIFO in place of a signed file fails the check at once instead of waiting for a writer.
TEST(Signature, AFifoInPlaceOfASignedFileFailsAtOnce) {
    test::TempDir dir;
    int index = 0;
    for (const char* file : {"Contents/Info.plist", "Contents/MacOS/Tessuro",
                             "Contents/Resources/data/levels/one.dat"}) {
        const fs::path bundle = dir / ("Fifo" + std::to_string(index++) + ".app");
        test::makeSignedBundle(bundle);
        fs::remove(bundle / file);
        test::makeFifo(bundle / file);
        Status status = kStatusOk;
        EXPECT_TRUE(test::endsWithin(10, bundle / file, [&] { status = payloadStatus(bundle); }))
            << file;
        EXPECT_NE(status, kStatusOk) << file;
    }
}

// Checks that share a digest memo read a sealed file unchanged since the memo took its
// digest only once, and still compare it with the seal; a file changed after it, even at
// once and to the same size and modification time, is read again.
TEST(Signature, AFileChangedAfterACheckIsReadAgain) {
    test::TempDir dir;
    test::makeSignedBundle(dir / "A.app");
    const fs::path file = dir / "A.app/Contents/Resources/data/levels/two.dat";
    VerificationSession session;
    DigestCache& memo = session.digests();
    struct stat before {};
    // The memo takes only files changed before the clock's last tick: check until it has.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::stat(file.c_str(), &before) == 0 && !memo.find(before, HashType::Sha256) &&
           std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(payloadStatus(dir / "A.app", nullptr, &session), kStatusOk);
    }
    ASSERT_TRUE(memo.find(before, HashType::Sha256).has_value());
    resealed([](std::string& r) {
        const std::size_t entry = r.find("<key>Resources/data/levels/two.dat", r.find("files2"));
        const std::size_t hash = r.find_first_of("+/0123456789", r.find("<key>hash2", entry) + 18);
        r[hash] = r[hash] == '0' ? '1' : '0';
    })(dir / "A.app/Contents", dir.path());
    EXPECT_EQ(payloadStatus(dir / "A.app", nullptr, &session), kStatusResourceModified)
        << "the memo's digest";
    resign (&TestPki::leaf)(dir / "A.app/Contents", dir.path());
    flipByte(file, 2);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    EXPECT_EQ(payloadStatus(dir / "A.app", nullptr, &session), kStatusResourceModified);
}

// A check in a process that can start no thread, or only some (its user's process limit
// reached, or its task group full), still answers with its status, intact or tampered
// with: what a thread would have done runs on the caller's, and nothing escapes as an
// exception or ends the process. Both checks of a row run while the starts fail, the
// tampered one after the intact one.
TEST(Signature, ACheckWithoutAThreadToBeHadStillAnswers) {
    test::TempDir dir;
    test::makeSignedBundle(dir / "Intact.app");
    test::makeSignedBundle(dir / "Tampered.app");
    flipByte(dir / "Tampered.app/Contents/Resources/data/levels/two.dat", 2);
    for (const auto& [name, failingFrom] : test::kThreadStartFailures) {
        std::string intact, tampered;
        Status intactStatus = kStatusOk, tamperedStatus = kStatusOk;
        {
            test::ThreadStartsFail threadsFail(failingFrom);
            intactStatus = payloadStatus(dir / "Intact.app", &intact);
            tamperedStatus = payloadStatus(dir / "Tampered.app", &tampered);
        }
        EXPECT_EQ(intactStatus, kStatusOk) << name << ": " << intact;
        EXPECT_EQ(tamperedStatus, kStatusResourceModified) << name << ": " << tampered;
    }
}

}  // namespace
}  // namespace tessuro::codesign
