#include "ReplyComposer.h"

#include "Http.h"
#include "HttpStatus.h"
#include "ProtocolBase.h"

ReplyComposer::ReplyComposer(ProtocolBase& protocol)
    : protocol(protocol)
    , http(dynamic_cast<Http*>(&protocol))
{
}

ReplyComposer::Reply ReplyComposer::typed(const std::string& input, InputMode mode, LineEnding lineEnding,
                                          const std::string& status)
{
    EncodedReply encoded = ReplyEncoder::encode(input, mode, lineEnding);
    if (!encoded.ok())
        return Reply{std::string(), encoded.error};
    const std::string problem = applyStatus(status);
    if (!problem.empty())
        return Reply{std::string(), problem};
    return Reply{protocol.frame(std::move(encoded.bytes)), std::string()};
}

ReplyComposer::Reply ReplyComposer::saved(const SavedReply& reply)
{
    EncodedReply encoded = ReplyEncoder::encode(reply.body, reply.mode, reply.lineEnding);
    if (!encoded.ok())
        return Reply{std::string(), encoded.error};
    if (http)
        return Reply{http->frameResponse(reply.status, reply.headers, encoded.bytes), std::string()};
    return Reply{protocol.frame(std::move(encoded.bytes)), std::string()};
}

std::string ReplyComposer::applyStatus(const std::string& status)
{
    if (!http)
        return std::string();
    std::string problem = HttpStatus::problem(status);
    if (problem.empty())
        http->setStatus(status);
    return problem;
}
