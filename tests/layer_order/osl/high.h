// The log-layer header that low.cpp must not include.
