#include "PemReader.h"

#include "X509Text.h"

#include <openssl/err.h>
#include <openssl/pem.h>

namespace
{
bool contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

BioPtr readingBio(const std::string& pem)
{
    return BioPtr(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
}

bool endOfPem()
{
    const unsigned long last = ERR_peek_last_error();
    return ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
}

// Never asks for a passphrase (OpenSSL's default would prompt on the terminal).
int refusePassphrase(char*, int, int, void*)
{
    return -1;
}
}

std::vector<SharedX509> PemReader::certificates(const std::string& pem, std::string& problem)
{
    std::vector<SharedX509> found;
    if (!contains(pem, "-----BEGIN ")) {
        problem = "is not a PEM file";
        return found;
    }
    BioPtr bio = readingBio(pem);
    ERR_clear_error();
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, refusePassphrase, nullptr))
        found.push_back(shareCertificate(X509Ptr(certificate)));
    if (!endOfPem()) {
        problem = "holds a damaged PEM certificate (" + X509Text::takeOpenSslErrors() + ")";
        found.clear();
    } else if (found.empty()) {
        problem = "holds no PEM certificate";
    }
    ERR_clear_error();
    return found;
}

SharedKey PemReader::privateKey(const std::string& pem, std::string& problem)
{
    if (!contains(pem, "-----BEGIN ")) {
        problem = "is not a PEM file";
        return nullptr;
    }
    if (!contains(pem, "PRIVATE KEY-----")) {
        problem = "holds no PEM private key";
        return nullptr;
    }
    if (contains(pem, "ENCRYPTED PRIVATE KEY-----") || contains(pem, "Proc-Type: 4,ENCRYPTED")) {
        problem = "holds a private key protected by a passphrase, which cannot be used here";
        return nullptr;
    }
    BioPtr bio = readingBio(pem);
    ERR_clear_error();
    EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassphrase, nullptr));
    if (!key)
        problem = "holds a damaged private key (" + X509Text::takeOpenSslErrors() + ")";
    ERR_clear_error();
    return key ? shareKey(std::move(key)) : nullptr;
}
