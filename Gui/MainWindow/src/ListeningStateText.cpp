#include "ListeningStateText.h"

#include "Latin1.h"

#include <QStringList>

namespace
{
// The ports bound, each once (the loopback addresses share one); a TLS
// port as "8443 (TLS)".
QStringList boundPorts(const ListenResult& result)
{
    QStringList ports;
    for (const BoundEndpoint& endpoint : result.bound) {
        const QString port = QString::number(endpoint.port) + (endpoint.tls ? " (TLS)" : "");
        if (!ports.contains(port))
            ports.append(port);
    }
    return ports;
}

QString failure(const ListenFailure& failed)
{
    return QString("port %1: %2").arg(failed.endpoint.port).arg(Latin1::toQString(failed.reason));
}

QString scope(const BindAddress& where)
{
    switch (where.scope()) {
    case BindAddress::Scope::AllAddresses:
        return QString();
    case BindAddress::Scope::Loopback:
        return " (loopback only)";
    case BindAddress::Scope::OneAddress:
        break;
    }
    return QString(" (%1 only)").arg(Latin1::toQString(where.text()));
}
}

namespace ListeningStateText
{
QString listening(const ListenResult& result, const BindAddress& where)
{
    const QStringList ports = boundPorts(result);
    QString text = QString(ports.size() == 1 ? "Listening on port: %1" : "Listening on ports: %1")
                       .arg(ports.join(", "))
                   + scope(where);
    for (const ListenFailure& failed : result.failures)
        text += "; couldn't listen on " + failure(failed);
    return text;
}

QString paused(const ListenResult& result, std::uint64_t freeDescriptors, std::uint64_t resumeLevel)
{
    const QStringList ports = boundPorts(result);
    return QString(ports.size() == 1 ? "Listening on port %1 paused: " : "Listening on ports %1 paused: ")
               .arg(ports.join(", "))
           + QString("too few file descriptors free (%1 free, waiting for %2)").arg(freeDescriptors).arg(resumeLevel);
}

QString stopped(const ListenResult& failedStart)
{
    QString text = "Server stopped.";
    for (const ListenFailure& failed : failedStart.failures)
        text += " Couldn't listen on " + failure(failed) + ".";
    return text;
}

QString startFailed(const ListenResult& result)
{
    if (result.failures.size() == 1)
        return "Couldn't start listening: " + Latin1::toQString(result.failures.front().reason);
    QStringList reasons;
    for (const ListenFailure& failed : result.failures)
        reasons.append(failure(failed));
    return "Couldn't start listening: " + (reasons.isEmpty() ? QString("no port to listen on") : reasons.join("; "));
}
}
