#include "democodec.h"

#include "q2codec.h"
#include "q3codec.h"

namespace arbelon::demo {

std::unique_ptr<DemoCodec> makeCodec(Game game)
{
    switch (game) {
    case Game::Quake2:
        return std::make_unique<Q2Codec>();
    case Game::Quake3:
        return std::make_unique<Q3Codec>();
    }
    return {};
}

} // namespace arbelon::demo
