#pragma once

#include <QtGlobal>

#include <algorithm>

// How many times longer a step may take than on the build machine: the
// cross-built suite runs under qemu-user, many times slower, where
// scripts/package sets KALIMOR_TEST_TIME_SCALE; the native run keeps 1.
inline int timeScale() {
    return std::max(1, qEnvironmentVariableIntValue("KALIMOR_TEST_TIME_SCALE"));
}
