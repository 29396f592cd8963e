#include "X509Text.h"

#include "OpenSslHandles.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <ctime>

namespace X509Text
{
namespace
{
std::string bioText(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}
}

std::string fingerprintSha256(const X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &size) != 1)
        return std::string();
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i > 0)
            text += ':';
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

std::string name(const X509_NAME* name)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!name || !bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return std::string();
    return bioText(bio.get());
}

std::string date(const ASN1_TIME* time)
{
    std::tm parts{};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return "an unreadable date";
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d", &parts));
}

std::string pem(const X509* certificate)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1)
        return std::string();
    return bioText(bio.get());
}

std::string takeOpenSslErrors()
{
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(code);
        if (!text.empty())
            text += "; ";
        text += reason ? reason : "error " + std::to_string(code);
    }
    return text.empty() ? "unknown error" : text;
}
}
