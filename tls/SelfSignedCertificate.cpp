#include "SelfSignedCertificate.h"

#include "OpenSslHandles.h"
#include "X509Text.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <utility>

namespace
{
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslFree<BN_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslFree<X509_EXTENSION_free>>;

// A positive random serial number of 127 bits, as certificates should have.
bool setRandomSerial(X509* certificate)
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] &= 0x7f;
    BignumPtr number(BN_bin2bn(bytes, sizeof bytes, nullptr));
    return number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate)) != nullptr;
}

bool setValidity(X509* certificate, SelfSignedCertificate::TimePoint from, SelfSignedCertificate::TimePoint until)
{
    using Clock = std::chrono::system_clock;
    return ASN1_TIME_set(X509_getm_notBefore(certificate), Clock::to_time_t(from)) != nullptr
        && ASN1_TIME_set(X509_getm_notAfter(certificate), Clock::to_time_t(until)) != nullptr;
}

bool setNames(X509* certificate)
{
    X509_NAME* name = X509_get_subject_name(certificate);
    const auto add = [name](const char* field, const char* value) {
        return X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC, reinterpret_cast<const unsigned char*>(value),
                                          -1, -1, 0) == 1;
    };
    return add("O", "Brindlewick") && add("CN", SelfSignedCertificate::commonName)
        && X509_set_issuer_name(certificate, name) == 1;
}

// A server certificate, not a CA: browsers refuse a CA certificate as a
// server's own. The key identifiers let clients match it as its own issuer.
bool addExtensions(X509* certificate)
{
    const std::pair<int, const char*> extensions[] = {
        {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_key_usage, "critical,digitalSignature"},
        {NID_ext_key_usage, "serverAuth"},
        {NID_subject_alt_name, SelfSignedCertificate::subjectAltNames},
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"},
    };
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
        ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
        if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1)
            return false;
    }
    return true;
}

std::string keyPem(EVP_PKEY* key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return std::string();
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    std::string text(data, static_cast<std::size_t>(size));
    OPENSSL_cleanse(data, static_cast<std::size_t>(size));
    return text;
}
}

SelfSignedCertificate::Pem::~Pem()
{
    if (!privateKey.empty())
        OPENSSL_cleanse(&privateKey[0], privateKey.size());
}

std::optional<SelfSignedCertificate::Pem> SelfSignedCertificate::create(TimePoint validFrom, TimePoint validUntil,
                                                                        std::string& error)
{
    ERR_clear_error();
    EvpPkeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr certificate(X509_new());
    const bool made = key && certificate && X509_set_version(certificate.get(), X509_VERSION_3) == 1
        && setRandomSerial(certificate.get()) && setValidity(certificate.get(), validFrom, validUntil)
        && setNames(certificate.get()) && X509_set_pubkey(certificate.get(), key.get()) == 1
        && addExtensions(certificate.get()) && X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0;
    Pem pem;
    if (made) {
        pem.certificate = X509Text::pem(certificate.get());
        pem.privateKey = keyPem(key.get());
    }
    if (pem.certificate.empty() || pem.privateKey.empty()) {
        error = "the certificate could not be made: " + X509Text::takeOpenSslErrors();
        return std::nullopt;
    }
    return pem;
}
