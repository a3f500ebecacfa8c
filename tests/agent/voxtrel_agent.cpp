// A stand-in for the Voxtrel agent, installed by the staging script as
// "C:\Program Files\Voxtrel\voxtrel-agent.exe". Started by the service control manager it is the
// service "VoxtrelAgent": it registers its control handler, reports running, and reports stopped
// when asked to stop. Started any other way (with --console, or when the dispatcher finds no
// service control manager to talk to) it is an ordinary process that idles until it is killed.
// With --record-controls FILE as its first arguments it appends each control it receives to
// FILE, with the time in milliseconds since 1970: "control=1 time_ms=...".
#include <chrono>
#include <string>
#include <string_view>

#include "system/unique_handle.h"
#include "system/windows_api.h"

namespace {

constexpr wchar_t kServiceName[] = L"VoxtrelAgent";
constexpr DWORD kStopWaitHintMs = 3000;

SERVICE_STATUS_HANDLE g_status_handle = nullptr;
HANDLE g_stop_event = nullptr;  // owned by service_main for the whole life of the service
const wchar_t* g_control_record = nullptr;

void record_control(DWORD control) {
  if (g_control_record == nullptr) return;
  using std::chrono::milliseconds, std::chrono::system_clock;
  const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const std::string line =
      "control=" + std::to_string(control) + " time_ms=" + std::to_string(ms) + "\n";
  const voxtrel::UniqueFile out(CreateFileW(g_control_record, FILE_APPEND_DATA, FILE_SHARE_READ,
                                            nullptr, OPEN_ALWAYS, 0, nullptr));
  DWORD written = 0;
  WriteFile(out.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void report_status(DWORD state, DWORD exit_code = NO_ERROR) {
  const DWORD accepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  const DWORD wait_hint = state == SERVICE_STOP_PENDING ? kStopWaitHintMs : 0;
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, accepted, exit_code, 0, 0, wait_hint};
  SetServiceStatus(g_status_handle, &status);
}

DWORD WINAPI control_handler(DWORD control, DWORD, void*, void*) {
  record_control(control);
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    report_status(SERVICE_STOP_PENDING);
    SetEvent(g_stop_event);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI service_main(DWORD, wchar_t**) {
  const voxtrel::UniqueKernelHandle stop_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_stop_event = stop_event.get();
  g_status_handle = RegisterServiceCtrlHandlerExW(kServiceName, control_handler, nullptr);
  if (g_status_handle == nullptr) return;
  if (!stop_event) {
    report_status(SERVICE_STOPPED, GetLastError());
    return;
  }
  report_status(SERVICE_RUNNING);
  WaitForSingleObject(stop_event.get(), INFINITE);
  report_status(SERVICE_STOPPED);
}

// The ordinary process: nothing to do but be there, holding its image open, until killed.
[[noreturn]] void idle_forever() {
  for (;;) Sleep(INFINITE);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && argv[1] == std::wstring_view(L"--console")) idle_forever();
  if (argc > 2 && argv[1] == std::wstring_view(L"--record-controls")) g_control_record = argv[2];
  const SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), service_main},
                                        {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table)) return 0;
  // Not started by the service control manager: run as the agent's plain process instead.
  if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) idle_forever();
  return 1;
}
