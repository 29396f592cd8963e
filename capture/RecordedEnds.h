#pragma once

#include "TranscriptPcapng.h"

class Transcript;

// How either side of a recorded connection ended, from its transcript's
// events: the client's FIN (ClientEnded), the client's reset (ClientFailed),
// this side's FIN (SendingClosed, or the socket given back: Released) and
// this side's reset (ResetByServer). The first of each side counts.
ConversationEnds recordedEnds(const Transcript& transcript);
