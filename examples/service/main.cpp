// A service without a window: connect, move to 700 nm while printing the position,
// stop after two seconds if still moving. Usage: brivel-service-example DEVICE
#include <BrivelController.h>
#include <QCoreApplication>
#include <QTimer>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  BrivelController mono(argc > 1 ? argv[1] : "/dev/ttyUSB0");  // the control on its own thread
  QObject::connect(&mono, &BrivelController::positionReported, [](double nm) { qInfo("%.2f nm", nm); });
  BrivelOperation* open = mono.open();
  QObject::connect(open, &BrivelOperation::finished, [&](bool ok) {
    if (!ok) return qWarning() << open->text(), app.exit(1);
    BrivelOperation* move = mono.moveTo(700);  // returns at once
    QObject::connect(move, &BrivelOperation::finished, [&, move] {
      qInfo() << move->outcome() << move->wavelength() << move->text();
      app.quit();
    });
    QTimer::singleShot(2000, move, &BrivelOperation::cancel);  // the stop button
  });
  return app.exec();
}
