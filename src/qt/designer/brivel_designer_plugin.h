#pragma once
// The Brivel control in Qt Designer's widget box: group "Brivel", with its own icon.
// A form that holds it includes <Brivel.h> and links Brivelocx; its designable
// properties (IntUseCom, IntLanguage, hostMessages, messageTimeout) are set in the
// property editor. Values outside the control's ranges follow the control's own
// rules when the form is loaded (a port number outside 1..16 is ignored).

#include <QObject>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

class BrivelDesignerPlugin : public QObject, public QDesignerCustomWidgetInterface {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QDesignerCustomWidgetInterface")
  Q_INTERFACES(QDesignerCustomWidgetInterface)

 public:
  explicit BrivelDesignerPlugin(QObject* parent = nullptr);

  QString name() const override;
  QString group() const override;
  QString toolTip() const override;
  QString whatsThis() const override;
  QString includeFile() const override;
  QIcon icon() const override;
  bool isContainer() const override;
  QWidget* createWidget(QWidget* parent) override;
  bool isInitialized() const override;
  void initialize(QDesignerFormEditorInterface* core) override;
  QString domXml() const override;

 private:
  bool initialized_ = false;
};
