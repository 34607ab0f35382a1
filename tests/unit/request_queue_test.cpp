// SPDX-License-Identifier: MIT
// Requests waiting to be served: every user in turn, newcomers first, each user's in order, bounded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "request_queue.h"

namespace {

// A request of user `uid` carrying `n` in its first byte.
Request request(uid_t uid, int n)
{
    Request r{};
    r.sender.uid = uid;
    r.datagram[0] = static_cast<char>(n);
    return r;
}

// Serves `count` requests and names each as user letter and number: "a1 b1 a2".
std::string serve(RequestQueue& queue, size_t count)
{
    std::string order;
    Request r;
    for (size_t i = 0; i < count && queue.next(r); ++i)
        order += std::string(order.empty() ? "" : " ") + static_cast<char>('a' + r.sender.uid) +
                 std::to_string(static_cast<int>(r.datagram[0]));
    return order;
}

}  // namespace

TEST(RequestQueue, EveryUserInTurnNewcomersFirstEachUsersInOrder)
{
    const struct {
        std::vector<std::vector<uid_t>> rounds;  // users pushing, then one request served, per round
        const char* order;
    } cases[] = {
        {{{0, 0, 0, 1}}, "a1"},                        // one turn each: a's first, then b's
        {{{0, 0, 0, 1}, {}, {}, {}}, "a1 b1 a2 a3"},
        {{{0, 0, 0}, {1}, {}, {}}, "a1 b1 a2 a3"},     // b came while a's turn was coming round again
        {{{0, 0}, {1, 1}, {2}, {}, {}}, "a1 b1 c1 a2 b2"},
    };
    for (const auto& c : cases) {
        RequestQueue queue;
        int n[3] = {};
        std::string order;
        for (const auto& pushes : c.rounds) {
            for (const uid_t uid : pushes) ASSERT_TRUE(queue.push(request(uid, ++n[uid])));
            const std::string one = serve(queue, 1);
            order += (order.empty() || one.empty() ? "" : " ") + one;
        }
        EXPECT_EQ(order, c.order);
    }
}

TEST(RequestQueue, BoundedPerUserAndInAllTheLongestQueueMakingRoom)
{
    RequestQueue queue;
    for (int i = 1; i <= static_cast<int>(RequestQueue::kPerUser); ++i) ASSERT_TRUE(queue.push(request(0, i)));
    EXPECT_FALSE(queue.push(request(0, 99))) << "over the user's bound";
    for (uid_t uid = 0; queue.size() < RequestQueue::kInAll; ++uid) ASSERT_TRUE(queue.push(request(1 + uid % 7, 1)));
    EXPECT_TRUE(queue.push(request(100, 1))) << "a newcomer when all is full";
    EXPECT_EQ(queue.size(), RequestQueue::kInAll);
    Request r;
    int last_of_user0 = 0;
    while (queue.next(r))
        if (r.sender.uid == 0) last_of_user0 = r.datagram[0];
    EXPECT_EQ(last_of_user0, static_cast<int>(RequestQueue::kPerUser) - 1) << "the longest queue's newest made room";
}
