#include "port/UnixSocket.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "port/System.h"

namespace nork::port {
namespace {

using namespace std::chrono_literals;

// A connected pair through a listening socket of this process.
struct SocketPair {
    SocketPair() {
        path = (std::filesystem::temp_directory_path() /
                ("qzs-" + std::to_string(currentProcessId()) + ".sock"))
                   .string();
        EXPECT_FALSE(UnixSocketServer::listen(path, server));
        EXPECT_FALSE(UnixSocket::connect(path, client, 2s));
        EXPECT_FALSE(server.accept(peer, 2s));
    }
    std::string path;
    UnixSocketServer server;
    UnixSocket client, peer;
};

TEST(PortUnixSocket, ReceivingIntoAVectorTakesEveryByteInOrder) {
    SocketPair p;
    std::vector<std::uint8_t> sent(300 * 1024 + 7);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<std::uint8_t>(i * 13 + i / 251);
    std::thread writer([&] { EXPECT_FALSE(p.client.sendAll(sent.data(), sent.size(), 5s)); });
    std::vector<std::uint8_t> got = {1, 2, 3};  // replaced, not appended to
    EXPECT_FALSE(p.peer.recvInto(got, sent.size(), 5s));
    writer.join();
    EXPECT_EQ(got, sent);
}

TEST(PortUnixSocket, TwoBuffersGoAsOneStream) {
    // A header and a payload sent together arrive as their concatenation,
    // also when the payload is larger than the socket takes at once (the
    // send resumes inside either part) and when a part is empty.
    struct Case {
        const char* name;
        std::size_t head, body;
    };
    for (const Case& c :
         {Case{"small", 16, 100}, Case{"large body", 16, 700 * 1024 + 3}, Case{"empty body", 16, 0},
          Case{"empty head", 0, 5000}, Case{"large head", 400 * 1024, 9}}) {
        SCOPED_TRACE(c.name);
        SocketPair p;
        std::vector<std::uint8_t> head(c.head), body(c.body);
        for (std::size_t i = 0; i < head.size(); ++i)
            head[i] = static_cast<std::uint8_t>(i * 7 + 1);
        for (std::size_t i = 0; i < body.size(); ++i)
            body[i] = static_cast<std::uint8_t>(i * 13 + i / 251);
        std::thread writer([&] {
            EXPECT_FALSE(p.client.sendAll(head.data(), head.size(), body.data(), body.size(), 5s));
        });
        std::vector<std::uint8_t> got;
        EXPECT_FALSE(p.peer.recvInto(got, c.head + c.body, 5s));
        writer.join();
        std::vector<std::uint8_t> expected = head;
        expected.insert(expected.end(), body.begin(), body.end());
        EXPECT_EQ(got, expected);
    }
}

TEST(PortUnixSocket, ABufferGrowsOnlyWithWhatArrives) {
    // The peer announces 16 MiB and sends a little before it stops or goes.
    struct Case {
        const char* name;
        bool closes;
        PortErrc expected;
    };
    for (const Case& c : {Case{"stops", false, PortErrc::Timeout},
                          Case{"goes away", true, PortErrc::Disconnected}}) {
        SCOPED_TRACE(c.name);
        SocketPair p;
        const std::vector<std::uint8_t> some(1000, 0xA5);
        ASSERT_FALSE(p.client.sendAll(some.data(), some.size(), 2s));
        if (c.closes)
            p.client.close();
        std::vector<std::uint8_t> got;
        EXPECT_EQ(p.peer.recvInto(got, 16u * 1024 * 1024, 200ms).code, c.expected);
        EXPECT_EQ(got, some);
        EXPECT_LE(got.capacity(), 256u * 1024);
    }
}

}  // namespace
}  // namespace nork::port
