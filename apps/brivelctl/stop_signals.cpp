#include "stop_signals.h"

#include <atomic>
#include <csignal>

#include "control/control.h"

namespace brivel::ctl {

namespace {
// The handler only stores: a lock-free pointer load and RequestStop's atomic store.
std::atomic<Control*> g_control{nullptr};
volatile std::sig_atomic_t g_signal = 0;
static_assert(std::atomic<Control*>::is_always_lock_free, "the signal handler needs a lock-free pointer");

extern "C" void on_stop_signal(int number) {
  if (g_signal == 0) g_signal = number;
  if (Control* control = g_control.load()) control->RequestStop();
}

void install() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // the second signal takes its default course
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
}  // namespace

void catch_stop_signals(Control* control) {
  g_control.store(control);
  static bool installed = false;
  if (installed) return;
  installed = true;
  install();
}

void rearm_stop_signals() {
  // The handler reset itself; a signal between these two lines takes its default course,
  // as a second one would.
  g_signal = 0;
  install();
}

int stop_signal() { return g_signal; }

const char* signal_name(int number) {
  switch (number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "a signal";
  }
}

}  // namespace brivel::ctl
