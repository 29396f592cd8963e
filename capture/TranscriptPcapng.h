#pragma once

#include "CaptureEndpoints.h"

#include <cstdint>
#include <string>

class Transcript;

// How one side of a connection ended, as far as is known.
struct SideEnding
{
    enum class Kind : std::uint8_t { Open, Fin, Reset };
    Kind kind = Kind::Open;
    std::int64_t timeUs = 0; // microseconds since the Unix epoch; unused while Open
};

struct ConversationEnds
{
    SideEnding client;
    SideEnding server;
};

// Writes the chunks the transcript has when called as a pcapng capture of
// the connection (see PcapngWriter), with its ends: a side's FIN goes after
// that side's last bytes and before the first later chunk of the other side,
// a reset after everything (a FIN dated after the reset is left out, as it
// never went out). The handshake is dated by the first chunk or end.
//
// Writes to path + ".part" and renames it to path once complete, so that a
// failure (a full disk) leaves path as it was. Returns an empty string, or
// what went wrong; nothing is thrown.
std::string writeTranscriptAsPcapng(const Transcript& transcript, const CaptureEndpoints& endpoints,
                                    const ConversationEnds& ends, const std::string& path);
