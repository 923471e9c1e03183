// brivel._brivel, the compiled part of the package `brivel`: bindings, argument checks
// and docstrings (python/brivel/__init__.py gives the names to the package).

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

#include "brivel_version.h"
#include "control/interface.h"
#include "errors.h"
#include "monochromator.h"
#include "parameters/parameter_file.h"
#include "platform/failure.h"
#include "ports.h"
#include "text/convert.h"

namespace py = pybind11;
using brivel::Control;
using brivel::Message;
using brivel::Judge;
using brivel::State;
namespace interface = brivel::interface;
using brivel::pyhost::Host;
using brivel::pyhost::Limits;
using brivel::pyhost::Monochromator;
using brivel::pyhost::Relay;
using brivel::pyhost::ScanPlan;
using brivel::pyhost::StatusCore;
using brivel::pyhost::StatusPtr;
using brivel::pyhost::Subscriber;

namespace {

// ---- arguments -------------------------------------------------------------------------
// Wrong types raise TypeError, values the control would refuse or cannot take raise
// ValueError, before anything reaches the control.

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

std::string shown(double value) { return brivel::text::plain(value); }

// Text and bytes are never numbers, nor are booleans: b'\x90' is not 144.
bool is_text_or_bytes(py::handle value) {
  return PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()) ||
         PyMemoryView_Check(value.ptr());
}

double number(py::handle value, const std::string& what) {
  if (PyBool_Check(value.ptr()) || is_text_or_bytes(value) || !PyNumber_Check(value.ptr()))
    throw py::type_error(what + " must be a number, not " + type_name(value));
  const double x = PyFloat_AsDouble(value.ptr());
  if (x == -1.0 && PyErr_Occurred()) {
    // An integer too large for a float is a value out of range, not an arithmetic error.
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      throw py::value_error(what + " is out of range");
    }
    throw py::error_already_set();
  }
  if (!std::isfinite(x))
    throw py::value_error(what + " must be a finite number, not " + py::repr(value).cast<std::string>());
  return x;
}

// The numbers of a list (filters, a memory value): any iterable of numbers but text and
// bytes, whose items would otherwise pass for numbers one by one.
std::vector<py::object> number_items(py::handle value, const std::string& what) {
  if (is_text_or_bytes(value) || !py::isinstance<py::iterable>(value))
    throw py::type_error(what + " must be a list of numbers, not " + type_name(value));
  std::vector<py::object> items;
  for (py::handle item : value) items.push_back(py::reinterpret_borrow<py::object>(item));
  return items;
}

double within(py::handle value, const std::string& what, double lowest, double highest,
              const char* unit = " nm") {
  const double x = number(value, what);
  if (x < lowest || x > highest)
    throw py::value_error(what + " must be from " + shown(lowest) + " to " + shown(highest) + unit +
                          ", not " + shown(x));
  return x;
}

double wavelength(py::handle value, const std::string& what = "wavelength") {
  return within(value, what, 0, Limits::kHighestWavelength);
}

long long whole(py::handle value, const std::string& what) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
    throw py::type_error(what + " must be an integer, not " + type_name(value));
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow) throw py::value_error(what + " is out of range");
  if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
  return x;
}

int whole_within(py::handle value, const std::string& what, long long lowest, long long highest) {
  const long long x = whole(value, what);
  if (x < lowest || x > highest)
    throw py::value_error(what + " must be from " + std::to_string(lowest) + " to " +
                          std::to_string(highest) + ", not " + std::to_string(x));
  return static_cast<int>(x);
}

std::int16_t int16(py::handle value, const std::string& what) {
  return static_cast<std::int16_t>(whole_within(value, what, -32768, 32767));
}

std::string path(py::handle value, const std::string& what = "path") {
  py::object text;
  try {
    text = py::module_::import("os").attr("fspath")(value);
  } catch (py::error_already_set&) {
    throw py::type_error(what + " must be a str or os.PathLike, not " + type_name(value));
  }
  if (py::isinstance<py::bytes>(text)) text = py::module_::import("os").attr("fsdecode")(text);
  const std::string s = text.cast<std::string>();
  if (s.empty()) throw py::value_error(what + " is empty");
  if (s.find('\0') != std::string::npos) throw py::value_error(what + " contains a NUL character");
  return s;
}

py::object confirm_arg(py::object confirm) {
  if (confirm.is_none() || PyBool_Check(confirm.ptr()) || PyCallable_Check(confirm.ptr())) return confirm;
  throw py::type_error("confirm must be None, a bool or a callable, not " + type_name(confirm));
}

bool on_off(py::handle value, const std::string& what) {
  if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
  if (PyLong_Check(value.ptr())) return whole_within(value, what, 0, 1) == 1;
  throw py::type_error(what + " must be True or False, not " + type_name(value));
}

// Memory values as brivel-sim takes them: numbers in plain form, lists joined by commas.
std::string memory_value(py::handle value, const std::string& name) {
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  if (PyBool_Check(value.ptr())) throw py::type_error("memory value " + name + " must be a number");
  if (PyIndex_Check(value.ptr())) return std::to_string(whole(value, "memory value " + name));
  if (PyNumber_Check(value.ptr())) return shown(number(value, "memory value " + name));
  if (py::isinstance<py::iterable>(value) && !is_text_or_bytes(value)) {
    std::string joined;
    for (const py::object& item : number_items(value, "memory value " + name)) {
      if (!joined.empty()) joined += ',';
      joined += shown(number(item, "memory value " + name));
    }
    return joined;
  }
  throw py::type_error("memory value " + name + " must be a number, a str or a list of numbers");
}


PyObject* resolution_warning = nullptr;  // brivel.ResolutionWarning

std::optional<double> timeout_arg(py::handle value) {
  if (value.is_none()) return std::nullopt;
  const double seconds = number(value, "timeout");
  if (seconds < 0) throw py::value_error("timeout must be 0 or more seconds, not " + shown(seconds));
  return seconds;
}

// ---- Status, Subscription, Scan --------------------------------------------------------

struct Status {
  StatusPtr core;
};

// The blocking form of a call waits; the other gives its Status.
py::object finish(StatusPtr core, bool wait) {
  if (wait) return core->wait(std::nullopt);
  return py::cast(Status{std::move(core)});
}

struct Subscription {
  std::shared_ptr<Relay> relay;
  std::shared_ptr<Subscriber> subscriber;
  bool active = true;

  void unsubscribe() {
    if (!active) return;
    active = false;
    relay->unsubscribe(subscriber);
  }
};

struct Scan {
  py::object owner;  // keeps the Monochromator alive while the scan runs
  Monochromator* instrument = nullptr;
  ScanPlan plan;
  long long next = 0;

  py::object advance() {
    if (next >= plan.count) throw py::stop_iteration();
    const double target = plan.at(next);
    try {
      ++next;
      return instrument->move_to(target)->wait(std::nullopt);
    } catch (...) {
      next = plan.count;  // as a generator, a scan that raised is over
      throw;
    }
  }
};

// ---- docstrings -------------------------------------------------------------------------

const char* const kModuleDoc = R"doc(The compiled part of the package brivel (import brivel instead).)doc";

const char* const kClassDoc = R"doc(A monochromator on a serial port.

Monochromator(device=None, *, com=None, confirm=None)

    device   the serial device: a path ("/dev/ttyUSB0", "/dev/serial/by-id/...") or a
             name under /dev ("ttyUSB0"). It wins over BRIVEL_COM<n> in the environment.
    com      instead of a device: the port number 1 to 16, mapped to its device as the
             control always does (BRIVEL_COM<n>, the mapping file, USB adapters,
             /dev/ttyS<n-1>); brivel.list_ports() shows the numbers. Neither given: port 1.
    confirm  answers the questions the control would ask an operator (before
             repositioning, switching the filter wheel, writing settings): None answers
             yes (the script asked for the operation), True or False answers always
             that, a callable gets the question's text and answers with its truth value.
             A question answered no cancels the operation without an error.

Nothing is opened until open() or a with block:

    with brivel.Monochromator("/dev/ttyUSB0") as m:
        m.move_to(546.07)

The control runs on a thread of its own: a Monochromator may be used from any thread.
One operation runs at a time; starting another meanwhile raises BusyError. Moves,
repositioning and refresh take wait=False to return a brivel.Status at once.
)doc";

const char* const kSimulatedDoc = R"doc(simulated(*, faults: Iterable[str] = (), rate: float | None = None, memory: dict | None = None, confirm=None) -> Monochromator

A monochromator on the simulated controller, for trying things without an instrument.

The simulated controller runs inside this process on a pseudo-terminal, and the
control reaches it through the real serial port, as it would an instrument. It keeps
running as long as the Monochromator exists, so the port can be closed and opened again.

    faults   what the controller does wrong, by name: "silent", "silent-after=N",
             "wrong-letter", "wrong-letter=LETTERS", "garble=P", "drop=P", "stall",
             "no-ack", "vanish", "slow=SECONDS", "seed=N"
    rate     motor steps per second per unit of speed (the simulator's own is 40:
             10000 steps, 62.5 nm, a second at speed 250); a large rate makes moves quick
    memory   the instrument's memory, by name: year, instrument_no, grating (code),
             zero (steps), blaze (nm), power_on (steps), power_on_nm, type, speed,
             filter_state, filter_a, filter_b, filters (start wavelengths, nm)
    confirm  as for Monochromator()

The factory instrument: number 12345, year 21, 1200 lines/mm (0.00625 nm per step),
zero offset 1000 steps, power-on wavelength 500 nm, filter wheel on with filters at
350, 650 and 800 nm.
)doc";

const char* const kStatusDoc = R"doc(An operation started with wait=False.

    status = m.move_to(700, wait=False)
    ...                                  # the grating moves meanwhile
    nm = status.wait()                   # the result, or the operation's exception

done         True once the operation has ended (and wait() returns at once)
wait(timeout=None)
             waits for the end; gives the result (the wavelength reached for moves,
             None otherwise) or raises what the blocking call would raise; TimeoutError
             when `timeout` seconds pass first. Ctrl-C while waiting stops the operation.
add_callback(fn)
             calls fn(status) once when the operation has ended, on the package's
             callback thread (at once, on this thread, when it already has)
cancel()     the stop button for this operation: the motor stops and wait() raises
             StoppedError; nothing happens once it has ended

A Status is awaitable: `nm = await m.move_to(700, wait=False)` in a coroutine; a
cancelled task stops the operation.
)doc";

// The state every property reads, as of the last report or operation end.
State state_of(const Monochromator& x) { return x.state(); }

py::object python_value(const interface::Value& value) {
  return std::visit([](const auto& v) -> py::object { return py::cast(v); }, value);
}

}  // namespace

PYBIND11_MODULE(_brivel, m) {
  // Docstrings begin with a signature in Python's terms (pybind11's would show the C++
  // argument types); the stubs in _brivel.pyi carry the full types for editors.
  py::options options;
  options.disable_function_signatures();
  m.doc() = kModuleDoc;
  m.attr("__version__") = BRIVEL_VERSION;
  brivel::pyhost::define_errors(m);
  brivel::pyhost::define_ports(m);
  // At interpreter exit: the instruments still open stop and close, then what the
  // callback thread holds is delivered and the thread ends.
  m.def("_shutdown", [] {
    Host::shut_down_all();
    brivel::pyhost::dispatcher::stop();
  }, "_shutdown() -> None\n\nCloses every instrument and stops the callback thread (at interpreter exit).");
  py::module_::import("atexit").attr("register")(m.attr("_shutdown"));
  resolution_warning = PyErr_NewExceptionWithDoc(
      "brivel.ResolutionWarning",
      "A request finer than the instrument can follow (a scan step below one motor step).",
      PyExc_UserWarning, nullptr);
  if (!resolution_warning) throw py::error_already_set();
  m.add_object("ResolutionWarning", py::handle(resolution_warning));

  m.def(
      "_report_lag",
      [] {
        const std::optional<double> lag = brivel::pyhost::report_lag();
        return lag ? py::object(py::float_(*lag)) : py::object(py::none());
      },
      "_report_lag() -> float | None\n\n"
      "Inside a position subscriber: the seconds since the control's thread received the\n"
      "report being delivered (for benchmarks); None elsewhere.");

  py::class_<Message>(m, "Message",
                      "A message of the control: what an operator's message box would show.")
      .def_property_readonly("kind", [](const Message& x) { return brivel::to_string(x.kind); },
                             "'information', 'success', 'question', 'refusal' or 'failure'")
      .def_readonly("text", &Message::text, "the text in the language in force")
      .def_readonly("title", &Message::title, "the title in the language in force")
      .def_readonly("text_en", &Message::text_en, "the English text")
      .def_readonly("text_zh", &Message::text_zh, "the Chinese text")
      .def_readonly("title_en", &Message::title_en, "the English title")
      .def_readonly("title_zh", &Message::title_zh, "the Chinese title")
      .def("__repr__", [](const Message& x) {
        return "<brivel.Message " + std::string(brivel::to_string(x.kind)) + ": " +
               py::repr(py::str(x.text)).cast<std::string>() + ">";
      });

  py::class_<Status>(m, "Status", kStatusDoc)
      .def_property_readonly("done", [](const Status& s) { return s.core->done(); },
                             "True once the operation has ended.")
      .def_property_readonly("operation", [](const Status& s) { return s.core->operation(); },
                             "The method that started it, e.g. 'move_to'.")
      .def("wait", [](Status& s, py::object timeout) { return s.core->wait(timeout_arg(timeout)); },
           py::arg("timeout") = py::none(),
           "wait(timeout: float | None = None) -> Any\n\n"
           "Waits for the end; gives the result or raises the operation's exception.")
      .def("cancel", [](Status& s) { s.core->cancel(); },
           "cancel() -> None\n\nStops the operation as the stop button does (wait() then raises StoppedError).")
      .def("add_callback",
           [](py::object self, py::object fn) {
             if (!PyCallable_Check(fn.ptr())) throw py::type_error("the callback must be callable, not " + type_name(fn));
             self.cast<Status&>().core->add_callback(fn, self);
           },
           py::arg("fn"),
           "add_callback(fn: Callable[[Status], object]) -> None\n\n"
           "Calls fn(status) once when the operation has ended.")
      .def("__await__",
           [](py::object self) {
             return py::module_::import("brivel._support").attr("until_done")(self).attr("__await__")();
           },
           "__await__() -> Generator\n\nawait status: the result of wait(), without blocking the event loop.")
      .def("__repr__", [](const Status& s) {
        return "<brivel.Status " + s.core->operation() + (s.core->done() ? " done>" : " running>");
      });

  py::class_<Subscription>(m, "Subscription",
                           "A subscription to position reports (Monochromator.subscribe()); also a\n"
                           "context manager that unsubscribes when the block ends.")
      .def("unsubscribe", [](Subscription& s) { s.unsubscribe(); },
           "unsubscribe() -> None\n\n"
           "After it returns the callable is not called again (a call in progress on another\n"
           "thread has ended).")
      .def_property_readonly("active", [](const Subscription& s) { return s.active; },
                             "True until unsubscribe().")
      .def("__enter__", [](py::object self) { return self; }, "__enter__() -> Subscription")
      .def("__exit__", [](Subscription& s, py::args) {
        s.unsubscribe();
        return false;
      }, "__exit__(*exc) -> False\n\nunsubscribe().");

  py::class_<Scan>(m, "Scan", "The moves of Monochromator.scan(), one per iteration.")
      .def("__iter__", [](py::object self) { return self; }, "__iter__() -> Scan")
      .def("__next__", &Scan::advance,
           "__next__() -> float\n\n"
           "Moves to the next wavelength and gives the wavelength the controller reports.")
      .def("__len__", [](const Scan& s) { return s.plan.count; }, "__len__() -> int\n\nThe number of wavelengths.");

  py::class_<Monochromator> cls(m, "Monochromator", kClassDoc);

  // ---- creation ---------------------------------------------------------------------------
  cls.def(py::init([](py::object device, py::object com, py::object confirm) {
            confirm = confirm_arg(confirm);
            if (!device.is_none() && !com.is_none())
              throw py::value_error("give a device or a port number (com), not both");
            std::string pinned;
            int number = 1;
            if (!device.is_none()) pinned = path(device, "device");
            if (!com.is_none()) number = whole_within(com, "com", Limits::kFirstPort, Limits::kLastPort);
            return std::make_unique<Monochromator>(std::make_unique<Host>(pinned, number, std::move(confirm)));
          }),
          py::arg("device") = py::none(), py::kw_only(), py::arg("com") = py::none(),
          py::arg("confirm") = py::none(),
          "__init__(device: str | os.PathLike | None = None, *, com: int | None = None,\n"
          "         confirm: None | bool | Callable[[str], object] = None)");

  cls.def_static(
      "simulated",
      [](py::object faults, py::object rate, py::object memory, py::object confirm) {
        confirm = confirm_arg(confirm);
        brivel::pyhost::SimulatorSettings settings;
        if (is_text_or_bytes(faults)) throw py::type_error("faults must be a list of names, not " + type_name(faults));
        for (py::handle fault : faults) {
          if (!py::isinstance<py::str>(fault)) throw py::type_error("a fault is a name (str), not " + type_name(fault));
          settings.faults.push_back(fault.cast<std::string>());
        }
        if (!rate.is_none()) {
          settings.rate = number(rate, "rate");
          if (settings.rate <= 0) throw py::value_error("rate must be above 0, not " + shown(settings.rate));
        }
        if (!memory.is_none()) {
          if (!py::isinstance<py::dict>(memory)) throw py::type_error("memory must be a dict, not " + type_name(memory));
          for (auto [key, value] : memory.cast<py::dict>()) {
            if (!py::isinstance<py::str>(key)) throw py::type_error("memory names are str");
            std::string name = key.cast<std::string>();
            for (char& c : name)
              if (c == '_') c = '-';
            settings.memory.emplace_back(name, memory_value(value, name));
          }
        }
        try {
          return std::make_unique<Monochromator>(Host::simulated(settings, std::move(confirm)));
        } catch (const std::invalid_argument& bad) {
          throw py::value_error(bad.what());
        } catch (const brivel::RuntimeFailure& failure) {
          brivel::pyhost::ErrorInfo info;
          info.type = brivel::pyhost::ErrorType::Connection;
          info.operation = "simulated";
          info.text_en = info.text_zh = failure.what();
          brivel::pyhost::raise_error(info);
        }
      },
      py::kw_only(), py::arg("faults") = py::tuple(), py::arg("rate") = py::none(),
      py::arg("memory") = py::none(), py::arg("confirm") = py::none(), kSimulatedDoc);

  // ---- connection ---------------------------------------------------------------------------
  cls.def("open", [](Monochromator& x) { x.open()->wait(std::nullopt); },
          "open() -> None\n\n"
          "Opens the port and identifies the instrument (and reads its filter settings).\n\n"
          "Raises brivel.ConnectionError (with .device and .reason) when it ends not connected.");
  cls.def("close", [](Monochromator& x) { x.close()->wait(std::nullopt); },
          "close() -> None\n\n"
          "Stops what runs (as the stop button does), then closes the port.");
  cls.def("__enter__", [](py::object self) {
    self.cast<Monochromator&>().open()->wait(std::nullopt);
    return self;
  }, "__enter__() -> Monochromator\n\nopen(), then the instrument.");
  cls.def("__exit__", [](Monochromator& x, py::args) {
    x.close()->wait(std::nullopt);
    return false;
  }, "__exit__(*exc) -> False\n\nclose(), also when the block raised.");
  cls.def("__repr__", [](const Monochromator& x) {
    const State s = state_of(x);
    std::string state = s.connected ? "connected, " + brivel::text::format(s.wavelength, "0.00") + " nm"
                                    : "not connected";
    return "<brivel.Monochromator " + x.host().device() + " " + state + ">";
  }, "__repr__() -> str");

  // ---- motion -------------------------------------------------------------------------------------
  cls.def("move_to",
          [](Monochromator& x, py::object nm, bool wait) { return finish(x.move_to(wavelength(nm)), wait); },
          py::arg("nm"), py::kw_only(), py::arg("wait") = true,
          "move_to(nm: float, *, wait: bool = True) -> float | Status\n\n"
          "Moves the grating to `nm` (0 to 99999) and follows the motion until it is over.\n\n"
          "Returns the wavelength the controller reports at the end (with wait=False a\n"
          "brivel.Status at once). Raises OperationError when the grating stops more than a\n"
          "motor step away from the target (a travel end, a stall), saying where it stopped.");
  cls.def("move_by",
          [](Monochromator& x, py::object nm, bool wait) {
            return finish(x.move_by(within(nm, "distance", -Limits::kHighestWavelength, Limits::kHighestWavelength)),
                          wait);
          },
          py::arg("nm"), py::kw_only(), py::arg("wait") = true,
          "move_by(nm: float, *, wait: bool = True) -> float | Status\n\n"
          "Moves the grating by `nm` (negative: towards shorter wavelengths), as the up and\n"
          "down buttons do with that increment. Returns the wavelength reported at the end.\n"
          "Raises OutOfRangeError for an increment beyond the buttons' range.");
  cls.def("stop", &Monochromator::stop,
          "stop() -> None\n\n"
          "The stop button: ends the operation in flight (its wait() raises StoppedError)\n"
          "after stopping the motor. From any thread.");
  cls.def("reposition", [](Monochromator& x, bool wait) { return finish(x.reposition(), wait); },
          py::kw_only(), py::arg("wait") = true,
          "reposition(*, wait: bool = True) -> None | Status\n\n"
          "Sends the grating back to its reference position, then reads the instrument's\n"
          "data again (asks confirm first). May take minutes; Ctrl-C stops it.");
  cls.def("refresh", [](Monochromator& x) { x.refresh()->wait(std::nullopt); },
          "refresh() -> None\n\nReads the instrument's data again.");
  cls.def(
      "subscribe",
      [](Monochromator& x, py::object fn) {
        if (!PyCallable_Check(fn.ptr())) throw py::type_error("the subscriber must be callable, not " + type_name(fn));
        Subscription s;
        s.relay = x.host().relay();
        s.subscriber = s.relay->subscribe(fn);
        return s;
      },
      py::arg("fn"),
      "subscribe(fn: Callable[[float], object]) -> Subscription\n\n"
      "Calls fn(nm) for every position report, on the package's callback thread, in\n"
      "order. Returns a Subscription: .unsubscribe(), or use it in a with block.");
  cls.def(
      "scan",
      [](py::object self, py::object start, py::object stop, py::object step) {
        Monochromator& x = self.cast<Monochromator&>();
        const double a = wavelength(start, "start");
        const double b = wavelength(stop, "stop");
        const double d = number(step, "step");
        if (!state_of(x).connected) x.host().raise_not_connected("scan");
        Scan scan;
        try {
          scan.plan = ScanPlan::make(a, b, d);
        } catch (const std::invalid_argument& bad) {
          throw py::value_error(bad.what());
        }
        // Points closer than one motor step land on the same position.
        const double resolution = state_of(x).step;
        if (resolution > 0 && std::fabs(d) < resolution * (1 - 1e-9) && scan.plan.count > 1) {
          const std::string text = "the step of " + shown(std::fabs(d)) +
                                   " nm is finer than the instrument's step of " + shown(resolution) +
                                   " nm: neighbouring points may land on the same position";
          if (PyErr_WarnEx(resolution_warning, text.c_str(), 1) != 0) throw py::error_already_set();
        }
        scan.owner = self;
        scan.instrument = &x;
        return scan;
      },
      py::arg("start"), py::arg("stop"), py::arg("step") = 1.0,
      "scan(start: float, stop: float, step: float = 1.0) -> Scan\n\n"
      "Moves to start, start + step, ... up to stop (included when a step lands on it),\n"
      "one move per iteration, and yields the wavelength the controller reports after\n"
      "each move:\n\n"
      "    for nm in m.scan(400, 700, 1):\n"
      "        counts = detector.read()\n\n"
      "A negative step scans downwards; a step larger than the span gives start alone.\n"
      "Arguments are checked before the first move; a step finer than the instrument's\n"
      "motor step warns (brivel.ResolutionWarning).");

  // ---- properties -----------------------------------------------------------------------------
  cls.def_property_readonly("wavelength", [](const Monochromator& x) { return state_of(x).wavelength; },
                            "The current wavelength, nm (0.01 nm), as the controller last reported it.");
  cls.def_property_readonly("step_nm", [](const Monochromator& x) { return state_of(x).step; },
                            "Wavelength per motor step, nm (0 until the grating is known).");
  cls.def_property_readonly("grating_lines", [](const Monochromator& x) { return state_of(x).grating_lines; },
                            "Grating line density, lines per mm.");
  cls.def_property_readonly("instrument_no", [](const Monochromator& x) { return state_of(x).instrument_no; },
                            "The instrument number.");
  cls.def_property_readonly("zero_offset", [](const Monochromator& x) { return state_of(x).zero_offset; },
                            "The zero offset, motor steps.");
  cls.def_property_readonly("year", [](const Monochromator& x) { return state_of(x).year; },
                            "The manufacture year as the instrument gives it (two digits, e.g. '21').");
  cls.def_property_readonly("busy", [](const Monochromator& x) { return state_of(x).busy; },
                            "True while an operation runs (or an exchange with the controller is in progress).");
  cls.def_property_readonly("connected", [](const Monochromator& x) { return state_of(x).connected; },
                            "True when the instrument is connected and identified.");
  cls.def_property_readonly("com", [](const Monochromator& x) { return state_of(x).port_number; },
                            "The port number in use (1 to 16).");
  cls.def_property_readonly("device", [](const Monochromator& x) { return x.host().device(); },
                            "The serial device opened (or that the port number maps to).");
  cls.def_property_readonly("is_simulated", [](const Monochromator& x) { return x.host().is_simulated(); },
                            "True for Monochromator.simulated().");
  cls.def_property_readonly(
      "simulator_log",
      [](const Monochromator& x) -> py::object {
        if (!x.host().is_simulated()) return py::none();
        return py::cast(x.host().simulator_log());
      },
      "For Monochromator.simulated(): every command the simulated controller has received,\n"
      "as text like 'W 00 01 86 A0' (letter, then the argument bytes in hex). None for a\n"
      "real instrument.");
  cls.def_property(
      "speed", [](const Monochromator& x) { return state_of(x).speed; },
      [](Monochromator& x, py::object v) {
        const StatusPtr status = x.set_speed(whole_within(v, "speed", Limits::kSlowest, Limits::kFastest));
        try {
          status->wait(std::nullopt);
        } catch (...) {
          x.host().read_unshared(*interface::find_property("IntSpeed"));
          throw;
        }
        x.host().read_unshared(*interface::find_property("IntSpeed"));
      },
      "Motor speed, 1 to 250, as the controller last reported it. Setting it sends it and\n"
      "reads it back (OperationError when the controller does not confirm it).");
  cls.def_property(
      "power_on_wavelength", [](const Monochromator& x) { return state_of(x).power_on; },
      [](Monochromator& x, py::object v) {
        x.set_power_on_wavelength(within(v, "power-on wavelength", 0, Limits::kHighestPowerOn))
            ->wait(std::nullopt);
      },
      "The wavelength the instrument goes to when switched on, nm (0 to 6553.5). Setting\n"
      "it asks confirm, writes it and reads back what the controller keeps (whole steps).");
  cls.def_property(
      "language", [](const Monochromator& x) { return std::string(state_of(x).language == 0 ? "zh" : "en"); },
      [](Monochromator& x, py::object v) {
        if (!py::isinstance<py::str>(v)) throw py::type_error("language must be 'en' or 'zh', not " + type_name(v));
        const std::string language = v.cast<std::string>();
        if (language != "en" && language != "zh")
          throw py::value_error("language must be 'en' or 'zh', not " + py::repr(v).cast<std::string>());
        x.set_language(language)->wait(std::nullopt);
      },
      "'en' or 'zh': the language of the messages (and of BrivelError.text) of this\n"
      "instrument.");
  cls.def_property(
      "filter_wheel",
      [](const Monochromator& x) -> py::object {
        const int filter_state = state_of(x).filter_state;
        if (filter_state == 2) return py::none();
        return py::bool_(filter_state == 1);
      },
      [](Monochromator& x, py::object v) { x.set_filter_wheel(on_off(v, "filter_wheel"))->wait(std::nullopt); },
      "True when the filter wheel is in use, False when not, None when it is not set up.\n"
      "Setting it asks confirm, switches the wheel and reads its settings back.");
  cls.def_property(
      "filters", [](const Monochromator& x) { return state_of(x).filters; },
      [](Monochromator& x, py::object v) {
        std::vector<double> starts;
        for (const py::object& item : number_items(v, "filters"))
          starts.push_back(within(item, "a filter's start wavelength", 0, Limits::kHighestFilterStart));
        if (starts.empty() || starts.size() > static_cast<std::size_t>(Limits::kMostFilters))
          throw py::value_error("the filter wheel takes 1 to 6 filters, not " + std::to_string(starts.size()));
        x.set_filters(starts)->wait(std::nullopt);
      },
      "The filters' start wavelengths, nm, as last read back from the controller (empty\n"
      "when the wheel is not set up). Setting it (1 to 6 values, 0 to 50000) asks confirm,\n"
      "writes the table (sorted) and reads it back.");

  // ---- parameters -------------------------------------------------------------------------------
  cls.def("save_parameters", [](Monochromator& x, py::object p) { x.save_parameters(path(p))->wait(std::nullopt); },
          py::arg("path"),
          "save_parameters(path: str | os.PathLike) -> None\n\n"
          "Writes the instrument's parameter set (two lines of text) to `path`.");
  cls.def("load_parameters",
          [](Monochromator& x, py::object p) {
            const std::string file = path(p);
            if (!state_of(x).connected) x.host().raise_not_connected("load_parameters");
            // A file that cannot be read is the script's error: raised as Python raises it.
            py::object content;
            {
              py::object handle = py::module_::import("builtins").attr("open")(file, "rb");
              try {
                // More than any parameter file: enough to tell it is none.
                content = handle.attr("read")(brivel::parameters::kLargestParameterFile + 1);
              } catch (...) {
                handle.attr("close")();
                throw;
              }
              handle.attr("close")();
            }
            // Checked whole before anything is sent: a file that is no parameter file
            // names its first problem and sends nothing.
            const std::string bytes = content.cast<std::string>();
            const std::optional<std::string> problem = brivel::parameters::check_parameter_text(bytes);
            if (problem) throw py::value_error(file + " is no parameter file: " + *problem + "; nothing was sent");
            x.load_parameters(file)->wait(std::nullopt);
          },
          py::arg("path"),
          "load_parameters(path: str | os.PathLike) -> None\n\n"
          "Downloads a parameter file into the instrument, which then returns to its\n"
          "reference position, resets, and is connected again. The file is checked first:\n"
          "one that is not a parameter file raises ValueError naming the line and field of\n"
          "its first problem, and nothing is sent. Raises OperationError (its detail says\n"
          "what had already been written) when the download stops.");

  // ---- the control's own member names, for scripts ported from a host program ------------------
  // From the interface's tables: each method and property under its own name.
  for (const interface::Method& m : interface::kMethods) {
    const interface::Method* method = &m;
    std::string doc = std::string(m.name) + "(";
    if (m.argument == interface::Argument::Wavelength) doc += std::string(m.parameter) + ": float";
    if (m.argument == interface::Argument::Path) doc += std::string(m.parameter) + ": str | os.PathLike";
    doc += ") -> None\n\n" + std::string(m.summary);
    if (std::string_view(m.name) == "CloseCom") {
      // As close(): what runs is stopped first.
      cls.def(m.name, [](Monochromator& x) { x.close()->wait(std::nullopt); }, doc.c_str());
      continue;
    }
    const auto run = [method](Monochromator& x, interface::Value argument) {
      x.submit(method->name, [method, argument](Control& c) { interface::call(c, *method, argument); },
               method->how, method->exclusive)
          ->wait(std::nullopt);
    };
    switch (m.argument) {
      case interface::Argument::None:
        cls.def(m.name, [run](Monochromator& x) { run(x, {}); }, doc.c_str());
        break;
      case interface::Argument::Wavelength:
        cls.def(m.name, [run, method](Monochromator& x, py::object nm) { run(x, number(nm, method->parameter)); },
                py::arg(m.parameter), doc.c_str());
        break;
      case interface::Argument::Path:
        cls.def(m.name, [run, method](Monochromator& x, py::object p) { run(x, path(p, method->parameter)); },
                py::arg(m.parameter), doc.c_str());
        break;
    }
  }
  for (const interface::Property& p : interface::kProperties) {
    const interface::Property* property = &p;
    const auto get = [property](const Monochromator& x) {
      return python_value(property->from_state ? property->from_state(state_of(x)) : x.host().unshared(*property));
    };
    if (!p.set) {
      cls.def_property_readonly(p.name, get, p.summary);
      continue;
    }
    cls.def_property(p.name, get, [property](Monochromator& x, py::object v) {
      const interface::Value value = property->type == interface::Type::Double
                                         ? interface::Value(number(v, property->name))
                                         : interface::Value(static_cast<std::int32_t>(int16(v, property->name)));
      const StatusPtr status = x.submit(property->name, [property, value](Control& c) {
        interface::set(c, *property, value);
      }, Judge::Messages, !property->while_busy);
      if (property->from_state) {
        status->wait(std::nullopt);
        return;
      }
      try {
        status->wait(std::nullopt);
      } catch (...) {
        x.host().read_unshared(*property);
        throw;
      }
      x.host().read_unshared(*property);
    }, p.summary);
  }
}
