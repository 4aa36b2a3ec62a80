#include "test_support.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    vantor_test::private_prefix prefix;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
