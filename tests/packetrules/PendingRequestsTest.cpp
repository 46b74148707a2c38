#include <gtest/gtest.h>

#include "packetrules/ConnectionAnswers.h"
#include "packetrules/PendingRequests.h"

namespace {

const Ipv4Address kClient{10, 0, 0, 2};
const Ipv4Address kServer{10, 0, 0, 7};

PendingRequest Entry(std::string path, std::uint16_t clientPort = 1000,
                     Ipv4Address server = kServer) {
    PendingRequest entry;
    entry.sourceAddress = kClient;
    entry.destinationAddress = server;
    entry.sourcePort = clientPort;
    entry.destinationPort = 80;
    entry.path = std::move(path);
    return entry;
}

}  // namespace

TEST(PendingRequestList, IdenticalRequestsAreTakenOldestFirst) {
    PendingRequestList list;
    list.AddPendingRequest(Entry("/first "), 100);
    list.AddPendingRequest(Entry("/other ", 2000), 101);
    list.AddPendingRequest(Entry("/second "), 102);
    PendingRequest taken;
    ASSERT_TRUE(list.TakePendingRequest(kClient, kServer, 1000, 80, taken));
    EXPECT_EQ(taken.path, "/first ");
    EXPECT_EQ(taken.timeAdded, 100);
    ASSERT_TRUE(list.TakePendingRequest(kClient, kServer, 1000, 80, taken));
    EXPECT_EQ(taken.path, "/second ");
    EXPECT_FALSE(list.TakePendingRequest(kClient, kServer, 1000, 80, taken));
    EXPECT_TRUE(taken.path.empty());
    EXPECT_EQ(taken.timeAdded, 0);
    EXPECT_EQ(list.Size(), 1u);
}

TEST(PendingRequestList, EveryPartOfTheKeyMustMatch) {
    PendingRequestList list;
    list.AddPendingRequest(Entry("/a "), 0);
    PendingRequest taken;
    // Ports match but the server address differs.
    EXPECT_FALSE(list.TakePendingRequest(kClient, Ipv4Address{10, 0, 0, 8}, 1000, 80, taken));
    EXPECT_FALSE(list.TakePendingRequest(Ipv4Address{10, 0, 0, 3}, kServer, 1000, 80, taken));
    EXPECT_FALSE(list.TakePendingRequest(kClient, kServer, 1001, 80, taken));
    EXPECT_FALSE(list.TakePendingRequest(kClient, kServer, 1000, 81, taken));
    EXPECT_TRUE(taken.path.empty());
    EXPECT_EQ(list.Size(), 1u);
}

TEST(PendingRequestList, ExpiryAtSixtyAndSixtyOneSeconds) {
    PendingRequestList list;
    list.AddPendingRequest(Entry("/old "), 1000);
    list.AddPendingRequest(Entry("/young ", 2000), 1030);
    list.AddPendingRequest(Entry("/c ", 3000), 1060);  // /old is exactly 60 s old: kept
    EXPECT_EQ(list.Size(), 3u);
    list.AddPendingRequest(Entry("/d ", 4000), 1061);  // /old is 61 s old: freed
    ASSERT_EQ(list.Size(), 3u);
    EXPECT_EQ(list.Entries().front().path, "/young ");

    // Taking applies no expiry: an aged entry is still there when nothing was added since.
    PendingRequest taken;
    EXPECT_TRUE(list.TakePendingRequest(kClient, kServer, 2000, 80, taken));
    EXPECT_EQ(taken.path, "/young ");
}

TEST(PendingRequestList, ExpiryWalksTheWholeList) {
    // A clock that ran backwards (a capture file) leaves a young entry before an old one.
    PendingRequestList list;
    list.AddPendingRequest(Entry("/late ", 1), 5000);
    list.AddPendingRequest(Entry("/early ", 2), 100);
    list.AddPendingRequest(Entry("/now ", 3), 5001);
    ASSERT_EQ(list.Size(), 2u);
    EXPECT_EQ(list.Entries().front().path, "/late ");
    EXPECT_EQ(list.Entries().back().path, "/now ");
}

TEST(PendingRequestList, CapDropsTheOldest) {
    PendingRequestList list;
    const std::size_t extra = 10;
    for (std::size_t i = 0; i < PendingRequestList::kMaxEntries + extra; ++i) {
        list.AddPendingRequest(Entry("/" + std::to_string(i) + " ", static_cast<std::uint16_t>(i)),
                               7);
    }
    EXPECT_EQ(list.Size(), PendingRequestList::kMaxEntries);
    EXPECT_EQ(list.Entries().front().path, "/" + std::to_string(extra) + " ");
    list.Clear();
    EXPECT_TRUE(list.Empty());
}

namespace {

ConnectionKey Connection(std::uint16_t clientPort) {
    return {kClient, kServer, clientPort, 80};
}

}  // namespace

TEST(ConnectionAnswers, CapGivesWayOldestRenewedFirst) {
    ConnectionAnswers table;
    const std::size_t cap = ConnectionAnswers::kMaxConnections;
    for (std::size_t i = 0; i < cap; ++i)
        table.Remember(Connection(static_cast<std::uint16_t>(i)), true, 7, {}, std::to_string(i));
    // Renewing connection 0 makes it the newest: connection 1 gives way to the next new one.
    table.Remember(Connection(0), false, 7, Entry("/renewed "), "0r");
    table.Remember(Connection(static_cast<std::uint16_t>(cap)), true, 7, {}, "new");
    EXPECT_EQ(table.Size(), cap);
    ASSERT_NE(table.Find(Connection(0)), nullptr);
    EXPECT_EQ(table.Find(Connection(0))->lengthText, "0r");
    EXPECT_EQ(table.Find(Connection(0))->request.path, "/renewed ");
    EXPECT_EQ(table.Find(Connection(1)), nullptr);
    EXPECT_EQ(table.Find(Connection(static_cast<std::uint16_t>(cap)))->lengthText, "new");
    // 4096 awaited, connection 0 stopped awaiting, 1 left, the new one awaits.
    EXPECT_EQ(table.AwaitingBody(), cap - 1);
}

TEST(ConnectionAnswers, ExpiryAndTheFirstBodyPacket) {
    ConnectionAnswers table;
    table.Remember(Connection(1), true, 1000, {}, "");
    table.Remember(Connection(2), true, 1030, {}, "");
    table.Remember(Connection(3), false, 1060, {}, "");  // connection 1 is exactly 60 s old: kept
    EXPECT_EQ(table.Size(), 3u);
    table.Remember(Connection(4), false, 1061, {}, "");  // 61 s old: freed, no longer awaited
    EXPECT_EQ(table.Find(Connection(1)), nullptr);
    EXPECT_EQ(table.AwaitingBody(), 1u);

    EXPECT_EQ(table.TakeFirstBody(Connection(3)), nullptr);  // awaits nothing
    EXPECT_NE(table.TakeFirstBody(Connection(2)), nullptr);
    EXPECT_EQ(table.TakeFirstBody(Connection(2)), nullptr);  // only the first body packet
    EXPECT_NE(table.Find(Connection(2)), nullptr);           // the answer itself stays
    EXPECT_EQ(table.AwaitingBody(), 0u);
    // Client and server sides are part of the key.
    EXPECT_EQ(table.Find({kServer, kClient, 2, 80}), nullptr);
    table.Clear();
    EXPECT_EQ(table.Size(), 0u);
}

// Header blocks of up to 40 KiB each must not pin hundreds of MiB: both tables hold at most
// 8 MiB of texts per session, and the oldest entries give way.
TEST(PendingRequestList, ByteBudgetDropsTheOldest) {
    PendingRequestList list;
    const std::string block(40 * 1024, 'h');
    for (std::size_t i = 0; i < PendingRequestList::kMaxEntries; ++i) {
        PendingRequest entry = Entry("/" + std::to_string(i) + " ", static_cast<std::uint16_t>(i));
        entry.requestHeaders = block;
        list.AddPendingRequest(std::move(entry), 7);
    }
    std::size_t bytes = 0;
    for (const PendingRequest& entry : list.Entries())
        bytes += entry.host.size() + entry.path.size() + entry.requestHeaders.size();
    EXPECT_LE(bytes, std::size_t(8) << 20);
    EXPECT_LE(list.Bytes(), PendingRequestList::kMaxBytes);
    EXPECT_GE(list.Size(), 150u);
    EXPECT_EQ(list.Entries().back().path, "/4095 ");
}

TEST(ConnectionAnswers, ByteBudgetGivesWayOldestFirst) {
    ConnectionAnswers table;
    PendingRequest request = Entry("/clip.flv ");
    request.requestHeaders = std::string(40 * 1024, 'h');
    const std::size_t cap = ConnectionAnswers::kMaxConnections;
    for (std::size_t i = 0; i < cap; ++i)
        table.Remember(Connection(static_cast<std::uint16_t>(i)), true, 7, request, "5\r\n");
    std::size_t bytes = 0, kept = 0;
    for (std::size_t i = 0; i < cap; ++i) {
        if (const RememberedAnswer* answer =
                table.Find(Connection(static_cast<std::uint16_t>(i)))) {
            bytes += answer->request.requestHeaders.size() + answer->request.path.size();
            ++kept;
        }
    }
    EXPECT_LE(bytes, std::size_t(8) << 20);
    EXPECT_LE(table.Bytes(), ConnectionAnswers::kMaxBytes);
    EXPECT_GE(kept, 150u);
    EXPECT_EQ(table.Size(), kept);
    EXPECT_EQ(table.AwaitingBody(), kept);
    EXPECT_NE(table.Find(Connection(static_cast<std::uint16_t>(cap - 1))), nullptr);
    EXPECT_EQ(table.Find(Connection(0)), nullptr);
}
