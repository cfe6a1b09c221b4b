// Symbols are hidden by default; this marks the ones a host may link against.
#ifndef CACHEMANAGER_EXPORT_H
#define CACHEMANAGER_EXPORT_H

#define CM_EXPORT __attribute__((visibility("default")))
#define CM_HIDDEN __attribute__((visibility("hidden")))

#endif
