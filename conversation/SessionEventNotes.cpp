#include "SessionEventNotes.h"

namespace SessionEventNotes
{
Note about(Session::Event event, const std::string& detail)
{
    switch (event) {
    case Session::Event::ReadEndedByPeer:
        return {EventKind::ClientEnded, std::string()};
    case Session::Event::ReadFailed:
        return {EventKind::ClientFailed, std::string()};
    case Session::Event::SendingClosed:
        return {EventKind::SendingClosed, "[This side closed its sending: the client reads the end of the stream "
                                          "once everything above has gone out]"};
    case Session::Event::ResetByServer:
        return {EventKind::ResetByServer, "[This side reset the connection]"};
    case Session::Event::ReleasedForNewClients:
        return {EventKind::Released, "[The connection was closed to make room for new clients: its client had "
                                     "ended its sending, and too few file descriptors were free]"};
    case Session::Event::TlsEstablished:
        return {EventKind::TlsEstablished, "[TLS: " + detail + "]"};
    case Session::Event::TlsFailed:
        return {EventKind::TlsFailed, "[TLS handshake failed: " + detail + "]"};
    }
    return {EventKind::Note, std::string()};
}

std::string remark(Session::Event event, const std::string& detail)
{
    if (event == Session::Event::ReadEndedByPeer && !detail.empty())
        return "[The client " + detail + "]";
    return std::string();
}
}
