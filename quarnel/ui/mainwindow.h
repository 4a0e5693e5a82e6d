#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>

class Controller;

namespace Ui {
class MainWindow;
}

// Desktop-style log window with a tray icon whose tooltip names the plugged
// headbox and the PC that uses the terminal.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent);
    ~MainWindow() override;

    void SetController(Controller *controller);

private slots:
    void iconActivated(QSystemTrayIcon::ActivationReason reason);

public slots:
    void AddLogItem(QString item);
    void HostName(QString name);
    void HeadboxInfo(bool plugged, QString device, short count);
    void FwVer(QString text);

private:
    void ChangeTooltip();

    QSystemTrayIcon *sysTray;
    QString lastDevId;
    short lastNdevs;
    QString hostName;
    Ui::MainWindow *ui;
    Controller *ctrl;
};

#endif
