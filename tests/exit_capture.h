// Tests of code that may end the process: the exit hook throws instead, so
// that a test sees the status and what was written to standard error.
#pragma once

#include "cstsyst.h"

#include <gtest/gtest.h>

#include <string>

struct ProcessEnded {
    int status;
};

struct Ending {
    int status = -1; // -1: returned normally
    std::string err;
};

// Runs `action` with standard error captured and the end of the process
// turned into a return.
template <typename Action> Ending run_to_end(Action action)
{
    set_exit_hook([](int status) { throw ProcessEnded{status}; });
    testing::internal::CaptureStderr();
    Ending ending;
    try {
        action();
    } catch (const ProcessEnded &end) {
        ending.status = end.status;
    }
    ending.err = testing::internal::GetCapturedStderr();
    set_exit_hook(nullptr);
    return ending;
}
