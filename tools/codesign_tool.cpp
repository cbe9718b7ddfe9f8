// tessuro-codesign: signs a bundle the way the installer verifies it, and verifies one.
//
//   tessuro-codesign sign --key KEY.pem --certs CHAIN.pem [--identifier ID]
//                         [--requirement TEXT] [--sha1-primary] [--enforce-expiry] BUNDLE
//   tessuro-codesign verify --requirement TEXT [--anchor ROOT.pem]... BUNDLE
//   tessuro-codesign make-identity --out FOLDER --ou TEAM [--name NAME]
//   tessuro-codesign info BUNDLE
//
// "verify" trusts Apple's roots and the anchors given; it prints "valid", or the check
// that failed, and exits 0 or 1; certificates that have expired do not make it fail unless
// the signer asked for expiry to be enforced. "make-identity" writes a development root
// (root.pem, root-key.pem) and a code-signing leaf (leaf.pem, leaf-key.pem, chain.pem) for
// tests and development builds. "info" prints the bundle's identifier and build number,
// the signing time its signature claims, and whether its signer asked for expiry to be
// enforced (in the CodeDirectory a check goes by); it reads the signature as a check does,
// never through a link, and fails naming the file it cannot read.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codesign/certificates.h"
#include "codesign/cms_signature.h"
#include "codesign/code_directory.h"
#include "codesign/code_signing.h"
#include "codesign/signature_layout.h"
#include "codesign/signer.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

namespace {

using namespace tessuro::codesign;
using tessuro::posixError;

constexpr std::size_t kMaxPemSize = 1 << 20;
constexpr std::size_t kMaxSignatureFile = 16u << 20;

ByteView asView(const std::string& data) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

// A file of the bundle's signature (`name` in Contents/_CodeSignature), read as the
// verifier reads it: below the bundle folder, never through a link, only a regular file.
// Nothing when it is not there.
std::optional<std::string> signatureFile(int bundle, const std::string& name) {
    try {
        return tessuro::readFileContentsAt(
            bundle, std::filesystem::path(layout::kContents) / layout::kSignatureFolder / name,
            kMaxSignatureFile);
    } catch (const tessuro::Error& error) {
        if (error.domain() == tessuro::kPosixErrorDomain && error.code() == ENOENT) {
            return std::nullopt;
        }
        throw;
    }
}

// What parsing a file of the signature throws, with the file named.
[[noreturn]] void unreadable(const std::string& name, const tessuro::Error& error) {
    throw std::runtime_error(std::string(layout::kContents) + "/" + layout::kSignatureFolder + "/" +
                             name + ": " + error.what());
}

// The flags of the CodeDirectory a check goes by, the one of the strongest hash type;
// nothing when there is no CodeDirectory.
std::optional<std::uint32_t> checkedFlags(int bundle) {
    std::optional<CodeDirectory> best;
    std::vector<std::string> names{layout::kCodeDirectory};
    for (int i = 1; i <= layout::kMaxAlternateCodeDirectories; ++i) {
        names.push_back(layout::alternateCodeDirectory(i));
    }
    for (const std::string& name : names) {
        const std::optional<std::string> blob = signatureFile(bundle, name);
        if (!blob) {
            continue;
        }
        try {
            CodeDirectory cd = CodeDirectory::parse(asView(*blob));
            if (!best || hashStrength(cd.hashType()) > hashStrength(best->hashType())) {
                best = std::move(cd);
            }
        } catch (const tessuro::Error& error) {
            unreadable(name, error);
        }
    }
    return best ? std::optional(best->flags()) : std::nullopt;
}

// A moment as ISO 8601 in UTC.
std::string utcText(std::time_t when) {
    struct tm parts {};
    char text[32];
    if (::gmtime_r(&when, &parts) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
        return std::to_string(when);
    }
    return text;
}

std::string readText(const std::string& path) {
    return tessuro::readFileContents(path, kMaxPemSize);
}

// A new file, never one that stands there already: what stood at the name is removed first
// (a link is removed, not followed), and O_EXCL refuses whatever appears there meanwhile.
void writeText(const std::string& path, const std::string& text) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw posixError(errno, "无法写入磁盘", path);
    }
    tessuro::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        throw posixError(errno, "无法写入磁盘", path);
    }
    tessuro::writeAll(fd.get(), text, path);
}

int usage() {
    std::cerr
        << "usage:\n"
           "  tessuro-codesign sign --key KEY.pem --certs CHAIN.pem [--identifier ID]\n"
           "                        [--requirement TEXT] [--sha1-primary] [--enforce-expiry]\n"
           "                        BUNDLE\n"
           "  tessuro-codesign verify --requirement TEXT [--anchor ROOT.pem]... BUNDLE\n"
           "  tessuro-codesign make-identity --out FOLDER --ou TEAM [--name NAME]\n"
           "  tessuro-codesign info BUNDLE\n"
           "\n"
           "verify trusts Apple's roots and each --anchor. The certificates' validity periods\n"
           "are not checked: a signature stays valid after its leaf or an issuer expires, as\n"
           "on macOS, unless the signer asked for expiry to be enforced (sign\n"
           "--enforce-expiry, the CodeDirectory flag 0x400); then a certificate expired now\n"
           "refuses it. The signing time a signature claims is the signer's word and no\n"
           "secure timestamp is read; info shows it.\n";
    return 2;
}

struct Arguments {
    bool complete = true;  // false when an option lacks its value
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> flags;
    std::vector<std::string> positional;

    std::optional<std::string> get(const std::string& name) const {
        for (const auto& [key, value] : options) {
            if (key == name) {
                return value;
            }
        }
        return std::nullopt;
    }
    std::vector<std::string> all(const std::string& name) const {
        std::vector<std::string> values;
        for (const auto& [key, value] : options) {
            if (key == name) {
                values.push_back(value);
            }
        }
        return values;
    }
    bool has(const std::string& flag) const {
        return std::find(flags.begin(), flags.end(), flag) != flags.end();
    }
};

Arguments parse(int argc, char** argv, const std::vector<std::string>& flagNames) {
    Arguments arguments;
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) == 0) {
            if (std::find(flagNames.begin(), flagNames.end(), word) != flagNames.end()) {
                arguments.flags.push_back(word);
            } else if (i + 1 < argc) {
                arguments.options.emplace_back(word, argv[++i]);
            } else {
                std::cerr << "tessuro-codesign: " << word << " needs a value\n";
                arguments.complete = false;
            }
        } else {
            arguments.positional.push_back(word);
        }
    }
    return arguments;
}

int sign(const Arguments& arguments) {
    auto key = arguments.get("--key");
    auto certs = arguments.get("--certs");
    if (!arguments.complete || !key || !certs || arguments.positional.size() != 1) {
        return usage();
    }
    SigningIdentity identity;
    identity.key = readPrivateKeyPem(readText(*key));
    identity.chain = readCertificatesPem(readText(*certs));
    SignOptions options;
    options.identifier = arguments.get("--identifier");
    options.requirement = arguments.get("--requirement");
    options.sha1Primary = arguments.has("--sha1-primary");
    options.enforceExpiry = arguments.has("--enforce-expiry");
    signBundle(arguments.positional[0], identity, options);
    std::cout << "signed " << arguments.positional[0] << "\n";
    return 0;
}

// The check as the installer makes it: the bundle, then the requirement, then validity.
Status check(const CodeSigning& service, const std::string& bundle,
             const std::string& requirementText, std::string& detail) {
    std::unique_ptr<StaticCode> code;
    std::unique_ptr<Requirement> requirement;
    Status status = service.createStaticCodeWithPath(bundle, kDefaultFlags, code);
    if (status == kStatusOk) {
        status = service.createRequirementWithString(requirementText, kDefaultFlags, requirement,
                                                     &detail);
    }
    if (status == kStatusOk) {
        status =
            service.checkValidity(code.get(), kCheckAllArchitectures, requirement.get(), &detail);
    }
    return status;
}

int verify(const Arguments& arguments) {
    auto requirementText = arguments.get("--requirement");
    if (!arguments.complete || !requirementText || arguments.positional.size() != 1) {
        return usage();
    }
    std::vector<std::string> anchors;
    for (const std::string& path : arguments.all("--anchor")) {
        anchors.push_back(readText(path));
    }
    std::string detail;
    const Status status =
        check(CodeSigning(anchors), arguments.positional[0], *requirementText, detail);
    if (status == kStatusOk) {
        std::cout << "valid\n";
        return 0;
    }
    std::cout << "invalid: " << statusName(status) << " (status " << static_cast<int>(status)
              << ")";
    if (!detail.empty()) {
        std::cout << ": " << detail;
    }
    std::cout << "\n";
    return 1;
}

int makeIdentity(const Arguments& arguments) {
    auto out = arguments.get("--out");
    auto team = arguments.get("--ou");
    if (!arguments.complete || !out || !team) {
        return usage();
    }
    std::string name = arguments.get("--name").value_or("Tessuro Development");
    CertificateSpec rootSpec;
    rootSpec.commonName = name + " Root";
    rootSpec.authority = true;
    Credential root = makeCertificate(rootSpec, nullptr);
    CertificateSpec leafSpec;
    leafSpec.commonName = name + " Code Signing";
    leafSpec.organizationalUnit = *team;
    Credential leaf = makeCertificate(leafSpec, &root);
    // The folder is made when missing, with its parents, and kept to its owner (it holds
    // private keys).
    std::error_code made;
    std::filesystem::create_directories(*out, made);
    if (made) {
        throw posixError(made.value(), "无法创建文件夹", *out);
    }
    std::string dir = *out + "/";
    writeText(dir + "root.pem", certificatePem(root.certificate.get()));
    writeText(dir + "root-key.pem", privateKeyPem(root.key.get()));
    writeText(dir + "leaf.pem", certificatePem(leaf.certificate.get()));
    writeText(dir + "leaf-key.pem", privateKeyPem(leaf.key.get()));
    writeText(dir + "chain.pem",
              certificatePem(leaf.certificate.get()) + certificatePem(root.certificate.get()));
    std::cout << "wrote a development root and leaf to " << *out << "\n";
    return 0;
}

int info(const Arguments& arguments) {
    if (!arguments.complete || arguments.positional.size() != 1) {
        return usage();
    }
    const std::string& bundle = arguments.positional[0];
    const tessuro::UniqueFd folder(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        throw posixError(errno, "无法打开文件夹", bundle);
    }
    std::cout << "identifier: "
              << tessuro::bundleInfoString(bundle, "CFBundleIdentifier").value_or("")
              << "\nversion: " << tessuro::bundleInfoString(bundle, "CFBundleVersion").value_or("")
              << "\n";
    const std::optional<std::string> cms = signatureFile(folder.get(), layout::kSignature);
    if (!cms) {
        std::cout << "signature: none\n";
        return 0;
    }
    std::optional<std::time_t> when;
    try {
        when = cms->empty() ? std::nullopt : claimedSigningTime(asView(*cms));
    } catch (const tessuro::Error& error) {
        unreadable(layout::kSignature, error);
    }
    if (cms->empty()) {
        std::cout << "signing time: none claimed (an ad-hoc signature)\n";
    } else if (when) {
        std::cout << "signing time: " << utcText(*when)
                  << " (claimed by the signer; not a secure timestamp)\n";
    } else {
        std::cout << "signing time: none claimed\n";
    }
    if (const std::optional<std::uint32_t> flags = checkedFlags(folder.get())) {
        std::cout << "expiry enforced: " << ((*flags & kCodeDirectoryFlagExpires) ? "yes" : "no")
                  << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    std::string command = argv[1];
    try {
        if (command == "sign") {
            return sign(parse(argc, argv, {"--sha1-primary", "--enforce-expiry"}));
        }
        if (command == "verify") {
            return verify(parse(argc, argv, {}));
        }
        if (command == "info") {
            return info(parse(argc, argv, {}));
        }
        if (command == "make-identity") {
            return makeIdentity(parse(argc, argv, {}));
        }
    } catch (const std::exception& error) {  // tessuro::Error, or the standard library's
        std::cerr << "tessuro-codesign: " << error.what() << "\n";
        return 1;
    }
    return usage();
}
