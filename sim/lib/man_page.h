#pragma once
// A manual page in roff (man macros), written by the programs' hidden --man option:
// the page of each program is made from the tables its --help prints, so the two never
// disagree. The build writes the pages and installs them under share/man/man1.
//
// Text is plain: roff's special characters are escaped here. In running text, words
// between backquotes (`--yes`) are set in bold.

#include <ostream>
#include <string>
#include <vector>

namespace brivel::man {

// `text` escaped for roff: backslashes, hyphens (as \-), a leading "." or "'", and
// `bold` spans.
std::string escape(const std::string& text);

class Page {
 public:
  // .TH NAME 1 "" "NAME VERSION" "User Commands"
  Page(std::ostream& out, const std::string& name, const std::string& version, const std::string& summary);
  void section(const std::string& title);                  // .SH
  void subsection(const std::string& title);               // .SS
  void paragraph(const std::string& text);                 // .PP
  void synopsis(const std::string& line);                  // one line of SYNOPSIS, bold program name
  void item(const std::string& tag, const std::string& text);  // .TP, the tag in bold
  void example(const std::vector<std::string>& lines);     // indented, no filling

 private:
  std::ostream& out_;
  std::string name_;
};

}  // namespace brivel::man
