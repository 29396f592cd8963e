#include "ConversationState.h"

void ConversationState::apply(Session::Event event, const std::string& detail)
{
    switch (event) {
    case Session::Event::ReadEndedByPeer:
        clientEnded = true;
        break;
    case Session::Event::ReadFailed:
        readEndReason = detail;
        break;
    case Session::Event::SendingClosed:
        sendingClosed = true;
        break;
    case Session::Event::ResetByServer:
        resetByServer = true;
        break;
    case Session::Event::ReleasedForNewClients:
        break;
    case Session::Event::TlsEstablished:
        tlsEstablished = true;
        break;
    case Session::Event::TlsFailed:
        tlsFailure = detail;
        break;
    }
}
