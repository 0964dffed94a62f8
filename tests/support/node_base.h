/*
 * A node-like root for tests that need a whole Debian system to install
 * into: the overlay lowerdir list (highest layer first) of a fresh node
 * root, as `osk-cluster base` prints it (made once per build, kept).
 * Returns "" (and the test fails) when it cannot be had.
 */
#ifndef OSK_TEST_NODE_BASE_H
#define OSK_TEST_NODE_BASE_H

#include <string>

std::string node_base_root();

/* BUILD/test-cache: downloads kept between test runs. */
std::string test_cache_dir();

#endif
