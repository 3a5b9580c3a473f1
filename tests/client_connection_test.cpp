#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ClientHarness.h"

using namespace tidewire_test;

namespace {

using ClientConnection = ClientHarness;

std::string t(const std::string& text) {
    return std::string(ClientHarness::tag) + text;
}

// A listener whose accept queue is full, so that a further connect stays pending: the
// system drops its SYNs until a slot frees, which never happens here.
class FullListener {
public:
    FullListener() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener, 0) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("FullListener: cannot listen");
        }
        port = ntohs(address.sin_port);
        filler = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(filler, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            throw std::runtime_error("FullListener: filler connect failed");
        }
    }
    ~FullListener() {
        ::close(filler);
        ::close(listener);
    }
    uint16_t port = 0;

private:
    int listener = -1;
    int filler = -1;
};

}  // namespace

TEST_F(ClientConnection, UnresolvableHostIsOneConnectErrorAndTheClientWindsDown) {
    client = std::make_unique<Client>("ws://nonexistent.invalid/", std::vector<std::string>{},
                                      events.handlers());
    ASSERT_TRUE(events.waitForCount(1));
    finish();
    const std::vector<std::string> errors = log.texts(LogLevel::error);
    ASSERT_EQ(errors.size(), 1u);
    const std::string prefix = t("Connect error: ");
    ASSERT_EQ(errors[0].compare(0, prefix.size(), prefix), 0);
    EXPECT_GT(errors[0].size(), prefix.size());
    EXPECT_EQ(events.events(),
              std::vector<std::string>{"error:" + errors[0].substr(prefix.size())});
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(ClientConnection, RefusedPortIsOneConnectErrorWithTheSystemText) {
    const std::string url = peer.url();
    peer.closeListener();
    client = std::make_unique<Client>(url, std::vector<std::string>{}, events.handlers());
    ASSERT_TRUE(events.waitForCount(1));
    finish();
    EXPECT_EQ(log.lines(),
              (std::vector<LogLine>{{LogLevel::error, t("Connect error: Connection refused")}}));
    EXPECT_EQ(events.events(), std::vector<std::string>{"error:Connection refused"});
}

TEST_F(ClientConnection, DestroyingWhileConnectingCallsNoHandlerAndLogsNothing) {
    FullListener listener;
    client = std::make_unique<Client>("ws://127.0.0.1:" + std::to_string(listener.port) + "/",
                                      std::vector<std::string>{}, events.handlers());
    finish();
    EXPECT_TRUE(events.events().empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ClientConnection, DestroyingDuringTheOpeningHandshakeCallsNoHandler) {
    client = std::make_unique<Client>(peer.url(), std::vector<std::string>{}, events.handlers());
    ASSERT_TRUE(peer.accept());
    ASSERT_FALSE(peer.readRequest().empty());
    finish();
    EXPECT_TRUE(events.events().empty());
    EXPECT_TRUE(log.texts(LogLevel::error).empty());
}

TEST_F(ClientConnection, StopThenDestroyJoinsOnceAndLaterCallsAreHarmless) {
    open();
    client->stop();
    client->stop();
    client->send(bytes("after stop"), true, 0);
    client->close({});
    finish();
    EXPECT_EQ(events.events(), std::vector<std::string>{"open"});
}

TEST_F(ClientConnection, EmptyHostConnectsToTheLocalMachineWithAnEmptyHostLine) {
    client = std::make_unique<Client>("ws://:" + std::to_string(peer.port()) + "/x?y=1",
                                      std::vector<std::string>{}, events.handlers());
    ASSERT_TRUE(peer.accept());
    const std::string request = peer.readRequest();
    EXPECT_EQ(request.substr(0, request.find("Upgrade:")), "GET /x?y=1 HTTP/1.1\r\nHost: \r\n");
}

TEST_F(ClientConnection, UnparsableUrlThrowsFromTheConstructorAndStartsNothing) {
    try {
        Client bad("ws://h/#a\nb", {});
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "Invalid URL format: ws://h/#a\nb");
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ClientConnection, HandlersAssignedAfterConstructionSeeTheOpen) {
    client = std::make_unique<Client>(peer.url(), std::vector<std::string>{});
    std::promise<void> opened;
    client->onOpenHandler = [&opened] { opened.set_value(); };
    client->onMessageHandler = [this](const std::vector<uint8_t>& message, bool) {
        client->send(message, false, 0);
    };
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(peer.send(switchingProtocols(peer.readRequest()) + frameBytes(true, 0x2, "m")));
    EXPECT_EQ(opened.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    PeerFrame frame;
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame.payload, bytes("m"));
}

TEST_F(ClientConnection, ClientWithoutHandlersRunsItsWholeLife) {
    client = std::make_unique<Client>(peer.url(), std::vector<std::string>{});
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(peer.send(switchingProtocols(peer.readRequest()) + frameBytes(true, 0x1, "m") +
                          frameBytes(true, 0x8, "")));
    PeerFrame echo;
    ASSERT_TRUE(peer.readFrame(echo));
    EXPECT_EQ(echo.opcode, 0x8);
    EXPECT_TRUE(peer.waitForEndOfStream());
}
