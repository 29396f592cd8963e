#include "RecordedEnds.h"

#include "Transcript.h"

namespace
{
void endOnce(SideEnding& side, SideEnding::Kind kind, std::int64_t timeUs)
{
    if (side.kind != SideEnding::Kind::Open)
        return;
    side.kind = kind;
    side.timeUs = timeUs;
}
}

ConversationEnds recordedEnds(const Transcript& transcript)
{
    ConversationEnds ends;
    const std::size_t count = transcript.eventCount();
    for (std::size_t index = 0; index < count; ++index) {
        const TranscriptEvent event = transcript.event(index);
        switch (event.kind) {
        case EventKind::ClientEnded:
            endOnce(ends.client, SideEnding::Kind::Fin, event.timeUs);
            break;
        case EventKind::ClientFailed:
            endOnce(ends.client, SideEnding::Kind::Reset, event.timeUs);
            break;
        case EventKind::SendingClosed:
        case EventKind::Released:
            endOnce(ends.server, SideEnding::Kind::Fin, event.timeUs);
            break;
        case EventKind::ResetByServer:
            endOnce(ends.server, SideEnding::Kind::Reset, event.timeUs);
            break;
        default:
            break;
        }
    }
    return ends;
}
