#include "port_list.h"

#include <algorithm>
#include <string>
#include <vector>

#include "qt/core/port_map.h"

namespace brivel::ctl {

namespace {

using Row = std::vector<std::string>;

std::string or_dash(const QString& text) { return text.isEmpty() ? "-" : text.toStdString(); }

// Columns two spaces apart; the last column is not padded.
void print_table(std::ostream& out, const std::vector<Row>& rows) {
  std::vector<std::size_t> widths;
  for (const Row& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (widths.size() <= i) widths.push_back(0);
      widths[i] = std::max(widths[i], row[i].size());
    }
  for (const Row& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    out << line << '\n';
  }
}

}  // namespace

int print_port_list(std::ostream& out, std::ostream& err) {
  const std::vector<qt::SerialDevice> devices = qt::available_serial_devices();
  if (devices.empty()) {
    out << "no serial devices found\n";
  } else {
    std::vector<Row> rows{{"DEVICE", "DESCRIPTION", "MANUFACTURER", "SERIAL", "USB"}};
    for (const qt::SerialDevice& d : devices)
      rows.push_back({or_dash(d.device), or_dash(d.description), or_dash(d.manufacturer),
                      or_dash(d.serial_number), or_dash(d.usb_id)});
    print_table(out, rows);
  }
  out << '\n';

  const qt::PortMap map = qt::current_port_map();
  std::vector<Row> rows{{"PORT", "DEVICE", "STATE", "FROM"}};
  for (const qt::PortAssignment& port : map.ports())
    rows.push_back({std::to_string(port.number), or_dash(port.device), qt::port_state(port).toStdString(),
                    qt::port_origin_text(port).toStdString()});
  print_table(out, rows);
  out << '\n'
      << "mapping file: " << qt::mapping_file_path().toStdString()
      << (qt::mapping_file_exists() ? "" : " (none)") << std::endl;

  for (const qt::PortMapProblem& problem : map.problems())
    err << "brivelctl: ports: " << problem.text().toStdString() << '\n';
  err.flush();
  return static_cast<int>(map.problems().size());
}

void print_port_problems(std::ostream& err, const std::string& step) {
  const qt::PortMap map = qt::current_port_map();
  for (const qt::PortMapProblem& problem : map.problems())
    err << "brivelctl: " << step << ": " << problem.text().toStdString() << '\n';
  err.flush();
}

}  // namespace brivel::ctl
