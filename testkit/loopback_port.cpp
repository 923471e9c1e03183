#include "testkit/loopback_port.h"

#include <algorithm>
#include <deque>
#include <limits>

#include "platform/failure.h"

namespace brivel::testkit {

namespace {
constexpr double kNever = std::numeric_limits<double>::infinity();
// A far end that still wants to act at an instant it was already served at is looked
// at again this much later, so that a confused model can never hold the clock still.
constexpr double kFarRetry = 0.001;  // seconds
}  // namespace

struct LoopbackPort::Impl {
  // Settings as the control gave them.
  int number = 1;
  LineSettings line;
  int threshold = 0;
  bool open = false;

  // Towards the control: replies wait in `pending` until they are ready, then go
  // on the line byte by byte, then join the receive queue as they arrive.
  struct Pending {
    double ready;
    Bytes bytes;
  };
  struct OnLine {
    double arrives;
    std::uint8_t byte;
  };
  std::vector<Pending> pending;       // by ready time, ties in queueing order
  std::deque<OnLine> incoming;
  double incoming_free = -kNever;     // arrival time of the last byte put on the line
  Bytes received;                     // the receive queue
  int last_raised = -1;               // bytes waiting at the last receive event
  bool recheck = false;               // look at the threshold at the next pump pass
  bool raising = false;               // the receive handler is running
  bool lost = false;                  // closed by itself: the lost event is due

  // Towards the far end: byte i of a write arrives at start + (i + 1) byte times.
  struct Outgoing {
    double start;
    Bytes bytes;
    std::size_t delivered = 0;
  };
  std::deque<Outgoing> outgoing;
  double outgoing_free = -kNever;     // when the last queued byte will have arrived

  // The far end: the simulated controller (or another FarEnd), or a script.
  std::unique_ptr<FarEnd> far;
  double far_served = -kNever;        // last time the far end was run
  bool far_reopen = false;            // tell the far end at the next open
  struct Rule {
    Bytes request;
    Bytes reply;
    double delay;
  };
  std::vector<Rule> rules;
  std::function<Bytes(const Bytes&)> responder;

  bool far_gone() const { return far && far->vanished(); }
  double next_outgoing() const {
    const Outgoing& o = outgoing.front();
    return o.start + static_cast<double>(o.delivered + 1) * kByteTime;
  }
  void drop_everything() {
    pending.clear();
    incoming.clear();
    incoming_free = -kNever;
    received.clear();
    outgoing.clear();
    outgoing_free = -kNever;
    last_raised = -1;
    recheck = false;
  }
  void put_on_line(const Bytes& bytes, double ready) {
    double t = std::max(ready, incoming_free);
    for (std::uint8_t b : bytes) {
      t += kByteTime;
      incoming.push_back(OnLine{t, b});
    }
    incoming_free = t;
  }
};

LoopbackPort::LoopbackPort(VirtualPump& pump) : impl_(std::make_unique<Impl>()), pump_(pump) {
  pump_.add_source(this);
}

LoopbackPort::~LoopbackPort() { pump_.remove_source(this); }

// ---- settings ----------------------------------------------------------------------

void LoopbackPort::set_port_number(int number) {
  impl_->number = number;
  setup_log_.push_back("port=" + std::to_string(number));
}
int LoopbackPort::port_number() const { return impl_->number; }

void LoopbackPort::set_line(const LineSettings& line) {
  impl_->line = line;
  setup_log_.push_back("line=" + line.text());
}
LineSettings LoopbackPort::line() const { return impl_->line; }

void LoopbackPort::clear_input() {
  setup_log_.push_back("clear-input");
  impl_->received.clear();
  impl_->last_raised = -1;
}

void LoopbackPort::clear_output() {
  setup_log_.push_back("clear-output");
  // Bytes not yet sent are purged, even halfway through a command.
  impl_->outgoing.clear();
  impl_->outgoing_free = -kNever;
}

// ---- open and close ----------------------------------------------------------------

void LoopbackPort::open() {
  Impl& s = *impl_;
  setup_log_.push_back("open");
  const std::string name = "port " + std::to_string(s.number);
  if (s.number < 1 || std::find(unavailable_.begin(), unavailable_.end(), s.number) != unavailable_.end())
    throw RuntimeFailure(FailureReason::PortFailure, name + " does not exist or is in use");
  if (s.far_gone() || unplugged_)
    throw RuntimeFailure(FailureReason::PortFailure, name + ": the device is gone");
  if (s.open) {
    s.drop_everything();
    s.far_reopen = true;
  }
  s.lost = false;
  const double now = pump_.now();
  if (s.far && s.far->next_due() <= now) {
    // What the far end sent while the port was closed is lost.
    s.far->advance(now);
    s.far->take_output(now);
    s.far_served = now;
  }
  s.open = true;
  ++opens_;
  if (s.far && s.far_reopen) s.far->port_reopened();
  s.far_reopen = false;
}

void LoopbackPort::close() {
  Impl& s = *impl_;
  setup_log_.push_back("close");
  if (s.open && s.far) s.far_reopen = true;
  s.open = false;
  s.lost = false;
  s.drop_everything();
}

bool LoopbackPort::is_open() const { return impl_->open && !impl_->far_gone(); }

// ---- bytes -------------------------------------------------------------------------

void LoopbackPort::write(const Bytes& data) {
  Impl& s = *impl_;
  if (!is_open()) throw RuntimeFailure(FailureReason::PortFailure, "the port is not open");
  if (unplug_countdown_ > 0 && --unplug_countdown_ == 0) {
    // Pulled out while writing: the write fails and the port is gone with its queues.
    unplug_now();
    throw RuntimeFailure(FailureReason::PortFailure, "the write failed: the device is gone");
  }
  const double now = pump_.now();
  written_.push_back(Written{now, data});
  if (data.empty()) return;
  const double start = std::max(now, s.outgoing_free);
  s.outgoing.push_back(Impl::Outgoing{start, data, 0});
  s.outgoing_free = start + static_cast<double>(data.size()) * kByteTime;
}

void LoopbackPort::set_threshold(int bytes) {
  impl_->threshold = bytes;
  impl_->recheck = true;  // bytes already waiting may now be enough: the pump decides
}
int LoopbackPort::threshold() const { return impl_->threshold; }

int LoopbackPort::bytes_waiting() const {
  return is_open() ? static_cast<int>(impl_->received.size()) : 0;
}

Bytes LoopbackPort::read_all() {
  Impl& s = *impl_;
  if (!is_open()) return {};
  Bytes taken;
  taken.swap(s.received);
  s.last_raised = -1;
  return taken;
}

// ---- the far end -------------------------------------------------------------------

void LoopbackPort::attach(std::unique_ptr<FarEnd> far_end) {
  Impl& s = *impl_;
  s.far = std::move(far_end);
  s.rules.clear();
  s.responder = nullptr;
  s.far_served = -kNever;
  s.far_reopen = false;
}

void LoopbackPort::when(const Bytes& request, const Bytes& reply, double delay) {
  Impl& s = *impl_;
  s.far.reset();
  const Impl::Rule rule{request, reply, std::max(0.0, delay)};
  auto same = std::find_if(s.rules.begin(), s.rules.end(),
                           [&](const Impl::Rule& r) { return r.request == request; });
  if (same != s.rules.end())
    *same = rule;
  else
    s.rules.push_back(rule);
}

void LoopbackPort::on_write(std::function<Bytes(const Bytes&)> responder) {
  impl_->far.reset();
  impl_->responder = std::move(responder);
}

void LoopbackPort::inject(const Bytes& bytes) { queue_reply(bytes, pump_.now()); }

void LoopbackPort::unplug_at_write(int n) { unplug_countdown_ = n > 0 ? n : 0; }

void LoopbackPort::unplug_now() {
  Impl& s = *impl_;
  unplugged_ = true;
  setup_log_.push_back("unplugged");
  s.lost = s.open;
  s.open = false;
  if (s.far) s.far_reopen = true;
  s.drop_everything();
}

void LoopbackPort::replug() {
  unplugged_ = false;
  unplug_countdown_ = 0;
}

void LoopbackPort::queue_reply(const Bytes& reply, double ready) {
  Impl& s = *impl_;
  if (reply.empty() || !is_open()) return;  // nobody listens on a closed port
  auto after = std::upper_bound(s.pending.begin(), s.pending.end(), ready,
                                [](double t, const Impl::Pending& p) { return t < p.ready; });
  s.pending.insert(after, Impl::Pending{ready, reply});
}

// ---- the pump's side ---------------------------------------------------------------

double LoopbackPort::next_due() const {
  const Impl& s = *impl_;
  double due = kNever;
  if ((s.recheck && !s.raising) || (s.open && s.far_gone()) || s.lost) due = pump_.now();
  if (!s.pending.empty()) due = std::min(due, s.pending.front().ready);
  if (!s.incoming.empty()) due = std::min(due, s.incoming.front().arrives);
  if (!s.outgoing.empty()) due = std::min(due, s.next_outgoing());
  if (s.far && !s.far->vanished()) {
    double far_due = s.far->next_due();
    if (far_due <= s.far_served) far_due = s.far_served + kFarRetry;
    due = std::min(due, far_due);
  }
  return due;
}

void LoopbackPort::run_due(double now) {
  Impl& s = *impl_;
  const auto serve_far = [&](double t) {
    const Bytes out = s.far->take_output(t);
    s.far_served = t;
    queue_reply(out, t);
  };

  // Bytes from the control reach the far end as they arrive.
  while (!s.outgoing.empty() && s.next_outgoing() <= now) {
    const double t = s.next_outgoing();
    Impl::Outgoing& o = s.outgoing.front();
    const std::uint8_t byte = o.bytes[o.delivered++];
    Bytes whole;
    if (o.delivered == o.bytes.size()) {
      whole = std::move(o.bytes);
      s.outgoing.pop_front();
    }
    if (s.far) {
      s.far->advance(t);
      s.far->receive(Bytes{byte}, t);
      serve_far(t);
    } else if (!whole.empty()) {
      answer_as_peer(whole, t);
    }
  }
  if (s.far && !s.far->vanished() && s.far->next_due() <= now) {
    s.far->advance(now);
    serve_far(now);
  }
  if (s.open && s.far_gone()) {
    // An unplugged adapter: the port closes itself, the queues go with it.
    setup_log_.push_back("vanished");
    s.open = false;
    s.far_reopen = true;
    s.drop_everything();
    s.lost = true;
  }
  if (s.lost) {
    s.lost = false;
    raise_event(kComEvLost);
    return;
  }

  while (!s.pending.empty() && s.pending.front().ready <= now) {
    const Impl::Pending reply = std::move(s.pending.front());
    s.pending.erase(s.pending.begin());
    s.put_on_line(reply.bytes, reply.ready);
  }
  // Each arriving byte joins the receive queue and may raise the receive event. The
  // handler may run the pump (and this function) again: the queue is read afresh.
  while (!s.incoming.empty() && s.incoming.front().arrives <= now) {
    s.received.push_back(s.incoming.front().byte);
    s.incoming.pop_front();
    check_event();
  }
  if (s.recheck) check_event();
}

void LoopbackPort::answer_as_peer(const Bytes& request, double arrived) {
  Impl& s = *impl_;
  auto rule = std::find_if(s.rules.begin(), s.rules.end(),
                           [&](const Impl::Rule& r) { return r.request == request; });
  if (rule != s.rules.end()) {
    queue_reply(rule->reply, arrived + rule->delay);
    return;
  }
  if (!s.responder) return;
  const auto responder = s.responder;  // it may replace itself
  queue_reply(responder(request), arrived);
}

void LoopbackPort::check_event() {
  Impl& s = *impl_;
  if (s.raising) {
    s.recheck = true;  // the running handler first; looked at again when it returns
    return;
  }
  s.recheck = false;
  while (is_open() && s.threshold > 0) {
    const int waiting = static_cast<int>(s.received.size());
    if (waiting < s.threshold || waiting == s.last_raised) break;
    s.last_raised = waiting;
    events_.push_back(pump_.now());
    struct Raising {
      bool& flag;
      ~Raising() { flag = false; }
    } raising{s.raising};
    s.raising = true;
    raise_event(kComEvReceive);
  }
  s.recheck = false;
}

}  // namespace brivel::testkit
