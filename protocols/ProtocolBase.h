#pragma once

#include "Session.h"
#include "BoundEndpoint.h"

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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
    // Frames body like send and sends the result as writes of pieceSize
    // bytes with delay between them; returns the send's number, or 0 (and
    // sends nothing) for a pieceSize of 0.
    std::uint64_t sendInPieces(std::string body, std::size_t pieceSize, std::chrono::milliseconds delay);
    // The same for bytes that are already framed.
    std::uint64_t sendFramedInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay);
    // What a file send puts on the wire: the file's size when it was queued
    // (no more of it is sent) and the length of the header before it.
    struct FileSendInfo
    {
        std::uint64_t fileSize = 0;
        std::uint64_t headerSize = 0;
    };
    // Sends frameHeader(file size) and then the file, streamed; every block
    // written is reported on sentDataSignal. Returns the send's number, or 0
    // with error set to the reason (and nothing sent) when path is not a
    // readable regular file.
    std::uint64_t sendFile(const std::string& path, std::string& error, FileSendInfo* info = nullptr);
    // What goes on the wire before a body of bodyLength bytes sent from a
    // file: nothing, or for HTTP the response's header.
    virtual std::string frameHeader(std::uint64_t bodyLength);
    // Once what was sent before has gone out, ends the sending side: the
    // client reads the end of the stream and may still send.
    void closeSending();
    // Closes at once so that the client sees a reset; queued sends fail.
    void resetConnection();
    // False once the connection's socket was closed or given back, or its
    // sending side closed or reset: nothing sent would reach the client.
    bool canSend() const;
    virtual void setAttributes(AttributeList attributes);
    virtual void readHandler(const std::string& data) = 0;

    std::string getEndpointString();
    // The connection's strand.
    const Session::Executor& getExecutor() const;
    // The listener (address and port) that accepted the connection.
    BoundEndpoint getListenerEndpoint() const;
    // The client's address and port, and the address and port it reached.
    boost::asio::ip::tcp::endpoint getClientEndpoint() const;
    boost::asio::ip::tcp::endpoint getLocalEndpoint() const;
    // Whether the client reached a TLS listener, and what its handshake
    // negotiated (null until it succeeded); Session::Event::TlsEstablished
    // and TlsFailed tell when it ended.
    bool usesTls() const;
    std::shared_ptr<const ConnectionDetails> getTlsDetails() const;

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
    // Emitted on an IO thread for every block of a sendFile once it has been
    // written, the header included: the send's number and the block.
    boost::signals2::signal<void(std::uint64_t id, const std::string& bytes)> sentDataSignal;
    // Session::eventSignal, passed on: emitted on an IO thread.
    boost::signals2::signal<void(Session::Event event, const std::string& detail)> eventSignal;

protected:
    // Called after every response was queued (sendFramed, sendInPieces, sendFile).
    virtual void responseQueued();

private:
    void onSendResult(std::uint64_t id, const std::string& error);
    void onSentData(std::uint64_t id, const std::string& bytes);
    void onEvent(Session::Event event, const std::string& detail);

    boost::shared_ptr<Session> session;
};
