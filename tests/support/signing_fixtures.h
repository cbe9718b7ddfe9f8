#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "codesign/certificates.h"
#include "codesign/code_signing.h"
#include "codesign/signer.h"

namespace tessuro::test {

// Certificates made once per test program: a root, an intermediate and leaves below it,
// and a separate root that nothing trusts.
struct TestPki {
    codesign::Credential root;
    codesign::Credential intermediate;
    codesign::Credential leaf;                 // OU Q7XK4M2LD8, code signing
    codesign::Credential otherTeamLeaf;        // OU A1B2C3D4E5
    codesign::Credential appleStyleLeaf;       // with Apple's critical extension
    codesign::Credential unknownCriticalLeaf;  // with a critical extension nobody knows
    codesign::Credential noCodeSigningLeaf;
    codesign::Credential expiredLeaf;  // valid from a day before it was made to an hour before
    codesign::Credential expiredIntermediate;        // below the root, expired like that leaf
    codesign::Credential leafOfExpiredIntermediate;  // valid, issued by the expired one
    codesign::Credential untrustedRoot;
    codesign::Credential untrustedLeaf;

    static const TestPki& shared();

    std::string rootPem() const { return codesign::certificatePem(root.certificate.get()); }
    // A service trusting this root besides Apple's.
    codesign::CodeSigning service() const { return codesign::CodeSigning({rootPem()}); }
    // The identity of a leaf with its chain, up to (not including) the trusted root.
    codesign::SigningIdentity identity(const codesign::Credential& leaf) const;
};

// A Tessuro.app to sign: an executable script, Info.plist, nested folders with resources
// (one file naming the version), a localisation folder, and relative links (one to a folder).
void makeUnsignedBundle(const std::filesystem::path& bundle, const std::string& version = "1");

// makeUnsignedBundle, then signed by the test leaf.
void makeSignedBundle(const std::filesystem::path& bundle, const std::string& version = "1",
                      const codesign::SignOptions& options = {});

// A minimal Mach-O executable: a header (64-bit little-endian, or 32-bit big-endian), a
// UUID load command, and LC_CODE_SIGNATURE after it when it carries its own signature.
std::string machOExecutable(bool ownSignature, bool bigEndian32 = false);
// A universal file of the given slices, each at a 4 KiB boundary.
std::string universalExecutable(const std::vector<std::string>& slices);

}  // namespace tessuro::test
