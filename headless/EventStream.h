#pragma once

#include "FileSink.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <string>

// JSON objects, one a line, written out as each is given, so that a script
// reading the stream can wait for a line. Text that is not UTF-8 (bytes a
// client sent, quoted in a note) is written with replacement characters, and
// every control character escaped: nothing raw reaches a terminal.
//
// A line the system does not take waits (see FileSink) and goes out before
// the next one.
class EventStream
{
public:
    using Json = nlohmann::ordered_json;

    // "-" is standard output. Returns null with error set when the file cannot be made.
    static std::unique_ptr<EventStream> open(const std::string& path, std::string& error);

    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    // False when the line, or an earlier one, waits.
    bool write(const Json& event);
    bool retry() { return file->retry(); }
    bool waiting() const { return file->waiting(); }
    const std::string& error() const { return file->error(); }

    // "2024-05-01T12:00:00.123456Z" for microseconds since the Unix epoch.
    static std::string timeText(std::int64_t timeUs);

private:
    explicit EventStream(std::unique_ptr<FileSink> file);

    const std::unique_ptr<FileSink> file;
    std::string line;
};
