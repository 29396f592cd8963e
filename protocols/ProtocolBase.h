#pragma once

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class Session;

// Stands between one connection and its window: reports received data on
// readDataSignal (the empty string once reading has ended), frames the text
// that the user sends and reports how each send ended on sendResultSignal.
class ProtocolBase : public boost::enable_shared_from_this<ProtocolBase>
{
public:
    // Ordered (name, value) pairs of byte strings; for HTTP, the header lines.
    using AttributeList = std::vector<std::pair<std::string, std::string>>;

    explicit ProtocolBase(boost::shared_ptr<Session> session);
    virtual ~ProtocolBase();

    ProtocolBase(const ProtocolBase&) = delete;
    ProtocolBase& operator=(const ProtocolBase&) = delete;

    virtual void close();
    virtual bool hasAttributes() = 0;
    virtual void start();
    // What goes on the wire for a text the user sends: the text itself, or
    // for HTTP the whole response.
    virtual std::string frame(std::string body);
    // Hands bytes that are already framed to the connection; returns the
    // send's number, which sendResultSignal reports with its outcome.
    std::uint64_t sendFramed(std::string bytes);
    // Frames data and sends it; returns the bytes sent.
    virtual std::string send(std::string data);
    // False once the connection's socket was closed or given back: nothing
    // sent would reach the client.
    bool canSend() const;
    virtual void setAttributes(AttributeList attributes);
    virtual void readHandler(const std::string& data) = 0;

    std::string getEndpointString();

    // Flow control for a reader that has fallen behind; safe from any thread.
    void pauseReading();
    void resumeReading();

    // Subscribes readHandler and the send results to the Session. The slots
    // track this object, so a chunk or a result being delivered on an IO
    // thread keeps it alive until the call returns, and none reaches it once
    // it is being destroyed. Needs an owning shared_ptr, so the factory calls
    // it right after construction.
    void subscribeToSession();

    // By reference for the same reason as Session::readSignal.
    boost::signals2::signal<void(const std::string&)> readDataSignal;
    // Emitted on an IO thread once a send has ended: its number and the
    // empty string when it was written whole, otherwise the error.
    boost::signals2::signal<void(std::uint64_t id, const std::string& error)> sendResultSignal;

private:
    void onSendResult(std::uint64_t id, const std::string& error);

    boost::shared_ptr<Session> session;
};
