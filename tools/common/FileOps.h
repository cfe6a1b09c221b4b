// Plain file operations for the programs around the library (the checker,
// cmtool, the tests, the fuzz targets and the benchmark). Unlike the
// library's own wrappers they write no log lines: each reports by its result,
// with errno set.
#ifndef TOOLS_COMMON_FILEOPS_H
#define TOOLS_COMMON_FILEOPS_H

#include <stddef.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace cm {
namespace fileops {

// A link's whole text. False, with errno, when it cannot be read, or
// ENAMETOOLONG when it is longer than limit bytes.
bool ReadLink(const std::string& path, size_t limit, std::string& text);
// The text, or otherwise when the link cannot be read.
std::string LinkOr(const std::string& path, const std::string& otherwise = "");

struct DirEntry {
    std::string name;
    unsigned char type;  // d_type: DT_UNKNOWN on file systems that do not say
};
// A directory's names without "." and "..", read whole and sorted by name.
// False, with errno, when it cannot be opened.
bool ListDir(const std::string& path, std::vector<DirEntry>& entries);
std::vector<std::string> ListNames(const std::string& path);  // empty when unreadable

// mkdir -p. False, with errno, when a directory could not be made.
bool MakeDirs(const std::string& path, mode_t mode = 0777);
// rm -rf within one file system, never following links; directories made
// unwritable are made writable first. False when something stayed.
bool RemoveTree(const std::string& path);

}  // namespace fileops
}  // namespace cm

#endif
