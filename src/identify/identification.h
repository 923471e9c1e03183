#pragma once
// Connecting to the instrument and identifying it, refreshing its data over an open
// connection, and closing. Identification asks the controller a fixed series of
// one-letter questions; each answer echoes the letter and carries a fixed number of
// data bytes, which fill the instrument's state and the parameter panel's fields.

#include <cstddef>
#include <string>

#include "session/session.h"

namespace brivel {

class FilterWheel;

class Identification {
 public:
  Identification(Session& session, FilterWheel& wheel) : s_(session), wheel_(wheel) {}

  // Opens the port and identifies the instrument, then reads the filter wheel's
  // settings. Never throws: a failure closes the port and tells the operator.
  void connect();
  // Closes the port; the control shows not connected. Never reports a failure.
  void close();
  // Asks the instrument's data again over the open connection (the refresh button):
  // refused while busy or not connected; a failure is shown, never passed on.
  void refresh();

 private:
  enum class Query { Ok, NoReply, WrongLetter };
  struct Step;   // one question of a read-out and what a missing or wrong answer does
  bool ask_series(const Step* series, std::size_t count, const char* operation);
  Query query(char letter, int threshold);
  void decode_answer(char letter, const char* operation);
  void open_failed(const std::string& why);   // never throws
  void show_not_connected();

  Session& s_;
  FilterWheel& wheel_;
};

}  // namespace brivel
