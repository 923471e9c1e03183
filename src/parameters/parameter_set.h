#pragma once
// The instrument's parameter set as a file: saving what the panels show into a
// parameter file, and downloading a parameter file into the controller (then the
// controller resets and the instrument is identified again).

#include <cstdint>
#include <string>

#include "session/session.h"

namespace brivel {

class Identification;
class Motion;

class ParameterSet {
 public:
  ParameterSet(Session& session, Motion& motion, Identification& identification)
      : s_(session), motion_(motion), identification_(identification) {}

  // Writes the parameter set into `path`, replacing a file there only once the new
  // one is whole on the disk; tells the operator whether it worked.
  void save(const std::string& path);
  // Downloads the file at `path` into the controller; what stopped a download, and
  // what it had already sent, reaches the host as a note (never a box).
  void load(const std::string& path);
  // The type code of an instrument type name ("5BRV870A" -> 6); 0 for none.
  static std::int16_t type_code(const std::string& name);

 private:
  Session& s_;
  Motion& motion_;
  Identification& identification_;
};

}  // namespace brivel
