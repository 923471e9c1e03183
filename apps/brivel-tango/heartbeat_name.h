#pragma once
#include <string>

namespace brivel::tango {

// Gives the event system's heartbeat the name clients without a database listen for
// (see heartbeat_name.cpp). Call after Tango::Util::server_init(). Gives the name in
// force afterwards (empty: no event supplier).
std::string repair_heartbeat_name();

}  // namespace brivel::tango
