#include "TlsDetailsLine.h"

#include "ByteEscaper.h"
#include "ConnectionDetails.h"
#include "Latin1.h"

#include <QLabel>
#include <QStringList>

namespace
{
// An SNI name may be anything a client sends, up to kilobytes.
constexpr std::size_t longestName = 80;

QString clientText(const std::string& bytes)
{
    std::string escaped;
    appendEscaped(escaped, bytes.data(), std::min(bytes.size(), longestName));
    if (bytes.size() > longestName)
        escaped += "...";
    return Latin1::toQString(escaped);
}

// Tenths of a millisecond cut, not rounded, as the log and the note write it.
QString handshakeTime(std::chrono::microseconds duration)
{
    const auto micros = duration.count();
    return QString("handshake %1.%2 ms").arg(micros / 1000).arg(micros % 1000 / 100);
}
}

TlsDetailsLine::TlsDetailsLine(QLabel* label, const Conversation& conversation)
    : label(label)
    , conversation(conversation)
{
    label->setVisible(conversation.usesTls());
    label->setText("TLS handshake under way...");
}

void TlsDetailsLine::follow(const Conversation::State& state)
{
    if (shown || !conversation.usesTls())
        return;
    if (!state.tlsFailure.empty()) {
        label->setStyleSheet("color: #b00020;");
        label->setText("TLS handshake failed: " + clientText(state.tlsFailure));
        shown = true;
    } else if (const auto details = conversation.tlsDetails()) {
        label->setText(text(*details));
        label->setToolTip(QString::fromStdString(details->summary()));
        shown = true;
    }
}

QString TlsDetailsLine::text(const ConnectionDetails& details)
{
    QStringList parts{QString::fromStdString(details.version), QString::fromStdString(details.cipher)};
    parts.append(details.serverName.empty() ? "no SNI" : "SNI " + clientText(details.serverName));
    parts.append(details.alpn.empty() ? "no ALPN" : "ALPN " + clientText(details.alpn));
    if (details.resumed)
        parts.append("resumed");
    parts.append(handshakeTime(details.handshakeDuration));
    if (!details.clientSubject.empty())
        parts.append(QString("client certificate %1, issuer %2, SHA-256 %3")
                         .arg(clientText(details.clientSubject), clientText(details.clientIssuer),
                              QString::fromStdString(details.clientFingerprint)));
    return parts.join(" | ");
}
