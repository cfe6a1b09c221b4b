// The host's critical section: re-entrant and counted. The thread that holds
// it may enter again; each leave() undoes one enter().
#ifndef HOST_KORCRITICALSECTIONH_H
#define HOST_KORCRITICALSECTIONH_H

#include <mutex>

#include "host/LogWriter.h"

class HOST_EXPORT KorCriticalSectionH {
public:
    KorCriticalSectionH();
    ~KorCriticalSectionH();
    KorCriticalSectionH(const KorCriticalSectionH&) = delete;
    KorCriticalSectionH& operator=(const KorCriticalSectionH&) = delete;

    // wait true: returns with the section held by the calling thread.
    // wait false: takes the section only if it is free or already ours;
    // the result says whether it was taken.
    bool enter(bool wait);
    void leave();

private:
    std::recursive_mutex m_mutex;
};

#endif
