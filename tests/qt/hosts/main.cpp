// One QApplication for the run, offscreen unless another platform is chosen; QML draws in software.

#include <gtest/gtest.h>

#include <QApplication>
#include <QQuickWindow>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
