// The rescanning cache that keeps no index: to make room it walks every item
// file, stats each one, sorts them by modification time and deletes the
// oldest until enough bytes are freed.
#ifndef BENCH_RESCAN_H
#define BENCH_RESCAN_H

#include <stddef.h>
#include <stdint.h>
#include <string>

namespace bench {

class RescanCache {
public:
    explicit RescanCache(const std::string& root) : m_root(root), m_lastCount(0) {}

    // Deletes the oldest files under the root until bytes are freed; returns
    // how many it deleted.
    size_t MakeRoom(uint64_t bytes);

private:
    std::string m_root;
    size_t m_lastCount;
};

}  // namespace bench

#endif
