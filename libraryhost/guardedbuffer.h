// The output buffer every device call writes into: kHostBufferSize bytes, filled with the guard
// pattern before each call, with an inaccessible page right after its last byte. A write that
// reaches that page ends the call instead of the process: the fault handler, on a stack of its
// own since the fault may come from a smashed stack, hands the buffer as it was left to onOverrun.
#ifndef GUARDEDBUFFER_H
#define GUARDEDBUFFER_H

// Maps the buffer and installs the fault handler; false when either cannot be had. onOverrun runs
// in the handler and must not return.
bool makeGuardedBuffer(void (*onOverrun)(const char* buffer));

// The buffer, refilled with the guard pattern.
char* freshGuardedBuffer();

#endif
