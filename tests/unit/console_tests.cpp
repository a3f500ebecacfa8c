#include <gtest/gtest.h>

#include "system/process_runner.h"

namespace voxtrel {
namespace {

TEST(ArgumentWriting, Placeholder) { SUCCEED(); }

}  // namespace
}  // namespace voxtrel
