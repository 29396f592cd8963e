#include "SettingsReader.h"

#include "Latin1.h"
#include "Log.h"

#include <algorithm>

namespace
{
// How much of a window at position with size a screen shows, in 64 bits: a
// damaged store can hold coordinates near the ends of int.
qint64 shownArea(const QRect& screen, const QPoint& position, const QSize& size)
{
    const qint64 left = std::max<qint64>(screen.x(), position.x());
    const qint64 right = std::min<qint64>(qint64(screen.x()) + screen.width(), qint64(position.x()) + size.width());
    const qint64 top = std::max<qint64>(screen.y(), position.y());
    const qint64 bottom =
        std::min<qint64>(qint64(screen.y()) + screen.height(), qint64(position.y()) + size.height());
    return right > left && bottom > top ? (right - left) * (bottom - top) : 0;
}

// The screen that shows most of the window, or none if no screen shows any of it.
const QRect* screenShowing(const QPoint& position, const QSize& size, const QList<QRect>& screens)
{
    const QRect* best = nullptr;
    qint64 bestArea = 0;
    for (const QRect& screen : screens) {
        const qint64 area = shownArea(screen, position, size);
        if (area > bestArea) {
            best = &screen;
            bestArea = area;
        }
    }
    return best;
}
}

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

std::optional<QString> SettingsReader::readText(const QString& key)
{
    if (!settings.contains(key))
        return std::nullopt;
    return settings.value(key).toString();
}

QRect SettingsReader::readWindowPlacement(const QString& sizeKey, const QString& positionKey,
                                          const QRect& defaultPlacement, const QList<QRect>& screens)
{
    QSize size = readSize(sizeKey, defaultPlacement.size());
    QPoint position = readPoint(positionKey, defaultPlacement.topLeft());
    const QRect* screen = screenShowing(position, size, screens);
    if (!screen && position != defaultPlacement.topLeft()) {
        reportInvalid(positionKey, QString("%1,%2").arg(position.x()).arg(position.y()));
        position = defaultPlacement.topLeft();
        screen = screenShowing(position, size, screens);
    }
    if (!screen && !screens.isEmpty())
        screen = &screens.first();
    if (screen && (size.width() > screen->width() || size.height() > screen->height())) {
        reportInvalid(sizeKey, QString("%1x%2").arg(size.width()).arg(size.height()));
        size = size.boundedTo(screen->size());
    }
    return QRect(position, size);
}

void SettingsReader::reportInvalid(const QString& key, const QVariant& value)
{
    reportInvalid(key, value.toString());
}

void SettingsReader::reportInvalid(const QString& key, const QString& text)
{
    Log::line("Ignoring invalid setting ", Latin1::toBytes(key), ": ", Latin1::toBytes(text));
}
