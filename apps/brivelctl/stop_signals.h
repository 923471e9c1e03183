#pragma once
// SIGINT (Ctrl-C) and SIGTERM while brivelctl runs. The first of them asks the control
// to stop (Control::RequestStop): a running move, jog, reposition or download stops the
// motor as the stop button does ("k", then the closing position request) and ends;
// brivelctl then runs no further step and exits with 128 + the signal's number (130
// for SIGINT, 143 for SIGTERM). The handlers reset themselves, so a second signal
// ends brivelctl at once, as it would without them.

namespace brivel {
class Control;
}

namespace brivel::ctl {

// Installs the handlers; `control` is the one to stop (nullptr: none, as before the
// control exists or after it is gone).
void catch_stop_signals(Control* control);
// 0, or the number of the first signal that came.
int stop_signal();
// Forgets the signal that came and catches the next one again (the watch step, which
// a Ctrl-C ends without ending the run).
void rearm_stop_signals();
// "SIGINT", "SIGTERM".
const char* signal_name(int number);

}  // namespace brivel::ctl
