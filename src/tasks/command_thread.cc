#include "tasks/command_thread.h"

#include <memory>
#include <system_error>

namespace stackpeek::tasks {
namespace {

// Room for a command's 64 KiB read buffer and for the sanitizers' larger frames.
constexpr size_t kStackSize = 512 * 1024;

void* run_body(void* raw) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(raw));
  (*body)();
  return nullptr;
}

}  // namespace

void CommandThread::start(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kStackSize);
  pthread_t thread{};
  const int error = pthread_create(&thread, &attr, run_body, owned.get());
  pthread_attr_destroy(&attr);
  if (error != 0) throw std::system_error(error, std::generic_category(), "pthread_create");
  (void)owned.release();  // the thread owns it now
  thread_ = thread;
}

CommandThread::~CommandThread() {
  if (joinable()) join();
}

void CommandThread::join() {
  pthread_join(*thread_, nullptr);
  thread_.reset();
}

}  // namespace stackpeek::tasks
