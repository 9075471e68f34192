// SPDX-License-Identifier: MIT
#include "mplayer.h"

#include "answerrow.h"
#include "platform/uifont.h"
#include "platform/window.h"
#include "routerrow.h"
#include "session/session.h"
#include "statusline.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>

#include <utility>

namespace {

// What an entry of the address list holds besides its text.
constexpr int AddressRole = Qt::UserRole;
constexpr int PortRole = Qt::UserRole + 1;
constexpr int NameRole = Qt::UserRole + 2;
constexpr int WidthRole = Qt::UserRole + 3;

constexpr int RowHeight = 27;

QLabel* label(QWidget* parent, QRect geometry)
{
    auto* result = new QLabel(parent);
    result->setGeometry(geometry);
    result->setTextFormat(Qt::PlainText);
    return result;
}

QLineEdit* field(QWidget* parent, QRect geometry)
{
    auto* result = new QLineEdit(parent);
    result->setGeometry(geometry);
    return result;
}

// Typing an address works as in a plain field: nothing is completed and
// nothing typed is added to the list.
QComboBox* addressField(QWidget* parent, QRect geometry)
{
    auto* result = new QComboBox(parent);
    result->setEditable(true);
    result->setInsertPolicy(QComboBox::NoInsert);
    result->setCompleter(nullptr);
    result->setGeometry(geometry);
    result->addItem(QStringLiteral("localhost"));
    return result;
}

// Entries come and go while the player types; when the chosen one goes, the
// combo box would put another entry's text into the field. This puts back
// what was there.
class KeepTyped {
public:
    explicit KeepTyped(QComboBox* box)
        : m_edit(box->lineEdit())
        , m_text(m_edit->text())
        , m_cursor(m_edit->cursorPosition())
        , m_selectionStart(m_edit->selectionStart())
        , m_selectionLength(m_edit->selectionLength())
    {
    }
    ~KeepTyped()
    {
        if (m_edit->text() == m_text)
            return;
        m_edit->setText(m_text);
        if (m_selectionStart >= 0)
            m_edit->setSelection(m_selectionStart, m_selectionLength);
        else
            m_edit->setCursorPosition(m_cursor);
    }
    KeepTyped(const KeepTyped&) = delete;
    KeepTyped& operator=(const KeepTyped&) = delete;

private:
    QLineEdit* m_edit;
    QString m_text;
    int m_cursor;
    int m_selectionStart;
    int m_selectionLength;
};

// The stand-in for the original small font runs a little wider; a label
// whose text would run under the control beside it is narrowed to fit.
void fitWidth(QLabel* label, int width)
{
    const int advance = label->fontMetrics().horizontalAdvance(label->text());
    if (advance <= width)
        return;
    QFont narrower = label->font();
    narrower.setStretch(100 * width / advance);
    label->setFont(narrower);
}

} // namespace

mplayer::mplayer(Session& session, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
    , Label2(label(this, {8, 8, 57, 17}))
    , username(field(this, {64, 8, 105, 19}))
    , Label1(label(this, {8, 32, 153, 17}))
    , update(field(this, {152, 32, 65, 19}))
    , lblLabels{label(this, {8, 66, 72, 18}), label(this, {8, 92, 72, 18})}
    , adress(addressField(this, {86, 65, 155, 23}))
    , port(field(this, {86, 91, 155, 23}))
    , host(new QRadioButton(QStringLiteral("Host"), this))
    , join(new QRadioButton(QStringLiteral("Join"), this))
    , status(new StatusLine(this))
    , cmdOK(new QPushButton(this))
    , cmdCancel(new QPushButton(QStringLiteral("&Cancel"), this))
    , router(new RouterRow(session, this))
    , answerRow(new AnswerRow(session, this))
    , m_session(session)
{
    const std::pair<QWidget*, const char*> names[] = {
        {Label2, "Label2"},
        {username, "username"},
        {Label1, "Label1"},
        {update, "update"},
        {lblLabels[0], "lblLabels[0]"},
        {lblLabels[1], "lblLabels[1]"},
        {adress, "adress"},
        {port, "port"},
        {host, "host"},
        {join, "join"},
        {status, "status"},
        {cmdOK, "cmdOK"},
        {cmdCancel, "cmdCancel"},
        {router, "router"},
        {answerRow, "answerRow"},
    };
    for (const auto& [widget, name] : names)
        widget->setObjectName(QLatin1String(name));

    setWindowTitle(QStringLiteral("Connect"));
    setFont(uiFont(8.25));
    // The router's row below the buttons makes it that much taller, and the
    // answer's row below that while it shows.
    fitHeight();

    Label2->setText(QStringLiteral("Username:"));
    Label1->setText(QStringLiteral("Update speed in milliseconds:"));
    lblLabels[0]->setText(QStringLiteral("Ip adress:"));
    lblLabels[1]->setText(QStringLiteral("Port:"));
    fitWidth(Label1, update->x() - Label1->x());
    update->setToolTip(
        QStringLiteral("500 or higher recommend a lower value might crash the game"));
    adress->setToolTip(QStringLiteral(
        "One address or several, separated by blanks, each with its port or the port below"));
    status->setGeometry(64, 128, 185, 17);
    status->setTextFormat(Qt::PlainText);
    host->setGeometry(8, 112, 49, 17);
    join->setGeometry(8, 136, 49, 17);
    cmdOK->setGeometry(33, 157, 76, 26);
    cmdCancel->setGeometry(140, 157, 76, 26);
    router->setGeometry(0, 189, 261, RowHeight);
    answerRow->setGeometry(0, 189 + RowHeight, 261, RowHeight);
    cmdOK->setDefault(true);
    setDesignTexts();

    setTabOrder(adress, port);
    setTabOrder(port, cmdOK);
    setTabOrder(cmdOK, cmdCancel);
    setTabOrder(cmdCancel, host);
    setTabOrder(host, join);
    setTabOrder(join, update);
    setTabOrder(update, username);
    setTabOrder(username, router->internet);
    setTabOrder(router->internet, router->outside);
    setTabOrder(router->outside, router->cmdCopy);
    setTabOrder(router->cmdCopy, answerRow->answer);
    setTabOrder(answerRow->answer, answerRow->cmdCopyAnswer);

    connect(cmdOK, &QPushButton::clicked, this, &mplayer::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &mplayer::cmdCancel_Click);
    connect(adress, &QComboBox::activated, this, &mplayer::adress_Click);
    // The router is asked only by a copy that hosts.
    connect(host, &QRadioButton::toggled, router->internet, &QWidget::setEnabled);

    connect(answerRow, &AnswerRow::visibilityChanged, this, &mplayer::fitHeight);
    connect(answerRow, &AnswerRow::typedAnswerChanged, this, &mplayer::showOkText);

    connect(username, &QLineEdit::textChanged, &m_session, &Session::setUserName);
    connect(&m_session, &Session::statusChanged, status, &QLabel::setText);
    connect(&m_session, &Session::stateChanged, this, [this](ConnectionState state) {
        if (state == ConnectionState::Connected)
            hide();
    });

    m_entryWidths.insert(entryWidth(0));
    for (const FoundGame& game : m_session.games())
        gameAppeared(game);
    connect(&m_session, &Session::gameAppeared, this, &mplayer::gameAppeared);
    connect(&m_session, &Session::gameVanished, this, &mplayer::gameVanished);
}

mplayer::~mplayer() = default;

void mplayer::setDesignTexts()
{
    username->setText(QStringLiteral("Player"));
    update->setText(QStringLiteral("500"));
    adress->setCurrentIndex(0);
    adress->setEditText(QStringLiteral("localhost"));
    port->setText(QStringLiteral("2539"));
    host->setChecked(true);
    router->internet->setChecked(true);
    status->setText(QStringLiteral("Status: Idle"));
    cmdOK->setText(QStringLiteral("&OK"));
    adress->setFocus();
}

void mplayer::fitHeight()
{
    setFixedSize(261, 189 + RowHeight + (answerRow->isHidden() ? 0 : RowHeight));
}

// While the host's invitation waits, OK (and Return) takes the answer pasted
// for it; with none pasted, it stops hosting.
void mplayer::showOkText()
{
    if (m_session.state() != ConnectionState::Closed)
        cmdOK->setText(answerRow->hasTypedAnswer() ? QStringLiteral("&OK")
                                                   : QStringLiteral("&Stop"));
}

void mplayer::cmdOK_Click()
{
    if (host->isChecked() && answerRow->hasTypedAnswer()) {
        answerRow->takeTypedAnswer();
        return;
    }
    if (host->isChecked())
        ToggleHost();
    else
        ToggleJoin();
    m_session.setUpdateInterval(update->text());
    m_session.showNameTag();
}

// "localhost" is only an address; a game found fills in where it is and
// that this copy joins it.
void mplayer::adress_Click(int index)
{
    const QVariant address = adress->itemData(index, AddressRole);
    if (!address.isValid())
        return;
    adress->setEditText(address.toString());
    port->setText(QString::number(adress->itemData(index, PortRole).toInt()));
    join->setChecked(true);
}

FoundGame mplayer::gameAt(int row) const
{
    return {adress->itemData(row, NameRole).toString(),
            adress->itemData(row, AddressRole).toString(), adress->itemData(row, PortRole).toInt()};
}

// The entries after "localhost" are the games found, in the order of the
// list: a game that comes or goes touches its own entry only.
int mplayer::rowFor(const FoundGame& game) const
{
    int first = 1;
    int count = adress->count() - 1;
    while (count > 0) {
        const int step = count / 2;
        if (listedBefore(gameAt(first + step), game)) {
            first += step + 1;
            count -= step + 1;
        } else {
            count = step;
        }
    }
    return first;
}

void mplayer::gameAppeared(const FoundGame& game)
{
    KeepTyped keep(adress);
    const int row = rowFor(game);
    adress->insertItem(row, game.entryText());
    adress->setItemData(row, game.address, AddressRole);
    adress->setItemData(row, game.port, PortRole);
    adress->setItemData(row, game.name, NameRole);
    const int width = entryWidth(row);
    adress->setItemData(row, width, WidthRole);
    m_entryWidths.insert(width);
    fitList();
}

void mplayer::gameVanished(const FoundGame& game)
{
    const int row = rowFor(game);
    if (row >= adress->count() || gameAt(row) != game)
        return;
    KeepTyped keep(adress);
    m_entryWidths.erase(m_entryWidths.find(adress->itemData(row, WidthRole).toInt()));
    adress->removeItem(row);
    fitList();
}

int mplayer::entryWidth(int row) const
{
    const QAbstractItemView* list = adress->view();
    return list->sizeHintForIndex(list->model()->index(row, 0)).width();
}

// The list opens as wide as its longest entry, wider than the field if need
// be, so that no port is cut off.
void mplayer::fitList()
{
    QAbstractItemView* list = adress->view();
    int width =
        *m_entryWidths.rbegin() + 2 * list->frameWidth() + list->fontMetrics().averageCharWidth();
    if (adress->count() > adress->maxVisibleItems())
        width += list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list);
    if (width != list->minimumWidth())
        list->setMinimumWidth(width);
}

void mplayer::cmdCancel_Click()
{
    m_session.Close();
    hide();
}

void mplayer::reject()
{
    cmdCancel_Click();
}

void mplayer::closeEvent(QCloseEvent* event)
{
    setDesignTexts();
    m_placed = false;
    event->accept();
}

void mplayer::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!m_placed) {
        centreOnScreen(this);
        m_placed = true;
    }
}

void mplayer::ToggleHost()
{
    if (m_session.state() == ConnectionState::Closed)
        StartHost();
    else
        StopConnection();
}

void mplayer::ToggleJoin()
{
    if (m_session.state() == ConnectionState::Closed)
        StartJoin();
    else
        StopConnection();
}

// A start that fails at once leaves the button as it was; the status line
// says why.
void mplayer::StartHost()
{
    if (m_session.StartHost(port->text(), router->internet->isChecked()))
        cmdOK->setText(QStringLiteral("&Stop"));
}

// An address passed on with its port, as the router's row shows it to the
// host ("203.0.113.7:2539"), fills in both fields. Several addresses stay
// as they are: each is tried with its own port, or the port field's.
void mplayer::StartJoin()
{
    const bool started = m_session.StartJoin(adress->currentText(), port->text());
    if (const QList<Destination>& read = m_session.destinations();
        !m_session.invitationGiven() && read.size() == 1 && read.first().portGiven) {
        adress->setEditText(read.first().hostText());
        port->setText(QString::number(read.first().port));
    }
    if (started)
        cmdOK->setText(QStringLiteral("&Stop"));
}

void mplayer::StopConnection()
{
    m_session.StopConnection();
    cmdOK->setText(QStringLiteral("&Ok"));
}
