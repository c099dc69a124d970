#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace stackpeek {

namespace detail {
template <class T>
struct ChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<T> queue;
  size_t senders = 0;
  bool receiver_alive = true;
};
}  // namespace detail

/// Sending end of an unbounded multi-sender channel; copies are further senders.
/// The channel closes for the receiver once every sender is gone.
template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {
    if (!state_) return;  // a copy of a moved-from sender is just as empty
    std::lock_guard lock(state_->mutex);
    ++state_->senders;
  }
  Sender(const Sender& other) : Sender(other.state_) {}
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { reset(); }

  /// Queues `value`; never blocks. Returns false when the receiver is gone.
  bool send(T value) const {
    if (!state_) return false;
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive) return false;
      state_->queue.push_back(std::move(value));
    }
    state_->ready.notify_one();
    return true;
  }

  /// True while the receiver is alive: a send may still be read.
  bool open() const {
    if (!state_) return false;
    std::lock_guard lock(state_->mutex);
    return state_->receiver_alive;
  }

  /// Drops this sender now.
  void reset() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      --state_->senders;
    }
    state_->ready.notify_all();
    state_.reset();
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> state_;
};

/// Receiving end of a channel. Destroying it makes later sends fail.
template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this == &other) return *this;
    close();
    state_ = std::move(other.state_);
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { close(); }

  /// Takes the oldest message without waiting; nothing when the queue is empty.
  std::optional<T> try_recv() {
    if (!state_) return std::nullopt;
    std::lock_guard lock(state_->mutex);
    return pop_locked();
  }

  /// Waits up to `timeout` for a message; nothing on time-out or when the channel is closed.
  std::optional<T> recv_for(std::chrono::milliseconds timeout) {
    if (!state_) return std::nullopt;
    std::unique_lock lock(state_->mutex);
    state_->ready.wait_for(lock, timeout,
                           [&] { return !state_->queue.empty() || state_->senders == 0; });
    return pop_locked();
  }

  /// True when the queue is empty and every sender is gone.
  bool closed() const {
    if (!state_) return true;
    std::lock_guard lock(state_->mutex);
    return state_->queue.empty() && state_->senders == 0;
  }

 private:
  std::optional<T> pop_locked() {
    if (state_->queue.empty()) return std::nullopt;
    T value = std::move(state_->queue.front());
    state_->queue.pop_front();
    return value;
  }
  void close() {
    if (!state_) return;
    std::deque<T> dropped;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
      dropped.swap(state_->queue);
    }
    // Messages are destroyed outside the lock: one may own a sender of this very channel.
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
struct Channel {
  Sender<T> sender;
  Receiver<T> receiver;
};

/// Creates a new unbounded channel.
template <class T>
Channel<T> make_channel() {
  auto state = std::make_shared<detail::ChannelState<T>>();
  return Channel<T>{Sender<T>(state), Receiver<T>(state)};
}

}  // namespace stackpeek
