#include "cachemanager/util/PathName.h"

#include <cstring>

std::string PlainPath(const std::string& absolute)
{
    std::string plain;
    size_t start = 0;
    while (start < absolute.size()) {
        size_t end = absolute.find('/', start);
        if (end == std::string::npos)
            end = absolute.size();
        const size_t length = end - start;
        if (length == 2 && absolute.compare(start, 2, "..") == 0) {
            const size_t slash = plain.rfind('/');
            plain.resize(slash == std::string::npos ? 0 : slash);
        } else if (length > 0 && !(length == 1 && absolute[start] == '.')) {
            plain += '/';
            plain.append(absolute, start, length);
        }
        start = end + 1;
    }
    return plain.empty() ? "/" : plain;
}

bool IsWithin(const std::string& path, const std::string& dir)
{
    if (dir == "/")
        return true;
    return path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

void BaseName(const std::string& path, std::string& base)
{
    const size_t slash = path.rfind('/');
    base = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string BaseName(const std::string& path)
{
    std::string base;
    BaseName(path, base);
    return base;
}

void BaseName(const std::string& path, char* base)
{
    const size_t slash = path.rfind('/');
    const std::string text = slash == std::string::npos ? std::string() : path.substr(slash + 1);
    memcpy(base, text.c_str(), text.size() + 1);
}

void DirName(const std::string& path, std::string& dir)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        dir.clear();
    else
        dir.assign(path, 0, slash);  // safe when dir is path: assign copies first
}

std::string DirName(const std::string& path)
{
    std::string dir;
    DirName(path, dir);
    return dir;
}

void DirName(const std::string& path, char* dir)
{
    const size_t slash = path.rfind('/');
    const size_t length = slash == std::string::npos ? 0 : slash;
    memcpy(dir, path.data(), length);
    dir[length] = '\0';
}
