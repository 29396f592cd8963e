#pragma once

#include <QByteArray>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QSettings>
#include <QSize>
#include <QString>

#include <optional>

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
    // The text stored under key, or nothing when there is none; the caller
    // checks it and reports it with reportInvalid if it cannot be used.
    std::optional<QString> readText(const QString& key);
    // A window's size and position, placed on one of the screens (their
    // available geometries): a window that would lie on no screen gets the
    // default position, and one larger than its screen the screen's size.
    QRect readWindowPlacement(const QString& sizeKey, const QString& positionKey, const QRect& defaultPlacement,
                              const QList<QRect>& screens);

    void reportInvalid(const QString& key, const QString& text);

private:
    void reportInvalid(const QString& key, const QVariant& value);

    QSettings& settings;
};
