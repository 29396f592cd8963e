#pragma once

#include <string>

class Transcript;

// Saving a transcript while it may still grow: what is saved is the chunks
// there were when the save began. Both stream through the transcript a
// megabyte at a time, and write to path + ".part", renamed to path at the
// end; on failure they return false, remove the partial file, leave path as
// it was and set error to the system's words for it ("No space left on
// device").

// The received bytes only, exactly as they arrived.
bool saveReceivedBytes(const Transcript& transcript, const std::string& path, std::string& error);

// The whole conversation as text. Each chunk is a header line
//   --- received 12 bytes at 2026-12-07 16:46:30.123456 (+0.012 s)
// (local time; the gap to the previous chunk is missing on the first one)
// followed by its bytes escaped by appendEscapedLines and ended with a line
// break; what happened besides (a note, a reset) follows as "--- " and its
// text. Written as UTF-8, each byte as the character it shows on screen.
bool saveAsText(const Transcript& transcript, const std::string& path, std::string& error);
