#include "TranscriptSettings.h"

#include "DiskReserve.h"
#include "SettingsReader.h"
#include "TranscriptTypes.h"

#include <QFileInfo>

#include <memory>

namespace
{
const char* const group = "Transcripts";
const char* const reserveMiBKey = "reserveMiB";
const char* const reservePercentKey = "reservePercent";
const char* const capMiBKey = "capMiB";
const char* const atCapKey = "atCap";
const char* const folderKey = "folder";
const char* const pauseWord = "pause";
const char* const keepNewestWord = "keepNewest";
constexpr quint64 mebibyte = 1024 * 1024;

int maxMiB()
{
    return static_cast<int>(TranscriptOptions::maxMiB);
}
}

namespace TranscriptSettings
{
TranscriptOptions restore(QSettings& settings)
{
    SettingsReader reader(settings, group);
    TranscriptOptions options;
    options.reserveMiB = static_cast<quint64>(reader.readInt(reserveMiBKey, static_cast<int>(options.reserveMiB), 0, maxMiB()));
    options.reservePercent = reader.readInt(reservePercentKey, options.reservePercent, 0, TranscriptOptions::maxPercent);
    options.capMiB = static_cast<quint64>(reader.readInt(capMiBKey, 0, 0, maxMiB()));
    if (const std::optional<QString> text = reader.readText(atCapKey)) {
        if (*text == QLatin1String(keepNewestWord))
            options.atCap = AtCap::KeepNewest;
        else if (*text != QLatin1String(pauseWord))
            reader.reportInvalid(atCapKey, *text);
    }
    if (const std::optional<QString> text = reader.readText(folderKey)) {
        if (text->isEmpty() || QFileInfo(*text).isDir())
            options.folder = *text;
        else
            reader.reportInvalid(folderKey, *text);
    }
    return options;
}

void save(QSettings& settings, const TranscriptOptions& options)
{
    settings.beginGroup(group);
    settings.setValue(reserveMiBKey, static_cast<int>(options.reserveMiB));
    settings.setValue(reservePercentKey, options.reservePercent);
    settings.setValue(capMiBKey, static_cast<int>(options.capMiB));
    settings.setValue(atCapKey, options.atCap == AtCap::KeepNewest ? keepNewestWord : pauseWord);
    settings.setValue(folderKey, options.folder);
    settings.endGroup();
}

TranscriptLimits limits(const TranscriptOptions& options)
{
    TranscriptLimits limits;
    limits.spillDirectory = options.folder.toStdString();
    limits.keepAtMost = options.capMiB * mebibyte;
    limits.atCap = options.atCap;
    if (options.reserveMiB > 0 || options.reservePercent > 0) {
        ReservePolicy policy;
        policy.minimumFree = options.reserveMiB * mebibyte;
        policy.fractionFree = options.reservePercent / 100.0;
        limits.reserve = std::make_shared<DiskReserve>(limits.spillDirectory, policy);
    }
    return limits;
}
}
