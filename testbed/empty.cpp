// Keeps the testbed library non-empty before its servers exist.
