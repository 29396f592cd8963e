#include "ReplyLibrary.h"

#include "Latin1.h"
#include "Log.h"
#include "SettingsReader.h"

#include <QSettings>
#include <QStringList>

namespace
{
const char* const repliesGroup = "SavedReplies";
const char* const sendingGroup = "Sending";
const char* const autoReplyGroup = "AutoReply";

// One header line as stored: "Name: value".
QString storedHeader(const std::pair<std::string, std::string>& header)
{
    return Latin1::toQString(header.first + ": " + header.second);
}

bool parseHeader(const QString& stored, std::pair<std::string, std::string>& header)
{
    const qsizetype colon = stored.indexOf(':');
    if (colon <= 0)
        return false;
    header.first = Latin1::toBytes(stored.left(colon));
    QString value = stored.mid(colon + 1);
    if (value.startsWith(' '))
        value.remove(0, 1);
    header.second = Latin1::toBytes(value);
    return true;
}

bool readEnum(const QSettings& settings, const QString& key, int& value)
{
    bool converted = false;
    value = settings.value(key).toInt(&converted);
    return converted && value >= 0 && value <= 2;
}

// The entry at the settings' current array index, or why it cannot be one.
QString readReply(const QSettings& settings, SavedReply& reply)
{
    int mode = 0;
    int ending = 0;
    if (!readEnum(settings, "mode", mode) || !readEnum(settings, "lineEnding", ending))
        return "unknown input mode or line ending";
    reply.name = Latin1::toBytes(settings.value("name").toString());
    reply.body = Latin1::toBytes(settings.value("body").toString());
    reply.mode = static_cast<InputMode>(mode);
    reply.lineEnding = static_cast<LineEnding>(ending);
    reply.status = Latin1::toBytes(settings.value("status", "200 OK").toString());
    for (const QString& stored : settings.value("headers").toStringList()) {
        std::pair<std::string, std::string> header;
        if (!parseHeader(stored, header))
            return "header line without a name: " + stored;
        reply.headers.push_back(std::move(header));
    }
    return QString();
}
}

ReplyLibrary& ReplyLibrary::shared()
{
    static ReplyLibrary library;
    return library;
}

void ReplyLibrary::load()
{
    QSettings settings;
    {
        SettingsReader reader(settings, sendingGroup);
        mode = static_cast<InputMode>(reader.readInt("InputMode", 0, 0, 2));
        ending = static_cast<LineEnding>(reader.readInt("LineEnding", 0, 0, 2));
        moreShown = reader.readBool("MoreControls", false);
    }
    {
        SettingsReader reader(settings, autoReplyGroup);
        autoReplyChoice.enabled = reader.readBool("Enabled", false);
        autoReplyChoice.trigger = static_cast<AutoReplyTrigger>(reader.readInt("Trigger", 0, 0, 1));
        autoReplyChoice.replyName = Latin1::toBytes(settings.value("Reply").toString());
    }
    loadReplies();
    emit repliesChanged();
}

void ReplyLibrary::loadReplies()
{
    list.clear();
    QSettings settings;
    const int count = settings.beginReadArray(repliesGroup);
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        SavedReply reply;
        QString why = readReply(settings, reply);
        if (why.isEmpty())
            why = QString::fromStdString(list.put(std::move(reply)));
        if (!why.isEmpty())
            Log::line("Ignoring invalid saved reply ", std::to_string(i + 1), ": ", Latin1::toBytes(why));
    }
    settings.endArray();
}

void ReplyLibrary::writeReplies()
{
    QSettings settings;
    settings.remove(repliesGroup);
    settings.beginWriteArray(repliesGroup, static_cast<int>(list.all().size()));
    int index = 0;
    for (const SavedReply& reply : list.all()) {
        settings.setArrayIndex(index++);
        settings.setValue("name", Latin1::toQString(reply.name));
        settings.setValue("body", Latin1::toQString(reply.body));
        settings.setValue("mode", static_cast<int>(reply.mode));
        settings.setValue("lineEnding", static_cast<int>(reply.lineEnding));
        settings.setValue("status", Latin1::toQString(reply.status));
        QStringList headers;
        for (const auto& header : reply.headers)
            headers.append(storedHeader(header));
        settings.setValue("headers", headers);
    }
    settings.endArray();
}

QString ReplyLibrary::saveReply(const SavedReply& reply)
{
    const std::string why = list.put(reply);
    if (!why.empty())
        return QString::fromStdString(why);
    writeReplies();
    emit repliesChanged();
    return QString();
}

// Auto-reply with a reply that is gone turns off, for new windows too.
void ReplyLibrary::removeReply(const std::string& name)
{
    if (!list.remove(name))
        return;
    writeReplies();
    if (autoReplyChoice.replyName == name) {
        AutoReplyChoice off = autoReplyChoice;
        off.enabled = false;
        off.replyName.clear();
        setAutoReply(off);
    }
    emit repliesChanged();
}

void ReplyLibrary::setSendingDefaults(InputMode newMode, LineEnding newEnding)
{
    if (newMode == mode && newEnding == ending)
        return;
    mode = newMode;
    ending = newEnding;
    QSettings settings;
    settings.beginGroup(sendingGroup);
    settings.setValue("InputMode", static_cast<int>(mode));
    settings.setValue("LineEnding", static_cast<int>(ending));
    settings.endGroup();
}

void ReplyLibrary::setMoreControlsShown(bool shown)
{
    if (shown == moreShown)
        return;
    moreShown = shown;
    QSettings settings;
    settings.beginGroup(sendingGroup);
    settings.setValue("MoreControls", shown);
    settings.endGroup();
}

void ReplyLibrary::setAutoReply(const AutoReplyChoice& choice)
{
    if (choice.enabled == autoReplyChoice.enabled && choice.trigger == autoReplyChoice.trigger &&
        choice.replyName == autoReplyChoice.replyName)
        return;
    autoReplyChoice = choice;
    QSettings settings;
    settings.beginGroup(autoReplyGroup);
    settings.setValue("Enabled", choice.enabled);
    settings.setValue("Trigger", static_cast<int>(choice.trigger));
    settings.setValue("Reply", Latin1::toQString(choice.replyName));
    settings.endGroup();
}
