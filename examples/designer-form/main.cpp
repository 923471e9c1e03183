// brivel-form-host: a host whose main window is a Qt Designer form (host_window.ui)
// that holds the Brivel control; the form sets IntUseCom and IntLanguage in the
// property editor. The host's own widgets follow the control through its change
// signals.
//
//   brivel-form-host [--screenshot FILE]
//
//   --screenshot FILE  writes a picture of the window to FILE, prints the control's
//                      port and language as the form set them, and exits

#include <Brivel.h>

#include <QApplication>
#include <QMainWindow>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "ui_host_window.h"

namespace {

// The form's window with the host's reactions wired to the control.
class HostWindow : public QMainWindow {
 public:
  HostWindow() {
    ui_.setupUi(this);
    Brivel* c = ui_.brivel;
    connect(ui_.connectButton, &QPushButton::clicked, c, [c] {
      if (c->BlnMonConnectFlag()) c->CloseCom();
      else c->OpenCom();
    });
    connect(ui_.moveButton, &QPushButton::clicked, c,
            [this, c] { c->MonochromatorMoveTo(ui_.targetBox->value()); });
    connect(c, &Brivel::DblMonoWaveLenChanged, this,
            [this](double nm) { ui_.wavelengthLabel->setText(QString::number(nm, 'f', 2) + " nm"); });
    connect(c, &Brivel::BlnMonConnectFlagChanged, this, [this] { show_state(); });
    connect(c, &Brivel::BlnBusyChanged, this, [this] { show_state(); });
    connect(c, &Brivel::failed, this, [this](const QString& why) { ui_.statusLabel->setText(why); });
  }
  Brivel* control() const { return ui_.brivel; }

 private:
  void show_state() {
    const Brivel* c = ui_.brivel;
    ui_.connectButton->setText(c->BlnMonConnectFlag() ? "Disconnect" : "Connect");
    ui_.moveButton->setEnabled(c->BlnMonConnectFlag() && !c->BlnBusy());
    ui_.statusLabel->setText(!c->BlnMonConnectFlag() ? "not connected"
                             : c->BlnBusy()          ? "busy"
                                                     : "connected");
  }
  Ui::HostWindow ui_;
};

}  // namespace

int main(int argc, char** argv) {
  QString screenshot;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
      screenshot = QString::fromLocal8Bit(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: brivel-form-host [--screenshot FILE]\n");
      return 2;
    }
  }
  QApplication app(argc, argv);
  HostWindow window;
  window.show();
  if (screenshot.isEmpty()) return app.exec();

  int status = 0;
  QTimer::singleShot(0, &window, [&] {
    if (!window.grab().save(screenshot, "PNG")) status = 1;
    std::printf("brivel-form-host: IntUseCom %d, IntLanguage %d\n", window.control()->IntUseCom(),
                window.control()->IntLanguage());
    app.exit(status);
  });
  return app.exec();
}
