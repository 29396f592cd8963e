#pragma once

#include "TranscriptTypes.h"

#include <QString>
#include <QtGlobal>

// Where transcripts are kept and how much they may take, as the user sets it.
struct TranscriptOptions
{
    // Reading pauses while less than the larger of these is free on the
    // file system of the transcripts' folder; both 0 keep no reserve.
    quint64 reserveMiB = 2048;
    int reservePercent = 5;
    quint64 capMiB = 0; // what one connection keeps; 0 keeps everything
    AtCap atCap = AtCap::PauseReading;
    QString folder; // empty: $TMPDIR, or /tmp

    static constexpr quint64 maxMiB = 16 * 1024 * 1024; // 16 TiB
    static constexpr int maxPercent = 50;
};
