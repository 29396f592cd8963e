// HTTP framing of outgoing text, byte for byte as the client receives it.

#include "CoreHarness.h"
#include "Http.h"

#include <gtest/gtest.h>

#include <memory>

using namespace TestSupport;

namespace
{
using Attributes = ProtocolBase::AttributeList;

class HttpFraming : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CoreHarness::Options options;
        options.type = ProtocolFactory::HTTP;
        harness = std::make_unique<CoreHarness>(options);
        ASSERT_TRUE(client.connect(harness->listen()));
        ASSERT_TRUE(harness->waitForConnections(1));
        protocol = harness->protocol(0);
        ASSERT_NE(dynamic_cast<Http*>(protocol.get()), nullptr);
    }

    void TearDown() override
    {
        protocol.reset();
        client.close();
        harness.reset();
    }

    // Sends body, checks the returned response and that exactly it reaches the client.
    void expectResponse(const std::string& body, const std::string& expected)
    {
        EXPECT_EQ(protocol->frame(body), expected);
        EXPECT_EQ(protocol->send(body), expected);
        EXPECT_EQ(client.read(expected.size()), expected);
    }

    // Closes the connection and checks that nothing followed the last response.
    void expectNothingMore()
    {
        protocol->close();
        std::string rest;
        EXPECT_TRUE(client.readUntilClosed(rest));
        EXPECT_EQ(rest, "");
    }

    std::unique_ptr<CoreHarness> harness;
    TestClient client;
    boost::shared_ptr<ProtocolBase> protocol;
};
}

TEST_F(HttpFraming, TheEditorDefaultGivesThe66ByteResponse)
{
    protocol->setAttributes({{"Content-Type", "text/html"}});
    const std::string expected = "HTTP/1.0 200 OK\r\n"
                                 "Content-Type: text/html\r\n"
                                 "Content-Length: 3\r\n"
                                 "\r\n"
                                 "abc";
    ASSERT_EQ(expected.size(), 66u);
    expectResponse("abc", expected);
    expectNothingMore();
}

TEST_F(HttpFraming, NoAttributesGiveStatusLengthAndBlankLine)
{
    // A new connection has no attributes at all.
    expectResponse("hello", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    protocol->setAttributes({});
    expectResponse("hello", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    expectNothingMore();
}

TEST_F(HttpFraming, EmptyBodyGivesLengthZeroAndNothingAfterTheHeader)
{
    protocol->setAttributes({{"Content-Type", "text/html"}});
    expectResponse("", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 0\r\n\r\n");
    expectNothingMore();
}

TEST_F(HttpFraming, DuplicateNamesGiveOneLineEachInListOrder)
{
    protocol->setAttributes({{"Set-Cookie", "b=2"}, {"X", "1"}, {"Set-Cookie", "a=1"}});
    expectResponse("x", "HTTP/1.0 200 OK\r\nSet-Cookie: b=2\r\nX: 1\r\nSet-Cookie: a=1\r\nContent-Length: 1\r\n\r\nx");
}

TEST_F(HttpFraming, EmptyNamesAndValuesAreWrittenAsTheyAre)
{
    protocol->setAttributes({{"", "orphan"}, {"Empty", ""}, {"", ""}, {" Spaced ", " v "}});
    expectResponse("b",
                   "HTTP/1.0 200 OK\r\n: orphan\r\nEmpty: \r\n: \r\n Spaced :  v \r\nContent-Length: 1\r\n\r\nb");
}

TEST_F(HttpFraming, AContentLengthAttributeIsKeptBeforeTheComputedOne)
{
    protocol->setAttributes({{"Content-Length", "999"}});
    expectResponse("12", "HTTP/1.0 200 OK\r\nContent-Length: 999\r\nContent-Length: 2\r\n\r\n12");
}

TEST_F(HttpFraming, LengthCountsEveryBodyByteAndNothingIsAppended)
{
    const std::string body("a\r\n\0b\r\n", 7);
    expectResponse(body, "HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\n" + body);
    const std::string large(12345, 'z');
    expectResponse(large, "HTTP/1.0 200 OK\r\nContent-Length: 12345\r\n\r\n" + large);
    expectNothingMore();
}

TEST_F(HttpFraming, NewAttributesApplyFromTheNextSendOnly)
{
    Attributes first = {{"A", "1"}};
    protocol->setAttributes(first);
    // The protocol keeps its own copy.
    first.push_back({"B", "2"});
    first[0].second = "changed";
    expectResponse("one", "HTTP/1.0 200 OK\r\nA: 1\r\nContent-Length: 3\r\n\r\none");
    protocol->setAttributes({{"C", "3"}});
    expectResponse("two", "HTTP/1.0 200 OK\r\nC: 3\r\nContent-Length: 3\r\n\r\ntwo");
    // Every further send is one more complete response on the same connection.
    expectResponse("two", "HTTP/1.0 200 OK\r\nC: 3\r\nContent-Length: 3\r\n\r\ntwo");
    expectNothingMore();
}

TEST_F(HttpFraming, RequestsAreReportedUnparsed)
{
    const std::string request = "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_TRUE(client.write(request));
    auto recorder = harness->recorder(0);
    ASSERT_TRUE(recorder->waitForBytes(request.size()));
    EXPECT_EQ(recorder->data(), request);
}

TEST_F(HttpFraming, PiecesAndFilesAreWholeResponsesThatCanEndTheStream)
{
    protocol->setAttributes({{"Content-Type", "application/octet-stream"}});
    const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 3\r\n\r\n";
    EXPECT_EQ(protocol->frameHeader(3), header);
    SentDataRecorder sentData(*protocol);
    protocol->sendInPieces("abc", 2, 1ms);
    EXPECT_EQ(client.read(header.size() + 3), header + "abc");

    auto& http = dynamic_cast<Http&>(*protocol);
    EXPECT_FALSE(http.getCloseAfterResponse());
    http.setCloseAfterResponse(true);
    const std::string contents = patternBytes(2 * 1024 * 1024 + 3, 31);
    TemporaryFile file(contents);
    std::string error;
    EXPECT_NE(protocol->sendFile(file.path(), error), 0u);
    const std::string expected =
        "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 2097155\r\n\r\n" + contents;
    std::string received;
    EXPECT_TRUE(client.readUntilClosed(received, 30s));
    EXPECT_TRUE(received == expected);
    // Every write is reported: the pieces, the file's header and its blocks.
    EXPECT_TRUE(waitUntil([&] { return sentData.bytes().size() == header.size() + 3 + expected.size(); }));
    EXPECT_TRUE(sentData.bytes() == header + "abc" + expected);
    EXPECT_FALSE(protocol->canSend());
}
