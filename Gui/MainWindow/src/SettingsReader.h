#pragma once

#include <QByteArray>
#include <QPoint>
#include <QSettings>
#include <QSize>
#include <QString>

// Reads the values of one settings group. A value this program could not have
// written (out of range, or not convertible) is replaced by the default and
// reported with one log line, so a damaged store cannot, for example, make
// the program listen on a port other than the one it shows.
class SettingsReader
{
public:
    SettingsReader(QSettings& settings, const QString& group);
    ~SettingsReader();

    SettingsReader(const SettingsReader&) = delete;
    SettingsReader& operator=(const SettingsReader&) = delete;

    int readInt(const QString& key, int defaultValue, int minimum, int maximum);
    bool readBool(const QString& key, bool defaultValue);
    QSize readSize(const QString& key, const QSize& defaultValue);
    QPoint readPoint(const QString& key, const QPoint& defaultValue);
    QByteArray readBytes(const QString& key);

private:
    void reportInvalid(const QString& key, const QVariant& value);

    QSettings& settings;
};
