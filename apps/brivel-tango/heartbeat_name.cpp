// The heartbeat of the event system without a database (file database or -nodb).
//
// libtango 9.3 publishes the admin device's heartbeat as
// "tango://HOST:PORT/dserver/SERVER/INSTANCE#dbase=no.heartbeat" when the server has no
// database server, while its clients subscribe to the same name without "#dbase=no".
// The clients then hear no heartbeat, declare the event channel dead after 10 s and
// drop events until they subscribe again. The supplier keeps the name in a private
// member; it is renamed here once, right after the server has made its supplier. A
// server with a database server publishes the name the clients expect and is left alone.

#include <tango.h>
#include <eventsupplier.h>

#include <string>

#include "heartbeat_name.h"

namespace brivel::tango {

namespace {

// Reaches a private data member through an explicit instantiation (access checks do
// not apply to the names in one).
template <typename Tag, typename Tag::type Member>
struct Steal {
  friend typename Tag::type member(Tag) { return Member; }
};

struct HeartbeatName {
  using type = std::string Tango::ZmqEventSupplier::*;
  friend type member(HeartbeatName);
};
template struct Steal<HeartbeatName, &Tango::ZmqEventSupplier::heartbeat_event_name>;

}  // namespace

std::string repair_heartbeat_name() {
  Tango::ZmqEventSupplier* supplier = Tango::Util::instance()->get_zmq_event_supplier();
  if (!supplier) return {};
  std::string& name = supplier->*member(HeartbeatName{});
  static const std::string kNoDatabase = "#dbase=no";
  const auto at = name.find(kNoDatabase);
  if (at != std::string::npos) name.erase(at, kNoDatabase.size());
  return name;
}

}  // namespace brivel::tango
