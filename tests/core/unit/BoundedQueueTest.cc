// The bounded queue between a session's threads: a full queue refuses a
// frame at once rather than stall capture, a waiting producer gets room as
// soon as the consumer takes an item, and closing lets the consumer drain
// what is queued before it ends.
#include "engine/core/BoundedQueue.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace dvengine {
namespace {

TEST(BoundedQueueTest, TryPushRefusesWhenFullAndCloseDrains) {
    CBoundedQueue<int> q(2);
    EXPECT_TRUE(q.TryPush(1));
    EXPECT_TRUE(q.TryPush(2));
    EXPECT_FALSE(q.TryPush(3));  // the capture side counts this frame as dropped
    EXPECT_EQ(2u, q.Size());
    q.Close();
    EXPECT_FALSE(q.TryPush(4));
    EXPECT_FALSE(q.Push(5));
    int n = 0;
    ASSERT_TRUE(q.Pop(&n));
    EXPECT_EQ(1, n);
    ASSERT_TRUE(q.Pop(&n));
    EXPECT_EQ(2, n);
    EXPECT_FALSE(q.Pop(&n));
}

TEST(BoundedQueueTest, ConcurrentProducerAndConsumerKeepOrder) {
    CBoundedQueue<int> q(2);
    constexpr int kItems = 10000;
    std::thread producer([&q] {
        for (int i = 0; i < kItems; ++i) {
            ASSERT_TRUE(q.Push(i));
        }
        q.Close();
    });
    std::vector<int> vSeen;
    int n = 0;
    while (q.Pop(&n)) {
        vSeen.push_back(n);
    }
    producer.join();
    ASSERT_EQ(static_cast<size_t>(kItems), vSeen.size());
    for (int i = 0; i < kItems; ++i) {
        ASSERT_EQ(i, vSeen[i]);
    }
}

TEST(BoundedQueueTest, ConcurrentCloseWakesAWaitingConsumer) {
    CBoundedQueue<int> q(1);
    bool bPopped = true;
    std::thread consumer([&q, &bPopped] {
        int n = 0;
        bPopped = q.Pop(&n);
    });
    q.Close();
    consumer.join();
    EXPECT_FALSE(bPopped);
}

TEST(BoundedQueueTest, ConcurrentCloseReleasesAWaitingProducer) {
    CBoundedQueue<int> q(1);
    ASSERT_TRUE(q.TryPush(1));
    bool bPushed = true;
    std::thread producer([&q, &bPushed] { bPushed = q.Push(2); });
    q.Close();
    producer.join();
    EXPECT_FALSE(bPushed);
    int n = 0;
    ASSERT_TRUE(q.Pop(&n));
    EXPECT_EQ(1, n);
}

}  // namespace
}  // namespace dvengine
