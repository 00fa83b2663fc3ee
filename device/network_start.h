#pragma once

struct AppContext;

// Opens the whole network side: the local interfaces, the HTTP service with its poll thread
// and one listener per local address at the notification port. Returns 0 when the host has
// no usable address, -1 when no listener could be opened, else a positive count.
int startNetwork(AppContext& context);
