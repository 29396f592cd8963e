#include "SettingsReader.h"

#include "Latin1.h"
#include "Log.h"

SettingsReader::SettingsReader(QSettings& settings, const QString& group)
    : settings(settings)
{
    settings.beginGroup(group);
}

SettingsReader::~SettingsReader()
{
    settings.endGroup();
}

int SettingsReader::readInt(const QString& key, int defaultValue, int minimum, int maximum)
{
    if (!settings.contains(key))
        return defaultValue;
    const QVariant value = settings.value(key);
    bool converted = false;
    const int number = value.toInt(&converted);
    if (!converted || number < minimum || number > maximum) {
        reportInvalid(key, value);
        return defaultValue;
    }
    return number;
}

bool SettingsReader::readBool(const QString& key, bool defaultValue)
{
    if (!settings.contains(key))
        return defaultValue;
    const QVariant value = settings.value(key);
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    // QVariant calls every text other than "", "0" and "false" true; only
    // what this program writes counts.
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    reportInvalid(key, value);
    return defaultValue;
}

QSize SettingsReader::readSize(const QString& key, const QSize& defaultValue)
{
    if (!settings.contains(key))
        return defaultValue;
    const QVariant value = settings.value(key);
    const QSize size = value.toSize();
    if (value.typeId() != QMetaType::QSize || !size.isValid() || size.isEmpty()) {
        reportInvalid(key, value);
        return defaultValue;
    }
    return size;
}

QPoint SettingsReader::readPoint(const QString& key, const QPoint& defaultValue)
{
    if (!settings.contains(key))
        return defaultValue;
    const QVariant value = settings.value(key);
    if (value.typeId() != QMetaType::QPoint) {
        reportInvalid(key, value);
        return defaultValue;
    }
    return value.toPoint();
}

// Layout states are checked by the widgets that restore them: an unusable
// one leaves the layout as it is.
QByteArray SettingsReader::readBytes(const QString& key)
{
    return settings.value(key, QByteArray()).toByteArray();
}

void SettingsReader::reportInvalid(const QString& key, const QVariant& value)
{
    Log::line("Ignoring invalid setting ", Latin1::toBytes(key), ": ", Latin1::toBytes(value.toString()));
}
