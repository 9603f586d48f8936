// main() of every test binary: the tests write the appliance's fixed paths,
// so they run only inside a throwaway appliance.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include "vakotest/files.h"
#include "vakotest/nested.h"

int main(int argc, char **argv)
{
    // Started by RunNested inside an appliance of its own: that step alone.
    if (std::optional<int> result = vakotest::RunNestedStepAsked())
        return *result;
    testing::InitGoogleTest(&argc, argv);
    if (!vakotest::InSandbox() && !testing::GTEST_FLAG(list_tests)) {
        fprintf(stderr, "%s: run me through vako-sandbox (ctest does)\n", argv[0]);
        return 125;
    }
    return RUN_ALL_TESTS();
}
