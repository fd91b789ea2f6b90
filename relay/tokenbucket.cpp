#include "tokenbucket.h"

#include <algorithm>

namespace arbelon {

TokenBucket::TokenBucket(int burst, int perSecond)
    : m_capacity(qint64(std::max(burst, 1)) * 1000),
      m_perSecond(std::max(perSecond, 0)),
      m_milliTokens(m_capacity)
{
}

bool TokenBucket::take(qint64 nowMs)
{
    if (m_lastMs >= 0 && nowMs > m_lastMs)
        m_milliTokens = std::min(m_capacity, m_milliTokens + (nowMs - m_lastMs) * m_perSecond);
    if (m_lastMs < 0 || nowMs > m_lastMs)
        m_lastMs = nowMs;
    if (m_milliTokens < 1000)
        return false;
    m_milliTokens -= 1000;
    return true;
}

} // namespace arbelon
