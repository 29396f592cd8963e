#include "RuleText.h"

#include "Latin1.h"
#include "ReplayConverter.h"

#include <QStringList>

namespace RuleText
{
namespace
{
constexpr int maxShown = 60;

QString kindName(ConditionKind kind)
{
    switch (kind) {
    case ConditionKind::Contains:
        return QStringLiteral("contains");
    case ConditionKind::StartsWith:
        return QStringLiteral("starts with");
    case ConditionKind::Equals:
        return QStringLiteral("equals");
    case ConditionKind::Regex:
        return QStringLiteral("matches");
    case ConditionKind::HexBytes:
        return QStringLiteral("has the bytes");
    }
    return QString();
}

QString ordinal(unsigned n)
{
    const unsigned lastTwo = n % 100;
    const char* suffix = (lastTwo >= 11 && lastTwo <= 13) ? "th"
                         : n % 10 == 1                    ? "st"
                         : n % 10 == 2                    ? "nd"
                         : n % 10 == 3                    ? "rd"
                                                          : "th";
    return QString::number(n) + QLatin1String(suffix);
}

QString replyText(const char* verb, const RuleReply& reply)
{
    QString text = QLatin1String(verb) + QLatin1Char(' ') + shown(reply.text);
    if (reply.http)
        text += QStringLiteral(" as HTTP %1").arg(Latin1::toQString(reply.http->status));
    return text;
}
}

QString shown(const std::string& bytes)
{
    QString text = Latin1::toQString(ReplayConverter::escape(bytes));
    if (text.size() > maxShown)
        text = text.left(maxShown) + QStringLiteral("...");
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString condition(const Condition& condition)
{
    if (condition.onConnect)
        return QStringLiteral("on a new connection");
    // A value written with escapes or in hex shows as written; text shows
    // its control bytes as escapes.
    QString text = kindName(condition.kind) + QLatin1Char(' ');
    const bool asWritten = condition.kind == ConditionKind::HexBytes || condition.kind == ConditionKind::Regex;
    if (asWritten)
        text += Latin1::toQString(condition.value);
    else if (condition.mode == InputMode::Text)
        text += shown(condition.value);
    else
        text += QLatin1Char('"') + Latin1::toQString(condition.value) + QLatin1Char('"')
                + (condition.mode == InputMode::Hex ? QStringLiteral(" (hex)") : QStringLiteral(" (escapes)"));
    if (condition.nth > 0)
        text += QStringLiteral(" (only the %1 time)").arg(ordinal(condition.nth));
    return text;
}

QString action(const Action& action)
{
    switch (action.kind) {
    case ActionKind::Reply:
        return replyText("reply", action.reply);
    case ActionKind::Wait:
        return QStringLiteral("wait %1 ms").arg(action.duration.count());
    case ActionKind::SendInPieces:
        return replyText("send in pieces", action.reply)
            + QStringLiteral(" (%1 bytes every %2 ms)").arg(action.pieceSize).arg(action.duration.count());
    case ActionKind::SendFile:
        return QStringLiteral("send the file %1").arg(QString::fromStdString(action.path));
    case ActionKind::CloseSending:
        return QStringLiteral("close sending");
    case ActionKind::Reset:
        return QStringLiteral("reset");
    case ActionKind::PauseReading:
        return QStringLiteral("stop reading for %1 ms").arg(action.duration.count());
    }
    return QString();
}

QString actions(const std::vector<Action>& actions)
{
    if (actions.empty())
        return QStringLiteral("nothing");
    QStringList parts;
    for (const Action& one : actions)
        parts.append(action(one));
    return parts.join(QStringLiteral("; "));
}
}
