// The window finder of a build without a desktop it can search (no X11 support): it never
// reaches one, so the running check asks the process list instead.
#include "windowfinder.h"

namespace arbelon {

namespace {

class NoWindowFinder : public WindowFinder {
public:
    bool reachable() override { return false; }
    std::optional<bool> topLevelWindowExists(const WindowMatch &) override { return std::nullopt; }
};

} // namespace

WindowFinder::~WindowFinder() = default;

std::unique_ptr<WindowFinder> WindowFinder::create()
{
    return std::make_unique<NoWindowFinder>();
}

} // namespace arbelon
