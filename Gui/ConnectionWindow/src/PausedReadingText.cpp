#include "PausedReadingText.h"

#include "NumberText.h"

#include <QStringList>

namespace
{
// Why, in the status bar's words; empty for Pause::None.
QString reasonOf(Conversation::Pause pause)
{
    switch (pause) {
    case Conversation::Pause::StorageFailed:
        return QStringLiteral("a transcript file cannot be written");
    case Conversation::Pause::DiskReserve:
        return QStringLiteral("disk reserve (too little free space where transcripts are kept)");
    case Conversation::Pause::Cap:
        return QStringLiteral("a transcript holds its cap");
    case Conversation::Pause::None:
        break;
    }
    return QString();
}
}

namespace PausedReadingText
{
QString window(Conversation::Pause pause, const QString& detail, quint64 cap)
{
    switch (pause) {
    case Conversation::Pause::StorageFailed:
        return QStringLiteral("Reading from this client is paused: the transcript file cannot be written (%1). "
                              "Reading goes on when there is room again.")
            .arg(detail);
    case Conversation::Pause::DiskReserve:
        return QStringLiteral("Reading from this client is paused: disk reserve (%1). Reading goes on when there "
                              "is room again.")
            .arg(detail);
    case Conversation::Pause::Cap:
        return QStringLiteral("Reading from this client is paused: its transcript holds its cap of %1, and "
                              "nothing was dropped. The cap is set in Preferences.")
            .arg(QString::fromStdString(byteSize(cap)));
    case Conversation::Pause::None:
        break;
    }
    return QString();
}

QString row(Conversation::Pause pause)
{
    if (pause == Conversation::Pause::StorageFailed)
        return QStringLiteral("Reading paused: the transcript's file cannot be written");
    return QStringLiteral("Reading paused: ") + reasonOf(pause);
}

// One reason is named alone; several each with their count.
QString status(const Counts& counts)
{
    int total = 0;
    int reasons = 0;
    for (int count : counts) {
        total += count;
        reasons += count > 0;
    }
    if (total == 0)
        return QString();
    QStringList parts;
    for (std::size_t pause = 1; pause < counts.size(); ++pause) {
        if (counts[pause] == 0)
            continue;
        const QString reason = reasonOf(static_cast<Conversation::Pause>(pause));
        parts.append(reasons == 1 ? reason : QStringLiteral("%1 (%2)").arg(reason).arg(counts[pause]));
    }
    return QStringLiteral("Reading paused for %1 %2: %3")
        .arg(total)
        .arg(total == 1 ? "connection" : "connections")
        .arg(parts.join(QStringLiteral(", ")));
}
}
