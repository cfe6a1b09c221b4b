// The floor of the design: the system calls that one UpdateItem makes, with
// nothing else. It works on a real index, filed by the library, and keeps it
// as the library would; what it leaves out is everything the library does
// between the calls (strings, statistics, log checks, error handling).
#ifndef BENCH_FLOOR_H
#define BENCH_FLOOR_H

#include <stdint.h>
#include <string>

namespace bench {

class FloorReplay {
public:
    // The index of <cacheDir>/CM/7, under its lockfile.
    explicit FloorReplay(const std::string& cacheDir);

    // UpdateItem(item, size, 0) of an item that is in the index: read the
    // record, read and remove the entry, make room (nothing to prune), file a
    // new entry, move the latest link and the record, update the total.
    bool Update(const char* item, const char* record, uint64_t size);
    // UpdateItem(item, size, 0) of an item that is not in the index.
    bool Add(const char* item, const char* record, uint64_t size);

private:
    bool RemoveEntry(const char* position, uint64_t& previousSize);
    bool FileEntry(const char* item, const char* record, uint64_t size, uint64_t previousSize);
    bool MakeEntryDir(const char* dir);
    uint32_t HighestEntry(const char* dir);

    std::string m_timeTable;
    std::string m_latest;
    std::string m_size;
    std::string m_sizeTemp;
    int m_lockFd;
};

}  // namespace bench

#endif
