// What the tool asks about the agent's processes and service: an image name matched as taskkill
// matches it, and a service present, marked for deletion or gone.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "system/machine_queries.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;

// As taskkill /IM without wildcards: the whole image name, in any case, nothing more or less.
// (The process snapshot and the service query are asked for real by the unattended scenario.)
TEST(ImageName, MatchesTheWholeNameInAnyCase) {
  EXPECT_TRUE(is_image_named(L"voxtrel-agent.exe", L"voxtrel-agent.exe"));
  EXPECT_TRUE(is_image_named(L"VOXTREL-Agent.EXE", L"voxtrel-agent.exe"));
  for (const wchar_t* other : {L"voxtrel-agent.exe.old", L"my-voxtrel-agent.exe", L"voxtrel-agent",
                               L"voxtrel_agent.exe", L""})
    EXPECT_FALSE(is_image_named(other, L"voxtrel-agent.exe")) << narrow(other);
}

// NotifyServiceStatusChangeW as Windows answers it for the service `marked_service` while it is
// marked for deletion: ERROR_SERVICE_MARKED_FOR_DELETE. Wine 8 and 10 keep such a service as
// Windows does, and a change of its configuration says so, but this call answers it with success.
std::wstring marked_service;

DWORD WINAPI notify_as_windows(SC_HANDLE service, DWORD mask, PSERVICE_NOTIFYW notify) {
  const UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const UniqueService own(
      OpenServiceW(manager.get(), marked_service.c_str(), SERVICE_CHANGE_CONFIG));
  if (own &&
      !ChangeServiceConfigW(own.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) &&
      GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
    return ERROR_SERVICE_MARKED_FOR_DELETE;
  return ::NotifyServiceStatusChangeW(service, mask, notify);
}

// A service of its own per test (a random name, an image that does not exist), deleted in
// tear-down if the test has not.
class ServiceQuery : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = L"voxtrel-test-" + std::to_wstring(std::random_device{}() ^ GetCurrentProcessId());
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager_) GTEST_SKIP() << "services cannot be created here (not an administrator?)";
    created_.reset(
        CreateServiceW(manager_.get(), name_.c_str(), name_.c_str(), DELETE | SERVICE_QUERY_STATUS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                       L"C:\\nowhere\\service.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(created_) << GetLastError();
  }
  void TearDown() override {
    if (created_) DeleteService(created_.get());
  }
  [[nodiscard]] Result<ServiceState> state() const { return service_state(narrow(name_)); }
  // Deletes the service while a second handle keeps it; the state while kept.
  Result<ServiceState> state_deleted_while_held() {
    UniqueService held(OpenServiceW(manager_.get(), name_.c_str(), SERVICE_QUERY_STATUS));
    EXPECT_TRUE(held && DeleteService(created_.get())) << GetLastError();
    created_.reset();
    return state();
  }

  std::wstring name_;
  UniqueService manager_;
  UniqueService created_;
};

TEST_F(ServiceQuery, ADeletedServiceIsMarkedWhileAHandleKeepsItAndGoneAfter) {
  const ServiceCalls saved = service_calls;
  service_calls.notify_status_change = &notify_as_windows;
  marked_service = name_;
  EXPECT_EQ(state(), ServiceState::kPresent);
  EXPECT_EQ(state_deleted_while_held(), ServiceState::kMarkedForDeletion);
  EXPECT_EQ(state(), ServiceState::kAbsent);
  service_calls = saved;
  EXPECT_EQ(service_state(std::string("a\0b", 3)),
            std::unexpected(Error::invalid_input(kNulInPathMessage)));
}

TEST_F(ServiceQuery, ThePlatformTellsADeletedServiceThatAHandleKeeps) {
  const auto kept = state_deleted_while_held();
  if (kept == ServiceState::kPresent) {
    GTEST_SKIP() << "NotifyServiceStatusChangeW answers success for a service marked for "
                    "deletion here (Wine 8, 10)";
  }
  EXPECT_EQ(kept, ServiceState::kMarkedForDeletion);
  EXPECT_EQ(state(), ServiceState::kAbsent);
}

}  // namespace
}  // namespace voxtrel
