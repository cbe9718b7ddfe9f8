// The requirement language: any text parsed, and evaluated against a fixed context.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "codesign/certificates.h"
#include "codesign/requirement.h"

using namespace tessuro::codesign;

namespace {

Credential* leaf = nullptr;
Credential* root = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CertificateSpec rootSpec;
    rootSpec.commonName = "Fuzz Root";
    rootSpec.authority = true;
    root = new Credential(makeCertificate(rootSpec, nullptr));
    CertificateSpec leafSpec;
    leafSpec.commonName = "Fuzz Leaf";
    leafSpec.organizationalUnit = "Q7XK4M2LD8";
    leaf = new Credential(makeCertificate(leafSpec, root));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        auto node = parseRequirement(text);
        RequirementContext context;
        context.identifier = "com.vorlak.tessuro.psvalidation";
        context.cdhashes = {Bytes(20, 1)};
        context.chain = {leaf->certificate.get(), root->certificate.get()};
        context.anchorIsApple = true;
        context.infoString = [](const std::string&) { return std::optional<std::string>("1"); };
        try {
            (void)evaluateRequirement(*node, context);
        } catch (const tessuro::Error&) {  // a clause it cannot decide
        }
        try {
            (void)encodeDesignatedRequirementSet(*node);
        } catch (const tessuro::Error&) {  // a clause it cannot encode
        }
    } catch (const tessuro::Error&) {  // a syntax error
    }
    return 0;
}
