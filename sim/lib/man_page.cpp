#include "man_page.h"

namespace brivel::man {

std::string escape(const std::string& text) {
  std::string out;
  bool bold = false;
  for (char c : text) {
    if (c == '\\') out += "\\e";
    else if (c == '-') out += "\\-";
    else if (c == '`') {
      out += bold ? "\\fR" : "\\fB";
      bold = !bold;
    } else out += c;
  }
  if (bold) out += "\\fR";
  // A line that begins with a control character would be read as a request.
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  for (std::size_t at = out.find('\n'); at != std::string::npos; at = out.find('\n', at + 1))
    if (at + 1 < out.size() && (out[at + 1] == '.' || out[at + 1] == '\'')) out.insert(at + 1, "\\&");
  return out;
}

Page::Page(std::ostream& out, const std::string& name, const std::string& version,
           const std::string& summary)
    : out_(out), name_(name) {
  out_ << ".TH " << escape(name) << " 1 \"\" \"" << escape(name + " " + version)
       << "\" \"User Commands\"\n";
  section("NAME");
  out_ << escape(name) << " \\- " << escape(summary) << '\n';
}

void Page::section(const std::string& title) { out_ << ".SH \"" << escape(title) << "\"\n"; }
void Page::subsection(const std::string& title) { out_ << ".SS \"" << escape(title) << "\"\n"; }
void Page::paragraph(const std::string& text) { out_ << ".PP\n" << escape(text) << '\n'; }

void Page::synopsis(const std::string& line) {
  // The program's name in bold, the rest as it stands.
  std::string rest = line;
  if (rest.rfind(name_, 0) == 0) rest = rest.substr(name_.size());
  out_ << ".br\n\\fB" << escape(name_) << "\\fR" << escape(rest) << '\n';
}

void Page::item(const std::string& tag, const std::string& text) {
  out_ << ".TP\n\\fB" << escape(tag) << "\\fR\n" << escape(text) << '\n';
}

void Page::example(const std::vector<std::string>& lines) {
  out_ << ".PP\n.RS 4\n.nf\n";
  for (const std::string& line : lines) out_ << escape(line) << '\n';
  out_ << ".fi\n.RE\n";
}

}  // namespace brivel::man
