#pragma once

#include "Conversation.h"

#include <QString>

class QLabel;
struct ConnectionDetails;

// The line at the top of a TLS connection's window: what its handshake
// negotiated (version, cipher, SNI, ALPN, the client's certificate and how
// long the handshake took), or, marked, why it failed. Hidden for a plain
// connection.
class TlsDetailsLine
{
public:
    TlsDetailsLine(QLabel* label, const Conversation& conversation);

    // Shows what the state tells of the handshake, once it has ended.
    void follow(const Conversation::State& state);

    // "TLSv1.3 | TLS_AES_128_GCM_SHA256 | SNI localhost | ALPN h2 | ...";
    // names as the client sent them, control bytes escaped and long ones cut.
    static QString text(const ConnectionDetails& details);

private:
    QLabel* label;
    const Conversation& conversation;
    bool shown = false;
};
