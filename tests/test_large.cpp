#include <gtest/gtest.h>

#include "encoder/qvEncoder.h"
#include "tests/support.h"

TEST(Large, Placeholder) { SUCCEED(); }
