#include "ListenerContext.h"

#include "KeyLogFile.h"
#include "Log.h"
#include "PemReader.h"
#include "SafeFiles.h"
#include "X509Text.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <exception>

namespace
{
// A CA file may be a whole bundle of certificates.
constexpr std::size_t maxCaFileSize = 8 * 1024 * 1024;
const unsigned char sessionIdContext[] = "brindlewick";

// What the callbacks of one SSL_CTX use. Owned by the SSL_CTX and freed with
// it, after the last connection made from it.
struct CallbackState
{
    std::vector<std::string> alpnProtocols;
    std::unique_ptr<KeyLogFile> keyLog;
};

void freeCallbackState(void*, void* state, CRYPTO_EX_DATA*, int, long, void*)
{
    delete static_cast<CallbackState*>(state);
}

int callbackStateIndex()
{
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeCallbackState);
    return index;
}

CallbackState* callbackState(const SSL_CTX* context)
{
    return static_cast<CallbackState*>(SSL_CTX_get_ex_data(context, callbackStateIndex()));
}

int acceptAnyServerName(SSL*, int*, void*)
{
    return SSL_TLSEXT_ERR_OK;
}

// The first of the server's protocols that the client offers. None in
// common: the handshake goes on without ALPN rather than failing.
int selectAlpn(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
               unsigned int inLength, void* arg)
{
    const auto* state = static_cast<const CallbackState*>(arg);
    for (const std::string& mine : state->alpnProtocols) {
        // The client's list: names of 1 to 255 bytes, each after its length.
        for (unsigned int at = 0; at < inLength && in[at] < inLength - at; at += 1u + in[at]) {
            if (in[at] == mine.size() && std::memcmp(in + at + 1, mine.data(), mine.size()) == 0) {
                *out = in + at + 1;
                *outLength = in[at];
                return SSL_TLSEXT_ERR_OK;
            }
        }
    }
    return SSL_TLSEXT_ERR_NOACK;
}

void logKeys(const SSL* ssl, const char* line)
{
    const CallbackState* state = callbackState(SSL_get_SSL_CTX(ssl));
    if (state && state->keyLog)
        state->keyLog->append(line);
}

int openSslVersion(TlsVersion version)
{
    return version == TlsVersion::Tls12 ? TLS1_2_VERSION : TLS1_3_VERSION;
}
}

std::shared_ptr<ListenerContext> ListenerContext::create(const ServerCredentials& credentials,
                                                         const ListenerOptions& options, std::string& error)
{
    try {
        std::shared_ptr<ListenerContext> made(new ListenerContext(credentials, options));
        if (made->configure(error))
            return made;
    } catch (const std::exception& e) {
        error = std::string("the TLS context could not be made: ") + e.what();
    }
    ERR_clear_error();
    return nullptr;
}

ListenerContext::ListenerContext(const ServerCredentials& credentials, const ListenerOptions& options)
    : sslContext(boost::asio::ssl::context::tls_server)
    , listenerOptions(options)
    , serverCredentials(credentials)
{
}

bool ListenerContext::configure(std::string& error)
{
    SSL_CTX* context = sslContext.native_handle();
    auto* state = new CallbackState;
    if (SSL_CTX_set_ex_data(context, callbackStateIndex(), state) != 1) {
        delete state;
        error = "the TLS context could not be made: " + X509Text::takeOpenSslErrors();
        return false;
    }
    SSL_CTX_set_tlsext_servername_callback(context, acceptAnyServerName);
    // Resumed sessions (and client certificates with them) need a context name.
    SSL_CTX_set_session_id_context(context, sessionIdContext, sizeof sessionIdContext - 1);
    return useCredentials(error) && setVersions(error) && setAlpn(error) && setClientCertificates(error)
        && setKeyLog(error);
}

bool ListenerContext::useCredentials(std::string& error)
{
    SSL_CTX* context = sslContext.native_handle();
    const auto& chain = serverCredentials.chain();
    bool used = SSL_CTX_use_certificate(context, chain.front().get()) == 1;
    for (std::size_t i = 1; used && i < chain.size(); ++i)
        used = SSL_CTX_add1_chain_cert(context, chain[i].get()) == 1;
    used = used && SSL_CTX_use_PrivateKey(context, serverCredentials.privateKey()) == 1
        && SSL_CTX_check_private_key(context) == 1;
    if (!used)
        error = "the certificate cannot be used: " + X509Text::takeOpenSslErrors();
    return used;
}

bool ListenerContext::setVersions(std::string& error)
{
    if (listenerOptions.lowestVersion > listenerOptions.highestVersion) {
        error = std::string("the lowest TLS version (") + versionName(listenerOptions.lowestVersion)
            + ") is above the highest (" + versionName(listenerOptions.highestVersion) + ")";
        return false;
    }
    SSL_CTX* context = sslContext.native_handle();
    SSL_CTX_set_min_proto_version(context, openSslVersion(listenerOptions.lowestVersion));
    SSL_CTX_set_max_proto_version(context, openSslVersion(listenerOptions.highestVersion));
    if (listenerOptions.handshakeTimeout.count() <= 0) {
        error = "the handshake timeout must be longer than zero";
        return false;
    }
    return true;
}

bool ListenerContext::setAlpn(std::string& error)
{
    if (listenerOptions.alpnProtocols.empty())
        return true;
    for (const std::string& protocol : listenerOptions.alpnProtocols) {
        if (protocol.empty() || protocol.size() > 255) {
            error = "an ALPN protocol name must be 1 to 255 bytes long";
            return false;
        }
    }
    CallbackState* state = callbackState(sslContext.native_handle());
    state->alpnProtocols = listenerOptions.alpnProtocols;
    SSL_CTX_set_alpn_select_cb(sslContext.native_handle(), selectAlpn, state);
    return true;
}

bool ListenerContext::setClientCertificates(std::string& error)
{
    if (listenerOptions.clientCertificates == ClientCertificates::Off)
        return true;
    const std::string& path = listenerOptions.clientCaFile;
    if (path.empty()) {
        error = "client certificates need a CA file to check them against";
        return false;
    }
    std::string pem;
    std::string problem;
    std::vector<SharedX509> authorities;
    if (SafeFiles::readSmallFile(path, maxCaFileSize, pem, problem))
        authorities = PemReader::certificates(pem, problem);
    if (authorities.empty()) {
        error = SafeFiles::fileName(path) + ": " + problem;
        return false;
    }
    SSL_CTX* context = sslContext.native_handle();
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    for (const SharedX509& authority : authorities) {
        if (X509_STORE_add_cert(store, authority.get()) != 1 || SSL_CTX_add_client_CA(context, authority.get()) != 1) {
            error = SafeFiles::fileName(path) + ": " + X509Text::takeOpenSslErrors();
            return false;
        }
    }
    const bool required = listenerOptions.clientCertificates == ClientCertificates::Required;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | (required ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0), nullptr);
    return true;
}

bool ListenerContext::setKeyLog(std::string& error)
{
    if (listenerOptions.keyLogFile.empty())
        return true;
    auto keyLog = KeyLogFile::open(listenerOptions.keyLogFile, error);
    if (!keyLog)
        return false;
    callbackState(sslContext.native_handle())->keyLog = std::move(keyLog);
    SSL_CTX_set_keylog_callback(sslContext.native_handle(), logKeys);
    Log::line("TLS: the secrets of every connection go to the key log ", listenerOptions.keyLogFile);
    return true;
}
