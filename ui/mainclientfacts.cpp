// The lobby's view of what is on: a line (map, mode, clock, score), the scoreboard and the
// event feed, from the demo as it arrives. A double click on a frag or a capture plays it.

#include "mainclient.h"

#include "eventfeedmodel.h"
#include "mainformparts.h"
#include "scoreboardmodel.h"

#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QTreeView>
#include <QVBoxLayout>

#include <memory>

namespace arbelon {

namespace {

void plainList(QTreeView *view)
{
    view->setRootIsDecorated(false);
    view->setItemsExpandable(false);
    view->setUniformRowHeights(true);
    view->setAllColumnsShowFocus(true);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->header()->setSectionsClickable(false);
    view->header()->setStretchLastSection(false);
}

} // namespace

QWidget *TMainForm::buildFactsPanel(QWidget *parent)
{
    auto *panel = named(new QFrame(parent), "FactsPanel");
    panel->setMinimumWidth(240);
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    FactsLabel = named(new QLabel(panel), "FactsLabel");
    FactsLabel->setTextFormat(Qt::PlainText); // the map and names come from the demo
    FactsLabel->setContentsMargins(4, 2, 4, 2);
    layout->addWidget(FactsLabel);

    ScoreBoard = named(new QTreeView(panel), "ScoreBoard");
    ScoreBoard->setModel(m_core->scoreBoard());
    plainList(ScoreBoard);
    ScoreBoard->header()->setSectionResizeMode(ScoreBoardModel::ColPlayer, QHeaderView::Stretch);
    ScoreBoard->header()->resizeSection(ScoreBoardModel::ColTeam, 70);
    ScoreBoard->header()->resizeSection(ScoreBoardModel::ColScore, 50);
    // Short lists scroll: the lobby must still fit a small screen at a high scale.
    ScoreBoard->setMinimumHeight(40);
    layout->addWidget(ScoreBoard, 2);

    EventFeed = named(new QTreeView(panel), "EventFeed");
    EventFeed->setModel(m_core->eventFeed());
    plainList(EventFeed);
    EventFeed->header()->resizeSection(EventFeedModel::ColNumber, 34);
    EventFeed->header()->resizeSection(EventFeedModel::ColClock, 44);
    EventFeed->header()->setSectionResizeMode(EventFeedModel::ColEvent, QHeaderView::Stretch);
    EventFeed->setToolTip(QStringLiteral("Double click on a frag or a capture to play it from 10 s before"));
    EventFeed->setMinimumHeight(40);
    layout->addWidget(EventFeed, 3);

    // The feed follows its newest event while the user has not scrolled up.
    auto atEnd = std::make_shared<bool>(true);
    connect(m_core->eventFeed(), &QAbstractItemModel::rowsAboutToBeInserted, EventFeed, [this, atEnd] {
        const QScrollBar *bar = EventFeed->verticalScrollBar();
        *atEnd = bar->value() == bar->maximum();
    });
    connect(m_core->eventFeed(), &QAbstractItemModel::rowsInserted, EventFeed, [this, atEnd] {
        if (*atEnd)
            EventFeed->scrollToBottom();
    });
    connect(EventFeed, &QTreeView::doubleClicked, this, [this](const QModelIndex &index) {
        EventFeedDblClick(index.row());
    });
    connect(m_core, &ClientCore::factsChanged, FactsLabel, [this] { FactsLabel->setText(m_core->factsLine()); });
    // The Filmer's lobby has no demo arriving to read.
    connect(m_core, &ClientCore::lobbyEntered, panel, [this, panel] { panel->setVisible(m_core->role() == Role::Viewer); });
    return panel;
}

void TMainForm::EventFeedDblClick(int row)
{
    guarded([this, row] {
        QString why;
        if (!m_core->playEvent(row, &why) && !why.isEmpty())
            m_prompts->showMessage(why);
    });
}

} // namespace arbelon
