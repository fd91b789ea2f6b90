#pragma once
// One game's demo format, message by message: the framing of the file, what each message says
// (game state, snapshots, server commands), and the messages of a new demo that starts from the
// newest snapshot read. A codec holds only the state the format needs (the game state and the
// last snapshots that later ones may be delta-coded from), never the whole demo.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <stdexcept>

namespace arbelon::demo {

// A demo that is not a valid demo of its game, or lies about sizes, entity numbers or delta
// sources. The message says what was wrong, for the user.
class DemoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Game { Quake2,
                  Quake3 };

// One message of the file as framed.
struct Frame {
    enum Kind { Incomplete,
                Message,
                End };
    Kind kind = Incomplete;
    qsizetype size = 0;     // bytes of the file this frame takes, framing included
    qint32 sequence = 0;    // the message's sequence number where the format has one
    QByteArrayView payload; // the message itself, inside the bytes given to nextFrame
};

// What one message told.
struct MessageInfo {
    bool gameState = false;    // it (re)started the game state: a new level
    bool snapshot = false;     // it carried a snapshot (a frame)
    qint64 serverTimeMs = 0;   // the snapshot's game time, when it carried one
    bool intermission = false; // the snapshot shows the end-of-match intermission
};

class DemoCodec {
public:
    virtual ~DemoCodec() = default;

    virtual Game game() const = 0;
    // The protocol the demo's own content names; 0 until it has been read.
    virtual int protocol() const = 0;

    // The next frame at the start of bytes: Incomplete while more bytes are needed, End for the
    // demo's end marker. Throws DemoError for a frame no valid demo holds (a size out of bounds).
    virtual Frame nextFrame(QByteArrayView bytes) const = 0;

    // Reads one message and keeps what later messages and a rebuilt start need. Throws
    // DemoError for a message that is not valid, an unknown protocol included.
    virtual MessageInfo parse(const Frame &frame) = 0;

    // True once a game state and a snapshot that a demo can start from have been read.
    virtual bool canRebuild() const = 0;
    // A valid demo's first messages, framed as in a file: the game state as it stands and a
    // full (not delta-coded) copy of the newest snapshot read. From then on the codec tracks
    // which snapshots such a copy holds, for liveForm.
    virtual QByteArray rebuild() = 0;
    // The framed form, in that copy, of the message parse() just read: the same bytes where all
    // it refers to is in the copy, re-encoded from what the copy holds otherwise (a snapshot
    // delta-coded from one before the rebuilt start). Empty when it has no place there.
    virtual QByteArray liveForm(const Frame &frame) = 0;
    // The end marker, framed.
    virtual QByteArray endMarker() const = 0;
    // A reader in the same state, that goes on by itself: a copy can start where this one is.
    virtual std::unique_ptr<DemoCodec> clone() const = 0;
};

// A codec for one game's demos.
std::unique_ptr<DemoCodec> makeCodec(Game game);

} // namespace arbelon::demo
