#pragma once

#include "TranscriptOptions.h"

#include <QSettings>

struct TranscriptLimits;

// Where transcripts are kept and how much they may take, in a settings group
// of their own ("Transcripts"): reserveMiB and reservePercent (the free space
// kept on their disk), capMiB (what one connection keeps, 0 for no cap),
// atCap ("pause" or "keepNewest") and folder (empty for the temporary one).
namespace TranscriptSettings
{
// A value that cannot be used is reported, and its default applies.
TranscriptOptions restore(QSettings& settings);
void save(QSettings& settings, const TranscriptOptions& options);
// The limits of the transcripts of new connections.
TranscriptLimits limits(const TranscriptOptions& options);
}
