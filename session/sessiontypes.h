#pragma once
// The session's values as the window, the link handler and arbelon-cli speak of them.

#include "records.h"

#include <QtGlobal>

namespace arbelon {

enum class SessionState {
    Disconnected, // no connection and no attempt
    Connecting,   // an attempt, or a connection whose relay has not yet answered
    Connected,    // the relay's games are listed
    InLobby,      // watching or filming a game
};

// A game as the relay numbers it.
using GameId = quint32;
// A demo by its row in the lobby's demo list: rows are only ever appended while a lobby lasts.
using DemoId = int;

enum class PlayFrom {
    Auto,  // the demo still arriving live when live play is offered, any other from its start
    Live,  // at the live edge; refused with a line when not offered
    Start, // from its first message
};

} // namespace arbelon
