#ifndef DIALOGSETUP_H
#define DIALOGSETUP_H

#include <QDialog>

class Controller;
class QSpinBox;

namespace Ui {
class DialogSetup;
}

// Full-screen dialog that sets the terminal's static IPv4 address, one spin box
// per octet. Touching a field shows large arrows on that field only.
class DialogSetup : public QDialog
{
    Q_OBJECT
public:
    explicit DialogSetup(QWidget *parent);
    ~DialogSetup() override;

    void SetController(Controller *controller);

    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void on_btnApply_clicked();
    void on_btnCancel_clicked();

private:
    void ShowSpinArrows(QSpinBox *box);
    void HideSpinArrows(QSpinBox *box);

    Ui::DialogSetup *ui;
    Controller *ctrl;
    quint32 ipAddress;
    bool exitForApply;
};

#endif
