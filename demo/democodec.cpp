#include "democodec.h"

#include "q3codec.h"

namespace arbelon::demo {

std::unique_ptr<DemoCodec> makeCodec(Game game)
{
    switch (game) {
    case Game::Quake2:
        break;
    case Game::Quake3:
        return std::make_unique<Q3Codec>();
    }
    return {};
}

} // namespace arbelon::demo
