/*
 * The sandbox-test base: every test gets a fresh sandbox copy of this
 * machine (sandbox.h) in sb, destroyed when it ends however it ends. A
 * fixture that prepares files calls SandboxTest::SetUp() first.
 */
#ifndef OSK_TEST_SANDBOX_FIXTURE_H
#define OSK_TEST_SANDBOX_FIXTURE_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox.h"

class SandboxTest : public ::testing::Test
{
  protected:
    sandbox sb;

    void SetUp() override
    {
        sandbox_create(&sb);
    }
    void TearDown() override
    {
        sandbox_destroy(&sb);
    }

    /* This build's `update ARGS` in the sandbox, as the operator runs it. */
    run_result update(std::vector<std::string> args, const sandbox_opts &opts = sandbox_opts())
    {
        args.insert(args.begin(), build_program("update"));
        return sandbox_run(&sb, args, opts);
    }
    /* A shell script in the sandbox. */
    run_result sh(const std::string &script, const sandbox_opts &opts = sandbox_opts())
    {
        return sandbox_run(&sb, {"/bin/sh", "-c", script}, opts);
    }
};

#endif
