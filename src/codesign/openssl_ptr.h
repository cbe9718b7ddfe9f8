#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "codesign/status.h"

namespace tessuro::codesign {

// Owning pointers for the OpenSSL objects the signature code holds.
template <class T, void (*Free)(T*)>
struct OpenSslDeleter {
    void operator()(T* p) const { Free(p); }
};

inline void freeCertificateStack(STACK_OF(X509) * stack) {
    sk_X509_pop_free(stack, X509_free);
}

using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO, BIO_free_all>>;
using CmsPtr =
    std::unique_ptr<CMS_ContentInfo, OpenSslDeleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE, X509_STORE_free>>;
using StoreContextPtr =
    std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using CertificateStackPtr =
    std::unique_ptr<STACK_OF(X509), OpenSslDeleter<STACK_OF(X509), freeCertificateStack>>;

// A code-signing Error saying what failed and OpenSSL's own reason, taken from (and
// clearing) the thread's OpenSSL error queue.
inline Error openSslError(long code, const std::string& what) {
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    ERR_clear_error();
    return codesignError(code,
                         what + ": " + (reason != nullptr ? reason : "OpenSSL gives no reason"));
}

}  // namespace tessuro::codesign
