// brivel-tango: the monochromator as a Tango device server (class BrivelMonochromator).
//
//   brivel-tango INSTANCE [-file=FILE | -nodb -dlist DEVICE] [-ORBendPoint giop:tcp:HOST:PORT]
//
// The control runs on a thread of its own on the Qt core platform; the ORB's threads
// only start operations and read what the control last reported. See docs/tango.md.

#include <QCoreApplication>
#include <tango.h>

#include <iostream>

#include "heartbeat_name.h"

int main(int argc, char* argv[]) {
  // The control's event pump and serial port are Qt objects: the application object
  // comes first, before Tango makes any device (the control's thread is made then).
  int qt_argc = 1;
  QCoreApplication app(qt_argc, argv);
  Tango::Util* util = nullptr;
  try {
    util = Tango::Util::init(argc, argv);
    util->server_init(false);
    brivel::tango::repair_heartbeat_name();
    std::cout << "Ready to accept request" << std::endl;
    util->server_run();
  } catch (const std::bad_alloc&) {
    std::cerr << "brivel-tango: out of memory" << std::endl;
    return 1;
  } catch (const CORBA::Exception& failure) {
    Tango::Except::print_exception(failure);
    if (util) util->server_cleanup();
    return 1;
  }
  if (util) util->server_cleanup();
  return 0;
}
