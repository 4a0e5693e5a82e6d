#ifndef MAINGUI_H
#define MAINGUI_H

#include <QColor>
#include <QMainWindow>
#include <QVector>

class Controller;
class DialogSetup;
class QPropertyAnimation;
class QPushButton;
class QTimer;

namespace Ui {
class MainGui;
}

// The panel's status screen: three state images, host and device names, a
// black overlay that fades the view out after a quiet period, and four hidden
// corner buttons that feed the controller's sequences.
class MainGui : public QMainWindow
{
    Q_OBJECT
    Q_PROPERTY(QColor color READ color WRITE setColor)
public:
    enum DisplayMode { User = 0, Developer = 1 };

    explicit MainGui(QWidget *parent);
    ~MainGui() override;

    void SetController(Controller *controller);

    void setColor(QColor value);
    QColor color();

    static const int ENABLED_VIEW_TIME_MS = 20000;

signals:
    void TurnOffDisplay();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void btnSequence_clicked();
    void HideUserView();
    void HeadboxPlugged(bool plugged, QString device, short count);
    void NetworkPlugged(bool plugged);
    void ClientConnected(bool connected);
    void ShowSetup();
    void ClosedSetup();
    void HostName(QString name);
    void End();
    void AnimationFinished();

private:
    void ShowUserView();

    DialogSetup *dlgSetup;
    QPropertyAnimation *animation;
    int ris;
    QVector<QPushButton *> btnSequence;
    Ui::MainGui *ui;
    Controller *ctrl;
    DisplayMode viewMode;

protected:
    // Ends the lit period; within reach of tests, which check its length and
    // end it themselves.
    QTimer *timer;
};

#endif
