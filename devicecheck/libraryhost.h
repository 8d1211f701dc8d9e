// The child side of the device checker: loads the device library in a forked process and calls
// its functions on request, copying bytes and judging nothing. Uses no Qt, and never returns.
#ifndef LIBRARYHOST_H
#define LIBRARYHOST_H

// Runs in the child right after fork(): the library's standard output and error go to output,
// requests come and answers go over channel (see hostprotocol.h). Ends with _exit.
[[noreturn]] void hostLibrary(const char* path, int channel, int output);

#endif
