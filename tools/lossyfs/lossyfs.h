#pragma once

// What the FUSE calls of lossyfs share with its main().
#define FUSE_USE_VERSION 31
#include <csignal>
#include <cstdio>
#include <fuse.h>

class Pending;

struct LossyState {
    int root = -1; // the backing folder
    Pending *pending = nullptr;
    FILE *log = nullptr;
    long syncs = 0; // fsync, fdatasync and fsyncdir calls so far
    long cutAt = 0; // the sync that cuts the power, 0 for none
    fuse_session *session = nullptr;
    volatile sig_atomic_t cut = 0;
};
extern LossyState lossy;

// Cuts the power: every later call fails with EIO and the loop ends, so that main() can take
// back what was not durable. Safe in a signal handler.
void cutNow();
fuse_operations lossyOperations();
