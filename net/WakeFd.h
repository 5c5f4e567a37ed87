#pragma once
// The eventfd that wakes a connection's waits (connect, resolution, the worker's poll).

// A non-blocking, close-on-exec eventfd, or -1.
int CreateWakeFd();
// Makes the descriptor readable.
void SignalWakeFd(int fd);
// Reads the pending count so that the descriptor is quiet again.
void DrainWakeFd(int fd);
