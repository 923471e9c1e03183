#include "host_window.h"

#include <Brivel.h>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSerialPortInfo>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

// The twelve properties, in the order the interface declares them.
constexpr const char* kProperties[] = {
    "IntUseCom",       "BlnBusy",     "BlnMonConnectFlag", "DblMonoWaveLen",
    "DblOpenPos",      "LngInstrumentNo", "IntGratingLines", "LngZeroPos",
    "IntSpeed",        "DblMonoStep", "StrYear",           "IntLanguage",
};

QString shown(const QVariant& value) {
  if (value.typeId() == QMetaType::Bool) return value.toBool() ? "True" : "False";
  if (value.typeId() == QMetaType::Double) return QString::number(value.toDouble(), 'g', 15);
  return value.toString();
}

QPushButton* button(const QString& text, QWidget* parent, std::function<void()> action) {
  auto* b = new QPushButton(text, parent);
  b->setAutoDefault(false);
  QObject::connect(b, &QPushButton::clicked, parent, std::move(action));
  return b;
}

}  // namespace

HostWindow::HostWindow(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle("Brivel demo host");
  auto* central = new QWidget(this);
  auto* columns = new QHBoxLayout(central);

  auto* left = new QVBoxLayout;
  auto* control_box = new QGroupBox("Embedded control", central);
  auto* control_layout = new QVBoxLayout(control_box);
  control_ = new Brivel(control_box);
  control_->setObjectName("control");
  control_layout->addWidget(control_, 0, Qt::AlignLeft | Qt::AlignTop);
  left->addWidget(control_box);
  left->addWidget(build_methods());
  left->addWidget(build_settings());
  left->addStretch(1);
  columns->addLayout(left);
  columns->addWidget(build_properties(), 1);
  setCentralWidget(central);

  // The table follows the control's change signals: no polling.
  const auto update = [this] { refresh(); };
  connect(control_, &Brivel::IntUseComChanged, this, update);
  connect(control_, &Brivel::BlnBusyChanged, this, update);
  connect(control_, &Brivel::BlnMonConnectFlagChanged, this, update);
  connect(control_, &Brivel::DblMonoWaveLenChanged, this, update);
  connect(control_, &Brivel::DblOpenPosChanged, this, update);
  connect(control_, &Brivel::LngInstrumentNoChanged, this, update);
  connect(control_, &Brivel::IntGratingLinesChanged, this, update);
  connect(control_, &Brivel::LngZeroPosChanged, this, update);
  connect(control_, &Brivel::IntSpeedChanged, this, update);
  connect(control_, &Brivel::DblMonoStepChanged, this, update);
  connect(control_, &Brivel::StrYearChanged, this, update);
  connect(control_, &Brivel::IntLanguageChanged, this, update);
  refresh();
}

QWidget* HostWindow::build_properties() {
  auto* box = new QGroupBox("Properties (live)", this);
  auto* layout = new QVBoxLayout(box);
  table_ = new QTableWidget(static_cast<int>(std::size(kProperties)), 2, box);
  table_->setObjectName("properties");
  table_->setHorizontalHeaderLabels({"Property", "Value"});
  table_->verticalHeader()->hide();
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionMode(QAbstractItemView::NoSelection);
  for (int row = 0; row < table_->rowCount(); ++row) {
    table_->setItem(row, 0, new QTableWidgetItem(kProperties[row]));
    table_->setItem(row, 1, new QTableWidgetItem);
  }
  table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setMinimumWidth(280);
  layout->addWidget(table_);
  outcome_ = new QLabel("Last call: none", box);
  outcome_->setObjectName("outcome");
  outcome_->setWordWrap(true);
  layout->addWidget(outcome_);
  return box;
}

QWidget* HostWindow::build_methods() {
  auto* box = new QGroupBox("Methods", this);
  auto* grid = new QGridLayout(box);
  grid->addWidget(button("OpenCom", box, [this] { invoke("OpenCom"); }), 0, 0);
  grid->addWidget(button("CloseCom", box, [this] { invoke("CloseCom"); }), 0, 1);
  grid->addWidget(button("ShowRunFace", box, [this] { invoke("ShowRunFace"); }), 0, 2);
  grid->addWidget(button("ShowParaFace", box, [this] { invoke("ShowParaFace"); }), 0, 3);

  target_ = new QDoubleSpinBox(box);
  target_->setRange(-100, 99999);
  target_->setDecimals(2);
  target_->setSuffix(" nm");
  target_->setValue(546.07);
  grid->addWidget(target_, 1, 0);
  grid->addWidget(button("MonochromatorMoveTo", box,
                         [this] { invoke("MonochromatorMoveTo", target_->value()); }),
                  1, 1);
  grid->addWidget(button("SaveParameter...", box,
                         [this] {
                           const QString path = QFileDialog::getSaveFileName(
                               this, "Save the parameter set", QString(), "Parameter files (*.txt);;All files (*)");
                           if (!path.isEmpty()) invoke("SaveParameter", path);
                         }),
                  1, 2);
  grid->addWidget(button("LoadParameter...", box,
                         [this] {
                           const QString path = QFileDialog::getOpenFileName(
                               this, "Load a parameter set", QString(), "Parameter files (*.txt);;All files (*)");
                           if (!path.isEmpty()) invoke("LoadParameter", path);
                         }),
                  1, 3);
  return box;
}

QWidget* HostWindow::build_settings() {
  auto* box = new QGroupBox("Settings", this);
  auto* form = new QFormLayout(box);

  auto* port_row = new QHBoxLayout;
  port_ = new QSpinBox(box);
  port_->setRange(1, 16);
  port_->setPrefix("port ");
  // The device picker: the serial devices the system reports, or a path typed in
  // (a pseudo-terminal, a /dev/serial/by-id link). The first entry leaves the port
  // number to its usual device (BRIVEL_COM<n>, the mapping file, the adapters).
  device_ = new QComboBox(box);
  device_->setObjectName("device");
  device_->setEditable(true);
  device_->setInsertPolicy(QComboBox::NoInsert);
  device_->setMinimumContentsLength(24);
  device_->lineEdit()->setPlaceholderText("device path, e.g. /dev/ttyUSB0");
  list_devices();
  port_row->addWidget(port_);
  port_row->addWidget(device_, 1);
  port_row->addWidget(button("Rescan", box, [this] { list_devices(); }));
  port_row->addWidget(button("Use", box, [this] {
    Brivel::setPortDevice(port_->value(), picked_device());
    set_property("IntUseCom", port_->value());
  }));
  form->addRow("IntUseCom", port_row);

  auto* language_row = new QHBoxLayout;
  language_ = new QComboBox(box);
  language_->addItem("English (1)", 1);
  language_->addItem("中文 (0)", 0);
  connect(language_, QOverload<int>::of(&QComboBox::activated), this,
          [this](int index) { set_property("IntLanguage", language_->itemData(index)); });
  language_row->addWidget(language_);
  run_face_ = new QRadioButton("Run panel", box);
  para_face_ = new QRadioButton("Parameter panel", box);
  run_face_->setChecked(true);
  connect(run_face_, &QRadioButton::clicked, this, [this] { invoke("ShowRunFace"); });
  connect(para_face_, &QRadioButton::clicked, this, [this] { invoke("ShowParaFace"); });
  language_row->addWidget(run_face_);
  language_row->addWidget(para_face_);
  language_row->addStretch(1);
  form->addRow("IntLanguage", language_row);

  auto* speed_row = new QHBoxLayout;
  speed_ = new QSpinBox(box);
  speed_->setRange(-32768, 32767);
  speed_->setValue(250);
  speed_row->addWidget(speed_);
  speed_row->addWidget(button("Set IntSpeed", box, [this] { set_property("IntSpeed", speed_->value()); }));
  open_pos_ = new QDoubleSpinBox(box);
  open_pos_->setRange(-100, 10000);
  open_pos_->setDecimals(2);
  open_pos_->setSuffix(" nm");
  speed_row->addSpacing(12);
  speed_row->addWidget(open_pos_);
  speed_row->addWidget(
      button("Set DblOpenPos", box, [this] { set_property("DblOpenPos", open_pos_->value()); }));
  speed_row->addStretch(1);
  form->addRow("IntSpeed", speed_row);
  return box;
}

void HostWindow::list_devices() {
  const QString kept = picked_device();
  device_->clear();
  device_->addItem("(the port number's own device)", QString());
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    QStringList about;
    if (!info.description().isEmpty()) about << info.description();
    if (!info.manufacturer().isEmpty()) about << info.manufacturer();
    if (!info.serialNumber().isEmpty()) about << info.serialNumber();
    const QString text = about.isEmpty() ? info.systemLocation()
                                         : QString("%1 (%2)").arg(info.systemLocation(), about.join(", "));
    device_->addItem(text, info.systemLocation());
  }
  const int again = device_->findData(kept);
  if (again >= 0)
    device_->setCurrentIndex(again);
  else if (!kept.isEmpty())
    device_->setEditText(kept);
  else
    device_->setCurrentIndex(0);
}

QString HostWindow::picked_device() const {
  if (!device_ || device_->count() == 0) return {};
  const int index = device_->currentIndex();
  const QString text = device_->currentText().trimmed();
  // A listed entry as it was chosen gives its path; anything typed is a path itself.
  if (index >= 0 && text == device_->itemText(index)) return device_->itemData(index).toString();
  return text;
}

void HostWindow::refresh() {
  for (int row = 0; row < table_->rowCount(); ++row)
    table_->item(row, 1)->setText(shown(control_->property(kProperties[row])));
  // The panel switch follows the control (the host may have switched it by a call).
  const QWidget* para = control_->childControl("FraFilterParam");
  const bool para_shown = para && !para->isHidden();
  if (para_face_->isChecked() != para_shown) (para_shown ? para_face_ : run_face_)->setChecked(true);
  const int language_index = language_->findData(control_->property("IntLanguage"));
  if (language_index >= 0 && language_index != language_->currentIndex())
    language_->setCurrentIndex(language_index);
}

void HostWindow::show_outcome(const QString& what) {
  const QString failure = control_->property("lastError").toString();
  outcome_->setText(failure.isEmpty() ? QString("Last call: %1 returned").arg(what)
                                      : QString("Last call: %1 failed: %2").arg(what, failure));
  refresh();
}

void HostWindow::set_property(const char* name, const QVariant& value) {
  control_->setProperty(name, value);
  show_outcome(QString("%1 = %2").arg(name, value.toString()));
}

void HostWindow::invoke(const char* method) {
  QMetaObject::invokeMethod(control_, method);
  show_outcome(QString("%1()").arg(method));
}

void HostWindow::invoke(const char* method, double argument) {
  QMetaObject::invokeMethod(control_, method, Q_ARG(double, argument));
  show_outcome(QString("%1(%2)").arg(method).arg(argument));
}

void HostWindow::invoke(const char* method, const QString& argument) {
  QMetaObject::invokeMethod(control_, method, Q_ARG(QString, argument));
  show_outcome(QString("%1(\"%2\")").arg(method, argument));
}
