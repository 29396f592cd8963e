#include "CloseNotify.h"

#include "OpenSslHandles.h"

#include <openssl/err.h>

// The stream's engine writes OpenSSL's output into a BIO pair and sends it
// only from inside its own operations. For the length of one SSL_shutdown
// call the output goes to a memory BIO instead, and the alert is taken from it.
std::string CloseNotify::take(SSL* ssl)
{
    if (!SSL_is_init_finished(ssl) || (SSL_get_shutdown(ssl) & SSL_SENT_SHUTDOWN) != 0)
        return std::string();
    BIO* engineOutput = SSL_get_wbio(ssl);
    BIO* alertOutput = BIO_new(BIO_s_mem());
    if (!engineOutput || !alertOutput || BIO_up_ref(engineOutput) != 1) {
        BIO_free(alertOutput);
        return std::string();
    }
    SSL_set0_wbio(ssl, alertOutput);
    ERR_clear_error();
    const int result = SSL_shutdown(ssl);
    char* data = nullptr;
    const long size = BIO_get_mem_data(alertOutput, &data);
    std::string alert = result >= 0 && size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
    // Frees alertOutput and hands the reference taken above back to the SSL.
    SSL_set0_wbio(ssl, engineOutput);
    ERR_clear_error();
    return alert;
}

void CloseNotify::stopWaitingForClient(SSL* ssl)
{
    SSL_set_shutdown(ssl, SSL_get_shutdown(ssl) | SSL_RECEIVED_SHUTDOWN);
}
