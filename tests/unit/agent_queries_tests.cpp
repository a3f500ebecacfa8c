#include <gtest/gtest.h>

#include "system/agent_queries.h"
#include "system/text.h"

namespace voxtrel {
namespace {

// As taskkill /IM without wildcards: the whole image name, in any case, nothing more or less.
// (The process snapshot and the service query are asked for real by the unattended scenario.)
TEST(ImageName, MatchesTheWholeNameInAnyCase) {
  EXPECT_TRUE(is_image_named(L"voxtrel-agent.exe", L"voxtrel-agent.exe"));
  EXPECT_TRUE(is_image_named(L"VOXTREL-Agent.EXE", L"voxtrel-agent.exe"));
  for (const wchar_t* other : {L"voxtrel-agent.exe.old", L"my-voxtrel-agent.exe", L"voxtrel-agent",
                               L"voxtrel_agent.exe", L""}) {
    EXPECT_FALSE(is_image_named(other, L"voxtrel-agent.exe")) << to_utf8_lossy(other);
  }
}

}  // namespace
}  // namespace voxtrel
