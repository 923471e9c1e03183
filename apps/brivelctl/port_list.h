#pragma once
// The step "ports": the serial devices the system reports, then the device of every
// port number 1 to 16 with where it came from (see qt/core/port_map.h), then the
// mapping file. Settings that cannot be used go to `err`, one line each, naming
// their place.

#include <ostream>
#include <string>

namespace brivel::ctl {

// Gives the number of problems reported.
int print_port_list(std::ostream& out, std::ostream& err);

// Only the problems of the settings, one line each, "brivelctl: STEP: PROBLEM".
void print_port_problems(std::ostream& err, const std::string& step);

}  // namespace brivel::ctl
