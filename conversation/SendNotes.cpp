#include "SendNotes.h"

#include "NumberText.h"

namespace
{
std::string piecesNote(const SendLedger::Entry& entry)
{
    const std::uint64_t pieces = (entry.size + entry.pieceSize - 1) / entry.pieceSize;
    return "[Sent in " + std::to_string(pieces) + " pieces of up to " + std::to_string(entry.pieceSize) +
           " bytes, " + std::to_string(entry.delay.count()) + " ms apart]";
}

// A file that shrank while it went out ends early: what did go out is said.
std::string fileNote(const SendLedger::Entry& entry)
{
    const std::uint64_t sent = entry.written > entry.headerSize ? entry.written - entry.headerSize : 0;
    if (entry.state == SendLedger::State::Failed)
        return "[The file " + entry.fileName + " was not sent whole: " + entry.reason + "]";
    if (sent < entry.fileSize)
        return "[The file " + entry.fileName + " ended early: " + groupedNumber(sent) + " of " +
               groupedNumber(entry.fileSize) + " bytes were sent]";
    return "[Sent the file " + entry.fileName + ": " + groupedNumber(sent) + " bytes]";
}

// A reply of which nothing went out is shown as it was meant, with the note;
// the transcript's sent bytes stay what really went out.
SendNotes::Note failureNote(const SendLedger::Entry& entry)
{
    if (entry.written == 0)
        return {EventKind::ReplyNotSent, "[The reply above was not sent: " + entry.reason + "]", entry.preview};
    return {EventKind::Note,
            "[The reply above was cut short: " + groupedNumber(entry.written) + " of " + groupedNumber(entry.size) +
                " bytes went out: " + entry.reason + "]",
            std::string()};
}
}

namespace SendNotes
{
Note about(const SendLedger::Entry& entry)
{
    if (entry.kind == SendLedger::Kind::File)
        return {EventKind::Note, fileNote(entry), std::string()};
    if (entry.state == SendLedger::State::Failed)
        return failureNote(entry);
    if (entry.kind == SendLedger::Kind::Pieces)
        return {EventKind::Note, piecesNote(entry), std::string()};
    return Note{};
}
}
