/* Marks the functions that libprintxpc-client exports; everything else stays hidden. */
#ifndef PRINTXPC_VISIBILITY_H
#define PRINTXPC_VISIBILITY_H

#if defined(__GNUC__) || defined(__clang__)
#define PRINTXPC_API __attribute__((visibility("default")))
#else
#define PRINTXPC_API
#endif

#endif
