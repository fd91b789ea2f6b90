#pragma once
// Token bucket for rate limits: holds up to `burst` tokens, refilled at `perSecond`.

#include <QtGlobal>

namespace arbelon {

class TokenBucket {
public:
    TokenBucket(int burst, int perSecond);
    // Takes one token at time nowMs (a monotonic clock); false when none is left.
    bool take(qint64 nowMs);

private:
    // Tokens are kept in thousandths so that refill needs no floating point.
    qint64 m_capacity;
    qint64 m_perSecond;
    qint64 m_milliTokens;
    qint64 m_lastMs = -1;
};

} // namespace arbelon
