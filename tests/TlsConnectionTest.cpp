// Connections to a TLS listener: the handshake told first, the plaintext in
// the transcript, the server's faults over TLS, and clients that cannot
// shake hands, with Python's ssl module and raw sockets on 127.0.0.1.
#include "Conversation.h"
#include "ConnectionDetails.h"
#include "CoreHarness.h"
#include "GeneratedCertificate.h"
#include "ListenerContext.h"
#include "ProcessRunner.h"
#include "TranscriptTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace TestSupport;
using TranscriptTestSupport::record;

namespace
{
class TlsConnections : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        folder = std::make_unique<TranscriptTestSupport::ScratchDirectory>();
        const auto generated = GeneratedCertificate::ensure(folder->path);
        ASSERT_TRUE(generated.credentials) << generated.error;
        credentials = std::make_unique<ServerCredentials>(*generated.credentials);
        std::string error;
        ASSERT_TRUE(credentials->exportTrustPem(folder->file("trust.pem"), error)) << error;
    }

    static void TearDownTestSuite()
    {
        credentials.reset();
        folder.reset();
    }

    unsigned short listen(const ListenerOptions& options = {})
    {
        std::string error;
        auto context = ListenerContext::create(*credentials, options, error);
        EXPECT_TRUE(context) << error;
        return harness.listenWithTls(context);
    }

    // The next connection's conversation, started.
    std::shared_ptr<Conversation> nextConversation()
    {
        EXPECT_TRUE(harness.waitForConnections(++taken));
        auto conversation = Conversation::create(harness.takeProtocol(taken - 1));
        conversation->start();
        return conversation;
    }

    // Runs the Python client (tests/tls_client.py) with steps on a thread of its own.
    JoiningThread client(unsigned short port, const std::string& steps, ProcessResult& result)
    {
        const std::string command = std::string("python3 ") + TLS_CLIENT_SCRIPT + " " + std::to_string(port) + " "
            + folder->file("trust.pem") + " " + steps;
        return JoiningThread([command, &result] { result = runCommand(command); });
    }

    static bool receivedAll(const Conversation& conversation, const std::string& bytes)
    {
        return conversation.transcript().totals().bytes[static_cast<int>(Direction::Received)] >= bytes.size();
    }

    static inline std::unique_ptr<TranscriptTestSupport::ScratchDirectory> folder;
    static inline std::unique_ptr<ServerCredentials> credentials;
    CoreHarness harness{[] {
        CoreHarness::Options options;
        options.autoStart = false;
        return options;
    }()};
    std::size_t taken = 0;
};

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}
}

TEST_F(TlsConnections, TheHandshakeComesFirstThenThePlaintextAndTheEndsOverTls)
{
    const unsigned short port = listen();
    ProcessResult result;
    {
        JoiningThread python = client(port, "send:ping expect:pong eof send:after close", result);
        const auto conversation = nextConversation();
        ASSERT_TRUE(waitUntil([&] { return receivedAll(*conversation, "ping\n"); }, 20s));
        EXPECT_TRUE(conversation->usesTls());
        const auto details = conversation->tlsDetails();
        ASSERT_TRUE(details);
        EXPECT_EQ(details->serverName, "localhost");
        EXPECT_EQ(details->version, "TLSv1.3");
        EXPECT_TRUE(conversation->state().tlsEstablished);

        conversation->send("pong\n");
        conversation->closeSending();
        ASSERT_TRUE(waitUntil([&] { return conversation->state().readEnded; }, 20s));
        python.join();
        EXPECT_EQ(result.output, "ok\n");

        const std::vector<std::string> entries = record(conversation->transcript());
        ASSERT_EQ(entries.size(), 6u) << ::testing::PrintToString(entries);
        EXPECT_TRUE(startsWith(entries[0], "E:[TLS: TLSv1.3, TLS_")) << entries[0];
        EXPECT_NE(entries[0].find(", SNI localhost; handshake "), std::string::npos) << entries[0];
        EXPECT_EQ(entries[1], "R:ping\n");
        EXPECT_EQ(entries[2], "S:pong\n");
        EXPECT_TRUE(startsWith(entries[3], "E:[This side closed its sending")) << entries[3];
        EXPECT_EQ(entries[4], "R:after\n");
        EXPECT_EQ(entries[5], "E:[The client ended without close_notify]");
        EXPECT_TRUE(conversation->state().clientEnded);
        EXPECT_EQ(conversation->state().readEndReason, "");
        EXPECT_TRUE(harness.log.waitForLineStartingWith("TLS handshake with 127.0.0.1:"));
    }

    // Reset: the client sees the TCP connection reset.
    JoiningThread python = client(port, "send:reset reset", result);
    const auto resetting = nextConversation();
    ASSERT_TRUE(waitUntil([&] { return receivedAll(*resetting, "reset\n"); }, 20s));
    resetting->reset();
    python.join();
    EXPECT_EQ(result.output, "ok\n");
}

TEST_F(TlsConnections, AClientThatCannotShakeHandsIsToldWithTheReasonAndOthersGoOn)
{
    ListenerOptions options;
    options.handshakeTimeout = std::chrono::milliseconds(400);
    const unsigned short port = listen(options);

    TestClient plain(port);
    ASSERT_TRUE(plain.write("hello server\r\n"));
    TestClient silent(port);
    const auto refused = nextConversation();
    const auto waiting = nextConversation();
    ASSERT_TRUE(waitUntil([&] { return refused->state().readEnded && waiting->state().readEnded; }, 20s));
    for (const auto& [conversation, reason] :
         {std::pair{refused, "wrong version number"}, std::pair{waiting, "timeout: no finished handshake within 400 ms"}}) {
        EXPECT_EQ(conversation->state().tlsFailure, reason);
        EXPECT_FALSE(conversation->state().canSend);
        EXPECT_FALSE(conversation->tlsDetails());
        EXPECT_EQ(record(conversation->transcript()),
                  std::vector<std::string>{std::string("E:[TLS handshake failed: ") + reason + "]"});
        const std::uint64_t late = conversation->send("late");
        EXPECT_TRUE(waitUntil([&] { return conversation->sendEntry(late).state == SendLedger::State::Failed; }));
        EXPECT_EQ(conversation->sendEntry(late).reason, "the TLS handshake failed");
    }
    EXPECT_TRUE(plain.waitForClose());
    EXPECT_TRUE(silent.waitForClose());
    EXPECT_TRUE(harness.log.waitForLine("TLS handshake with 127.0.0.1:" + std::to_string(plain.localPort())
                                        + " failed: wrong version number"));

    ProcessResult result;
    JoiningThread python = client(port, "send:ping expect:ping close", result);
    const auto served = nextConversation();
    ASSERT_TRUE(waitUntil([&] { return receivedAll(*served, "ping\n"); }, 20s));
    served->send("ping\n");
    python.join();
    EXPECT_EQ(result.output, "ok\n");
}
