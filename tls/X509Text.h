#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <string>

// Certificates and OpenSSL's errors as text for people.
namespace X509Text
{
// SHA-256 of the DER form, as upper-case hex pairs joined by colons.
std::string fingerprintSha256(const X509* certificate);
// "CN=test-client,O=Example", most specific part first.
std::string name(const X509_NAME* name);
// "2024-01-02" (UTC).
std::string date(const ASN1_TIME* time);
std::string pem(const X509* certificate);
// Takes every error queued by OpenSSL on this thread, joined by "; ".
std::string takeOpenSslErrors();
}
