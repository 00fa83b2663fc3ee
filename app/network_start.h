#pragma once

struct AppContext;

// Opens the whole network side: the local interfaces, the HTTP service with its poll thread,
// one listener per local address at the notification port and the display search on the same
// addresses. Returns 0 when the host has no usable address, -1 when no HTTP listener could be
// opened, else the number of search sockets (0 when none could be bound).
int startNetwork(AppContext& context);
