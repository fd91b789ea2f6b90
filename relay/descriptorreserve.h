#pragma once
// One file descriptor held back for the moment the process has no other. With it, a
// connection waiting at a listener can still be taken and closed with a word, where it would
// otherwise wait unheard while the listener stops accepting.

#include <QByteArrayView>
#include <QtGlobal>

#include <functional>

namespace arbelon {

class DescriptorReserve {
public:
    DescriptorReserve();
    ~DescriptorReserve();
    DescriptorReserve(const DescriptorReserve &) = delete;
    DescriptorReserve &operator=(const DescriptorReserve &) = delete;

    bool isHeld() const { return m_fd >= 0; }

    // Takes every connection waiting at listenFd: each goes to `accepted` while descriptors
    // last, the rest get `goodbye` (as much as fits at once) and are closed. For a Qt
    // listener that reported an error: it reports that same error after every later accept
    // too, so its own word cannot tell a shortage from an empty queue.
    struct Drained {
        int accepted = 0;
        int refused = 0;
    };
    Drained drain(qintptr listenFd, const std::function<void(qintptr)> &accepted, QByteArrayView goodbye);

private:
    bool refuseOne(qintptr listenFd, QByteArrayView goodbye);
    void hold();
    int m_fd = -1;
};

} // namespace arbelon
