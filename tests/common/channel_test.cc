#include "common/channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace stackpeek {
namespace {

using namespace std::chrono_literals;

TEST(ChannelTest, DeliversInOrderAndClosesWhenEverySenderIsGone) {
  auto [sender, receiver] = make_channel<int>();
  Sender<int> second = sender;
  EXPECT_TRUE(sender.send(1));
  EXPECT_TRUE(second.send(2));
  sender.reset();
  EXPECT_FALSE(receiver.closed());  // one sender left
  second.reset();
  EXPECT_FALSE(receiver.closed());  // messages still waiting
  EXPECT_EQ(receiver.try_recv(), 1);
  EXPECT_EQ(receiver.try_recv(), 2);
  EXPECT_EQ(receiver.try_recv(), std::nullopt);
  EXPECT_TRUE(receiver.closed());
}

TEST(ChannelTest, SendFailsOnceTheReceiverIsGone) {
  auto channel = make_channel<int>();
  Sender<int> sender = channel.sender;
  { Receiver<int> gone = std::move(channel.receiver); }
  EXPECT_FALSE(sender.send(1));
}

TEST(ChannelTest, MovedFromEndsAreHarmless) {
  auto [sender, receiver] = make_channel<int>();
  Sender<int> moved = std::move(sender);
  Sender<int> copy_of_empty = sender;  // NOLINT(bugprone-use-after-move)
  EXPECT_FALSE(copy_of_empty.send(1));
  Receiver<int> taken = std::move(receiver);
  EXPECT_TRUE(receiver.closed());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(receiver.try_recv(), std::nullopt);
  EXPECT_EQ(receiver.recv_for(1ms), std::nullopt);
  EXPECT_TRUE(moved.send(7));
  EXPECT_EQ(taken.try_recv(), 7);
}

TEST(ChannelTest, SelfMoveAssignmentKeepsTheReceiverOpen) {
  auto [sender, receiver] = make_channel<int>();
  Receiver<int>& alias = receiver;
  receiver = std::move(alias);
  EXPECT_TRUE(sender.send(3));
  EXPECT_EQ(receiver.try_recv(), 3);
}

TEST(ChannelTest, RecvForTimesOutAndWakesWhenTheLastSenderLeaves) {
  auto [sender, receiver] = make_channel<int>();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(receiver.recv_for(30ms), std::nullopt);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);

  std::thread leaver([s = std::move(sender)]() mutable {
    std::this_thread::sleep_for(20ms);
    s.reset();
  });
  const auto wait_start = std::chrono::steady_clock::now();
  EXPECT_EQ(receiver.recv_for(10s), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - wait_start, 5s);
  leaver.join();
}

// A message may carry a sender of its own channel; dropping the receiver must not deadlock.
struct Node;
using NodePtr = std::shared_ptr<Node>;
struct Node {
  std::optional<Sender<NodePtr>> back;
};

// A queued message may own a sender of its own channel; dropping the receiver destroys it
// and must not deadlock on the channel's lock.
TEST(ChannelTest, DroppingQueuedMessagesThatOwnSendersDoesNotDeadlock) {
  auto loop = make_channel<NodePtr>();
  auto node = std::make_shared<Node>();
  node->back.emplace(loop.sender);
  ASSERT_TRUE(loop.sender.send(std::move(node)));
  { Receiver<NodePtr> dropped = std::move(loop.receiver); }
  EXPECT_FALSE(loop.sender.send(nullptr));
}

TEST(ChannelTest, StressManySendersOneReceiver) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 20000;
  auto [sender, receiver] = make_channel<std::pair<int, int>>();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, s = sender] {
      for (int i = 0; i < kPerThread; ++i) ASSERT_TRUE(s.send({t, i}));
    });
  }
  sender.reset();

  std::vector<int> next(kThreads, 0);
  int total = 0;
  while (true) {
    auto message = receiver.recv_for(5s);
    if (!message) break;
    auto [t, i] = *message;
    ASSERT_EQ(i, next[t]) << "messages of one sender arrive in order";
    ++next[t];
    ++total;
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(total, kThreads * kPerThread);
  EXPECT_TRUE(receiver.closed());
}

}  // namespace
}  // namespace stackpeek
