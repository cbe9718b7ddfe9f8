// The CMS signature: any bytes as the DER, checked against a fixed CodeDirectory with a
// fixed anchor.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codesign/certificates.h"
#include "codesign/cms_signature.h"

using namespace tessuro::codesign;

namespace {

Credential* anchor = nullptr;
const Bytes codeDirectory(200, 0x5A);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CertificateSpec spec;
    spec.commonName = "Fuzz Root";
    spec.authority = true;
    anchor = new Credential(makeCertificate(spec, nullptr));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        // Either way of judging the certificates' validity periods, by the input's length.
        (void)verifyCms(ByteView(data, size), codeDirectory, {anchor->certificate.get()},
                        {codeDirectoryHashes(HashType::Sha256, codeDirectory)}, size % 2 == 1);
    } catch (const tessuro::Error&) {
    }
    try {
        (void)claimedSigningTime(ByteView(data, size));
    } catch (const tessuro::Error&) {
    }
    return 0;
}
