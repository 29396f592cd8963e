#pragma once

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include <string>
#include <utility>
#include <vector>

class Session;

// Stands between one connection and its window: reports received data on
// readDataSignal (the empty string once reading has ended) and frames the
// text that the user sends.
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
    virtual std::string send(std::string data);
    virtual void setAttributes(AttributeList attributes);
    virtual void readHandler(const std::string& data) = 0;

    std::string getEndpointString();

    // Flow control for a reader that has fallen behind; safe from any thread.
    void pauseReading();
    void resumeReading();

    // Subscribes readHandler to the Session. The slot tracks this object, so a
    // chunk being delivered on an IO thread keeps it alive until the call
    // returns, and none reaches it once it is being destroyed. Needs an owning
    // shared_ptr, so the factory calls it right after construction.
    void subscribeToSession();

    // By reference for the same reason as Session::readSignal.
    boost::signals2::signal<void(const std::string&)> readDataSignal;

private:
    boost::shared_ptr<Session> session;
};
