#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

// Owning pointers for the OpenSSL objects this library makes: each frees its
// object with the OpenSSL function given.
template <auto freeFunction>
struct OpenSslFree
{
    template <typename Object>
    void operator()(Object* object) const
    {
        freeFunction(object);
    }
};

using X509Ptr = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO_free_all>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OpenSslFree<X509_NAME_free>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, OpenSslFree<ASN1_TIME_free>>;

// Shared forms, for credentials that are copied around and outlive the
// context built from them.
using SharedX509 = std::shared_ptr<X509>;
using SharedKey = std::shared_ptr<EVP_PKEY>;

inline SharedX509 shareCertificate(X509Ptr certificate)
{
    return SharedX509(certificate.release(), X509_free);
}

inline SharedKey shareKey(EvpPkeyPtr key)
{
    return SharedKey(key.release(), EVP_PKEY_free);
}
