// The plug-in's worker threads, which the Env starts.
#ifndef PELMORA_PLATFORM_WORKER_THREAD_H_
#define PELMORA_PLATFORM_WORKER_THREAD_H_

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace pelmora {

// A thread that runs `body` once. Created suspended, it runs no code until
// Resume() is called. Resuming a running thread has no effect.
class WorkerThread {
 public:
  // Throws std::system_error when the OS refuses a thread.
  WorkerThread(std::function<void()> body, bool suspended);
  ~WorkerThread();  // Resumes and joins a thread that was not joined yet.
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void Resume();
  // Waits without time limit for the body to return. Call once.
  void Join();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool resumed_ = false;
  std::thread thread_;
};

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_WORKER_THREAD_H_
