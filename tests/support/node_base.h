/*
 * A node-like root for tests that need a whole Debian system to install
 * into: the overlay lowerdir list (highest layer first) of a fresh node
 * root, as `osk-cluster base` prints it. Where this build's osk-cluster
 * has no such subcommand, a minimal Debian 12 made by mmdebstrap once in
 * BUILD/test-cache/node-root, kept for later runs; concurrent test
 * processes wait for each other on a lock file beside it.
 * Returns "" (and the test fails) when neither can be had.
 */
#ifndef OSK_TEST_NODE_BASE_H
#define OSK_TEST_NODE_BASE_H

#include <string>

std::string node_base_root();

/* BUILD/test-cache: downloads kept between test runs. */
std::string test_cache_dir();

#endif
