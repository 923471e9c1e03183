#pragma once
// The demo host: a main window that embeds the Brivel control and drives it only
// through its dispatch interface (property(), setProperty(), invokeMethod()), as any
// host application would. Its table shows the twelve properties live, following the
// control's change signals.

#include <QMainWindow>

class Brivel;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QSpinBox;
class QTableWidget;

class HostWindow : public QMainWindow {
 public:
  explicit HostWindow(QWidget* parent = nullptr);

  Brivel* control() const { return control_; }
  // Re-reads every property into the table (on every change signal).
  void refresh();
  // Calls a method of the interface by name and shows a failure it passed back.
  void invoke(const char* method);
  void invoke(const char* method, double argument);
  void invoke(const char* method, const QString& argument);

 private:
  QWidget* build_properties();
  QWidget* build_methods();
  QWidget* build_settings();
  void set_property(const char* name, const QVariant& value);
  void show_outcome(const QString& what);
  // Fills the device picker with the serial devices the system reports now.
  void list_devices();
  // The device the picker names: a listed device's path, or the text typed in.
  QString picked_device() const;

  Brivel* control_ = nullptr;
  QTableWidget* table_ = nullptr;
  QLabel* outcome_ = nullptr;
  QDoubleSpinBox* target_ = nullptr;
  QSpinBox* port_ = nullptr;
  QComboBox* device_ = nullptr;
  QComboBox* language_ = nullptr;
  QSpinBox* speed_ = nullptr;
  QDoubleSpinBox* open_pos_ = nullptr;
  QRadioButton* run_face_ = nullptr;
  QRadioButton* para_face_ = nullptr;
};
