#pragma once

#include "ListenerOptions.h"
#include "ServerCredentials.h"

#include <boost/asio/ssl/context.hpp>

#include <chrono>
#include <memory>
#include <string>

// The OpenSSL context of one TLS listener, built once from its options and
// used for every connection it accepts: a stream is made with
// boost::asio::ssl::stream<tcp::socket>(executor, listenerContext->context()).
//
// Every client's server name (SNI) is accepted; SSL_get_servername tells it
// after the handshake. What the callbacks need (the ALPN list, the key log)
// belongs to the OpenSSL context itself, so connections may outlive this
// object safely. Callbacks never throw.
class ListenerContext
{
public:
    // Nothing when the options cannot be used; error then says why (naming
    // the file for a CA file or key log that cannot be read or opened).
    static std::shared_ptr<ListenerContext> create(const ServerCredentials& credentials,
                                                   const ListenerOptions& options, std::string& error);

    ListenerContext(const ListenerContext&) = delete;
    ListenerContext& operator=(const ListenerContext&) = delete;

    boost::asio::ssl::context& context() { return sslContext; }
    const ListenerOptions& options() const { return listenerOptions; }
    const ServerCredentials& credentials() const { return serverCredentials; }
    std::chrono::milliseconds handshakeTimeout() const { return listenerOptions.handshakeTimeout; }

private:
    ListenerContext(const ServerCredentials& credentials, const ListenerOptions& options);

    bool configure(std::string& error);
    bool useCredentials(std::string& error);
    bool setVersions(std::string& error);
    bool setAlpn(std::string& error);
    bool setClientCertificates(std::string& error);
    bool setKeyLog(std::string& error);

    boost::asio::ssl::context sslContext;
    ListenerOptions listenerOptions;
    ServerCredentials serverCredentials;
};
