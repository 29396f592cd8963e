#include "ConnectionDetails.h"

#include "OpenSslHandles.h"
#include "X509Text.h"

ConnectionDetails ConnectionDetails::of(const SSL* ssl)
{
    ConnectionDetails details;
    details.version = SSL_get_version(ssl);
    details.cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(ssl));
    if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name))
        details.serverName = name;
    const unsigned char* alpn = nullptr;
    unsigned int alpnLength = 0;
    SSL_get0_alpn_selected(ssl, &alpn, &alpnLength);
    details.alpn.assign(reinterpret_cast<const char*>(alpn), alpn ? alpnLength : 0);
    details.resumed = SSL_session_reused(ssl) == 1;
    if (const X509Ptr client{SSL_get1_peer_certificate(ssl)}) {
        details.clientSubject = X509Text::name(X509_get_subject_name(client.get()));
        details.clientIssuer = X509Text::name(X509_get_issuer_name(client.get()));
        details.clientFingerprint = X509Text::fingerprintSha256(client.get());
    }
    return details;
}

std::string ConnectionDetails::summary() const
{
    std::string text = version + ", " + cipher;
    if (!serverName.empty())
        text += ", SNI " + serverName;
    if (!alpn.empty())
        text += ", ALPN " + alpn;
    if (resumed)
        text += ", resumed";
    if (!clientSubject.empty())
        text += ", client certificate " + clientSubject;
    return text;
}
