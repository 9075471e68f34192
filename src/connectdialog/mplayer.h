// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>

#include <set>

class AnswerRow;
struct FoundGame;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class RouterRow;
class Session;
class StatusLine;

// The connection dialog: who you are, how often your position goes out,
// whether this copy hosts or joins, and where. OK starts or stops the
// connection; the session's socket events finish what OK started. The
// dialog shows what the session says and hands it the player's choices.
//
// While the dialog exists, the games that other copies host on the network
// are entries of the address list.
class mplayer final : public QDialog {
    Q_OBJECT

public:
    explicit mplayer(Session& session, QWidget* parent = nullptr);
    ~mplayer() override;

    // Esc is Cancel.
    void reject() override;

protected:
    // The close box throws away what was typed: the dialog opens as new next time.
    void closeEvent(QCloseEvent* event) override;
    // Opens in the middle of the screen, not over the game's window.
    void showEvent(QShowEvent* event) override;

private:
    void cmdOK_Click();
    void cmdCancel_Click();
    // An entry of the address list was chosen, with the mouse or the arrow keys.
    void adress_Click(int index);
    void ToggleHost();
    void ToggleJoin();
    void StartHost();
    void StartJoin();
    void StopConnection();
    void setDesignTexts();
    void gameAppeared(const FoundGame& game);
    void gameVanished(const FoundGame& game);
    FoundGame gameAt(int row) const;
    int rowFor(const FoundGame& game) const;
    int entryWidth(int row) const;
    void fitList();
    void fitHeight();
    void showOkText();

    // Each control has its name here as its object name too.
    QLabel* Label2;
    QLineEdit* username;
    QLabel* Label1;
    QLineEdit* update;
    QLabel* lblLabels[2];
    // Editable: "localhost" first, then the games found.
    QComboBox* adress;
    QLineEdit* port;
    QRadioButton* host;
    QRadioButton* join;
    StatusLine* status;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
    // Below the buttons: the home router's part in hosting.
    RouterRow* router;
    // Below that while an invitation waits for an answer or a join answers one.
    AnswerRow* answerRow;

    Session& m_session;
    std::multiset<int> m_entryWidths; // of every entry, to fit the list to the widest
    bool m_placed = false;
};
