#include "dispatcher.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace brivel::pyhost {

namespace {

std::atomic<bool> shut_down{false};

struct Queue {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<std::function<void()>> tasks;
  bool stopping = false;
  bool stopped = false;
  std::thread thread;
  std::thread::id id;
};

Queue& queue() {
  static Queue* q = new Queue;  // never destroyed: threads may post until the process ends
  return *q;
}

void run_tasks() {
  Queue& q = queue();
  for (;;) {
    std::deque<std::function<void()>> batch;
    {
      std::unique_lock<std::mutex> lock(q.mutex);
      q.arrived.wait(lock, [&] { return q.stopping || !q.tasks.empty(); });
      if (q.tasks.empty()) return;  // stopping, and nothing left
      batch.swap(q.tasks);
    }
    py::gil_scoped_acquire gil;
    for (auto& task : batch) {
      try {
        task();
      } catch (py::error_already_set& error) {
        error.discard_as_unraisable("a brivel callback");
      } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        PyErr_WriteUnraisable(nullptr);
      } catch (...) {
      }
      task = nullptr;  // what it holds goes while the GIL is held
    }
  }
}

void stop_queue() {
  Queue& q = queue();
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    if (q.stopped) return;
    q.stopping = true;
    q.stopped = true;
    thread = std::move(q.thread);
  }
  q.arrived.notify_all();
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      py::gil_scoped_release release;  // the last tasks need it
      thread.join();
    }
  }
  shut_down = true;
}

}  // namespace

PyRef::~PyRef() {
  if (!object_ || shut_down || !Py_IsInitialized()) return;  // the interpreter is going: leak
  py::gil_scoped_acquire gil;
  Py_DECREF(object_);
}

bool finalizing() { return shut_down; }

namespace dispatcher {

bool post(std::function<void()> task) {
  Queue& q = queue();
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    if (q.stopping) return false;
    if (!q.thread.joinable()) {
      q.thread = std::thread(run_tasks);
      q.id = q.thread.get_id();
    }
    q.tasks.push_back(std::move(task));
  }
  q.arrived.notify_one();
  return true;
}

bool on_dispatcher_thread() {
  Queue& q = queue();
  std::lock_guard<std::mutex> lock(q.mutex);
  return q.id == std::this_thread::get_id();
}

void stop() { stop_queue(); }

}  // namespace dispatcher

}  // namespace brivel::pyhost
