#pragma once
// Where Python code runs for the package's own threads.
//
// The control of every instrument runs on a thread of its own and never waits for
// Python: what it has to tell Python (position reports for subscribers, the end of an
// operation for its Status callbacks, messages and serial traffic for `logging`) is
// posted here as a task. One dispatcher thread per process takes the tasks in order
// and runs them with the GIL held. So a script busy in Python slows no motion, and
// everything reaches Python in the order the control produced it.
//
// Only the answer to a question (the `confirm` callable) is asked on the control's
// thread itself, since the control waits for it.
//
// At interpreter exit (atexit) the dispatcher runs what is queued and stops; from then
// on nothing of the package takes the GIL from its own threads (finalizing()).

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>

namespace brivel::pyhost {

namespace py = pybind11;

// A reference to a Python object that any thread may hold and drop: the last owner
// takes the GIL to let go of it (or leaks it once the interpreter is finalizing).
class PyRef {
 public:
  explicit PyRef(py::object object) : object_(object.release().ptr()) {}
  ~PyRef();
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  // Only with the GIL held.
  py::handle get() const { return object_; }

 private:
  PyObject* object_;
};
using SharedPy = std::shared_ptr<PyRef>;

inline SharedPy share(py::object object) { return std::make_shared<PyRef>(std::move(object)); }

// True once the package has shut down for the interpreter's exit.
bool finalizing();

namespace dispatcher {

// Runs `task` on the dispatcher thread with the GIL held, after the tasks posted
// before it. From any thread, never blocks for long. False (and `task` is dropped,
// unrun) once the dispatcher has stopped.
bool post(std::function<void()> task);

// True on the dispatcher thread.
bool on_dispatcher_thread();

// Delivers what is queued and stops the dispatcher thread for good (GIL held).
void stop();

}  // namespace dispatcher

}  // namespace brivel::pyhost
