// A private helper header.
