#include "EventStream.h"

#include <cstdio>
#include <ctime>

std::unique_ptr<EventStream> EventStream::open(const std::string& path, std::string& error)
{
    std::unique_ptr<FileSink> file = FileSink::create(path, error);
    return file ? std::unique_ptr<EventStream>(new EventStream(std::move(file))) : nullptr;
}

EventStream::EventStream(std::unique_ptr<FileSink> file)
    : file(std::move(file))
{
}

bool EventStream::write(const Json& event)
{
    line = event.dump(-1, ' ', true, Json::error_handler_t::replace);
    line += '\n';
    return file->write(line.data(), line.size());
}

std::string EventStream::timeText(std::int64_t timeUs)
{
    const std::time_t seconds = static_cast<std::time_t>(timeUs / 1000000);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[48];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + length, sizeof text - length, ".%06lldZ", static_cast<long long>(timeUs % 1000000));
    return text;
}
