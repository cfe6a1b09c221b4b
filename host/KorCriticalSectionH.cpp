#include "host/KorCriticalSectionH.h"

KorCriticalSectionH::KorCriticalSectionH() = default;
KorCriticalSectionH::~KorCriticalSectionH() = default;

bool KorCriticalSectionH::enter(bool wait)
{
    if (!wait)
        return m_mutex.try_lock();
    m_mutex.lock();
    return true;
}

void KorCriticalSectionH::leave() { m_mutex.unlock(); }
