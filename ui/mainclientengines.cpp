// The Setup page's engine controls: the engine of each game, a native engine's program, the
// extension of received Quake 3 demos, and the engines offered on a first start.

#include "mainclient.h"

#include "mainformparts.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace arbelon {

namespace {

// The extensions a Viewer may give Quake 3 demos; the first entry follows the engine.
const QStringList kQuake3Extensions = {QString(), QStringLiteral(".dm3"), QStringLiteral(".dm_68"),
                                       QStringLiteral(".dm_71")};

QString gameTitle(GameType gameType) { return gameType == GameType::Quake3 ? QStringLiteral("Quake 3") : QStringLiteral("Quake 2"); }

} // namespace

void TMainForm::addEngineRows(QGridLayout *grid, int row, GameType gameType)
{
    QWidget *parent = grid->parentWidget();
    const bool q3 = gameType == GameType::Quake3;
    auto *combo = named(new QComboBox(parent), q3 ? "Quake3EngineCombo" : "Quake2EngineCombo");
    auto *program = named(new QLineEdit(parent), q3 ? "Quake3ProgramEdit" : "Quake2ProgramEdit");
    program->setReadOnly(true);
    auto *button = named(new QPushButton(QStringLiteral("Program"), parent),
                         q3 ? "Quake3ProgramButton" : "Quake2ProgramButton");

    auto *line = new QHBoxLayout;
    line->addWidget(new QLabel(QStringLiteral("Engine :"), parent));
    line->addWidget(combo, 1);
    if (q3) {
        Quake3DemoExtensionCombo = named(new QComboBox(parent), "Quake3DemoExtensionCombo");
        line->addWidget(new QLabel(QStringLiteral("Demos :"), parent));
        line->addWidget(Quake3DemoExtensionCombo);
        connect(Quake3DemoExtensionCombo, &QComboBox::activated, this, [this](int index) {
            m_core->settings().quake3DemoExtension = kQuake3Extensions.value(index);
            refresh();
        });
    }
    grid->addLayout(line, row, 0, 1, 2);
    grid->addWidget(program, row + 1, 0);
    grid->addWidget(button, row + 1, 1);

    (q3 ? Quake3EngineCombo : Quake2EngineCombo) = combo;
    (q3 ? Quake3ProgramEdit : Quake2ProgramEdit) = program;
    (q3 ? Quake3ProgramButton : Quake2ProgramButton) = button;
    connect(combo, &QComboBox::activated, this, [this, gameType](int index) { EngineComboChange(gameType, index); });
    connect(button, &QPushButton::clicked, this, [this, gameType] { ProgramButtonClick(gameType); });
}

void TMainForm::syncEngines()
{
    const ClientSettings &s = m_core->settings();
    for (const GameType gameType : {GameType::Quake2, GameType::Quake3}) {
        const bool q3 = gameType == GameType::Quake3;
        QComboBox *combo = q3 ? Quake3EngineCombo : Quake2EngineCombo;
        const GameInstall game = m_core->gameInstall(gameType);
        // The list is made anew only when the engines known change.
        QStringList ids;
        for (const EngineProfile &e : m_core->engines()) {
            if (e.gameType == int(gameType))
                ids << e.id;
        }
        QStringList shown;
        for (int i = 0; i < combo->count(); ++i)
            shown << combo->itemData(i).toString();
        if (shown != ids) {
            combo->clear();
            for (const EngineProfile &e : m_core->engines()) {
                if (e.gameType == int(gameType))
                    combo->addItem(e.title, e.id);
            }
        }
        combo->setCurrentIndex(combo->findData(game.engine.id));
        // A Windows program sits in its game folder; only a native engine has one to choose.
        const bool native = !game.engine.dataDir.isEmpty();
        QLineEdit *program = q3 ? Quake3ProgramEdit : Quake2ProgramEdit;
        const QString text = native ? game.program : QStringLiteral("(in the game folder)");
        if (program->text() != text)
            program->setText(text);
        program->setEnabled(native);
        (q3 ? Quake3ProgramButton : Quake2ProgramButton)->setEnabled(native);
    }
    if (Quake3DemoExtensionCombo->count() == 0) {
        for (const QString &ext : kQuake3Extensions)
            Quake3DemoExtensionCombo->addItem(ext);
    }
    Quake3DemoExtensionCombo->setItemText(
        0, QStringLiteral("engine's (%1)").arg(engineprofiles::find(m_core->engines(), s.quake3Engine).value_or(engineprofiles::original(1)).viewerExtension));
    Quake3DemoExtensionCombo->setCurrentIndex(qMax(0, int(kQuake3Extensions.indexOf(s.quake3DemoExtension))));
}

void TMainForm::EngineComboChange(GameType gameType, int index)
{
    QComboBox *combo = gameType == GameType::Quake3 ? Quake3EngineCombo : Quake2EngineCombo;
    m_core->chooseEngine(gameType, combo->itemData(index).toString());
    refresh();
}

void TMainForm::ProgramButtonClick(GameType gameType)
{
    ClientSettings &s = m_core->settings();
    QString &program = gameType == GameType::Quake3 ? s.quake3Program : s.quake2Program;
    const QString title = QStringLiteral("Program of ") + m_core->gameInstall(gameType).engine.title;
    const QString chosen = m_hooks.runProgramDialog
                               ? m_hooks.runProgramDialog(this, program, title)
                               : QFileDialog::getOpenFileName(this, title, program.isEmpty() ? QDir::homePath() : program);
    if (chosen.isEmpty())
        return;
    if (!QFileInfo(chosen).isExecutable()) {
        m_prompts->showMessage(QStringLiteral("%1 is not a program that can run").arg(QDir::toNativeSeparators(chosen)));
        return;
    }
    program = chosen;
    refresh();
}

void TMainForm::proposeInstalledEngines()
{
    for (const GameType gameType : {GameType::Quake2, GameType::Quake3}) {
        const QList<EngineProfile> found = m_core->installedEngines(gameType);
        if (found.isEmpty())
            continue;
        const EngineProfile &e = found.first();
        const QString program = engineprofiles::findProgram(
            e, engineprofiles::pathFolders());
        const QString question = QStringLiteral("%1 is installed (%2). Use it for %3?")
                                     .arg(e.title, QDir::toNativeSeparators(program), gameTitle(gameType));
        // The engine found is the likely answer: the window's own box offers Yes first.
        const bool yes = m_prompts == &m_widgetPrompts ? m_widgetPrompts.confirmYes(question)
                                                       : m_prompts->confirm(question);
        if (yes)
            m_core->chooseEngine(gameType, e.id);
    }
    refresh();
}

} // namespace arbelon
