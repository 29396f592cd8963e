#pragma once

#include "Conversation.h"

#include <QString>

#include <array>

// What the program says of connections whose reading is paused: in the
// window, in the session list and in the status bar.
namespace PausedReadingText
{
// How many connections are paused for each reason, indexed by Conversation::Pause.
using Counts = std::array<int, 4>;

// detail: the file's error, or the reserve's ("less than 2 GiB free in /tmp");
// cap: what the transcript may keep.
QString window(Conversation::Pause pause, const QString& detail, quint64 cap);
QString row(Conversation::Pause pause);
// Empty when no connection is paused.
QString status(const Counts& counts);
}
