#pragma once
// The window's mapping of a row of its lists onto the session's calls, for suites that drive
// the core without a window.

#include "clientcore.h"
#include "gamelistmodel.h"

namespace arbelon::test {

inline void selectRow(ClientCore &core, int row)
{
    core.gameList()->setSelectedRow(row);
    core.selectGame(core.gameList()->selectedId());
}

// What Watch Game does: the selected game, if any.
inline bool watchSelected(ClientCore &core)
{
    const std::optional<GameId> id = core.selectedGame();
    return id && core.watchGame(*id);
}

} // namespace arbelon::test
