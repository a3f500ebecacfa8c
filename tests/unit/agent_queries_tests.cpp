#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "system/agent_queries.h"
#include "system/text.h"

namespace voxtrel {
namespace {

// As taskkill /IM without wildcards: the whole image name, in any case, nothing more or less.
TEST(ImageName, MatchesTheWholeNameInAnyCase) {
  EXPECT_TRUE(is_image_named(L"voxtrel-agent.exe", L"voxtrel-agent.exe"));
  EXPECT_TRUE(is_image_named(L"VOXTREL-Agent.EXE", L"voxtrel-agent.exe"));
  for (const wchar_t* other : {L"voxtrel-agent.exe.old", L"my-voxtrel-agent.exe", L"voxtrel-agent",
                               L"voxtrel_agent.exe", L""}) {
    EXPECT_FALSE(is_image_named(other, L"voxtrel-agent.exe")) << to_utf8_lossy(other);
  }
}

// This test program is a running process like any other: found by its own image name, whatever
// the case, and not by a name it does not have.
TEST(ProcessesNamed, FindsTheRunningProcessesOfAnImage) {
  wchar_t path[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  std::wstring image(path);
  image.erase(0, image.find_last_of(L'\\') + 1);
  std::ranges::transform(image, image.begin(), [](wchar_t c) { return towupper(c); });
  const auto ids = processes_named(to_utf8_lossy(image));
  ASSERT_TRUE(ids.has_value()) << "error " << ids.error().code();
  EXPECT_NE(std::ranges::find(*ids, GetCurrentProcessId()), ids->end());
  const auto none = processes_named("no-such-image-anywhere.exe");
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}

TEST(ServiceExists, AnswersFalseOnlyForAServiceThatIsNotThere) {
  EXPECT_EQ(service_exists("VoxtrelAgentThatIsNotThere"), Result<bool>(false));
  // Wine and Windows both register the Windows Installer service.
  EXPECT_EQ(service_exists("msiserver"), Result<bool>(true));
}

}  // namespace
}  // namespace voxtrel
