#pragma once

#include <QDialog>

class GameTimer;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class SceneObject;
class StatusLine;
class Sock;

// The connection dialog: who you are, how often your position goes out,
// whether this copy hosts or joins, and where. OK starts or stops the
// connection; the socket's events finish what OK started.
class mplayer final : public QDialog {
    Q_OBJECT

public:
    mplayer(Sock& sock, GameTimer& mul, SceneObject& redchat, QWidget* parent = nullptr);

    QLabel* Label2;
    QLineEdit* username;
    QLabel* Label1;
    QLineEdit* update;
    QLabel* lblLabels[2];
    QLineEdit* adress;
    QLineEdit* port;
    QRadioButton* host;
    QRadioButton* join;
    StatusLine* status;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;

    void cmdOK_Click();
    void cmdCancel_Click();

    // Esc is Cancel.
    void reject() override;

protected:
    // The close box throws away what was typed: the dialog opens as new next time.
    void closeEvent(QCloseEvent* event) override;

private:
    void ToggleHost();
    void ToggleJoin();
    void StartHost();
    void StartJoin();
    void StopConnection();
    void setDesignTexts();
    void setUpdateInterval();
    bool readPort(int& value);

    Sock& m_sock;
    GameTimer& m_mul;
    SceneObject& m_redchat;
};
