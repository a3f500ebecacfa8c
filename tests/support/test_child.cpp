// A stand-in for the system programs the tool starts. Options, in any order:
//   --record FILE   append how this process was started to FILE: its command line, the file
//                   that ran (image=), the startup flags, its current folder (cwd=) and, last,
//                   the process id
//   --print TEXT    write TEXT and a newline to standard output (--print-error: standard error)
//   --hold FILE     open FILE without delete sharing and keep it open until exiting
//   --hold-reading FILE  the same, opened for reading and sharing only reading, as any user
//                   may open a file they can read
//   --hold-folder DIR    open the folder DIR for listing, sharing no reading, as any user may one
//                        they can list, and keep it open until exiting
//   --hold-service NAME  open the service NAME for its status and keep the handle until exiting
//   --sleep MS      wait before exiting; --exit N: exit with code N (default 0)
//   --expect-event H  exit with code 2 unless H (a number) is an inherited, signalled event
//   --deny-key KEY  create HKLM\KEY and give it an empty access list, so nobody may open it
// or, alone, --limited PROG: start PROG with this process's limited linked token (as a user whom
// UAC has not elevated) on this process's standard handles, and exit with its exit code.
// Other arguments are ignored. The environment variable VOXTREL_CHILD_RECORD names a file to
// record every start in too, for stand-ins whose command line the caller does not choose, and
// VOXTREL_CHILD_DELETE_KEY a key below HKLM that such a stand-in deletes, with its subkeys, as an
// uninstall deletes the entry of a product chained to its own.
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "system/text.h"
#include "system/unique_handle.h"

namespace {

// Exit code of --limited when the child could not be started with the limited token.
constexpr int kLimitedFailure = 121;

void write_text(HANDLE handle, std::string_view text) {
  DWORD written = 0;
  WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void record_start(const wchar_t* file) {
  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  wchar_t image[MAX_PATH * 4] = {};
  const DWORD image_length = GetModuleFileNameW(nullptr, image, std::size(image));
  wchar_t directory[MAX_PATH * 4] = {};
  // A folder too long for the buffer reports the size it needs: recorded as empty.
  DWORD directory_length = GetCurrentDirectoryW(std::size(directory), directory);
  if (directory_length >= std::size(directory)) directory_length = 0;
  const voxtrel::UniqueFile out(
      CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
  write_text(out.get(), "command_line=" + voxtrel::to_utf8_lossy(GetCommandLineW()) +
                            "\nimage=" + voxtrel::to_utf8_lossy({image, image_length}) +
                            "\nflags=" + std::to_string(startup.dwFlags) +
                            "\ncwd=" + voxtrel::to_utf8_lossy({directory, directory_length}) +
                            "\npid=" + std::to_string(GetCurrentProcessId()) + "\n");
}

// An empty DACL grants nothing: deleting a tree that holds this key is refused.
void deny_key(const wchar_t* subkey) {
  HKEY created = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created,
                      nullptr) != ERROR_SUCCESS)
    return;
  const voxtrel::UniqueRegistryKey key(created);
  ACL empty{};
  InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
  SECURITY_DESCRIPTOR descriptor{};
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE);
  RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor);
}

// --limited PROG: its exit code. This process ends right after, closing the handles left open.
int run_limited(const wchar_t* program) {
  HANDLE own = nullptr;
  TOKEN_LINKED_TOKEN linked{};
  DWORD size = 0;
  HANDLE primary = nullptr;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  for (const HANDLE stream : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
    SetHandleInformation(stream, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  std::wstring command_line = L"\"" + std::wstring(program) + L"\"";
  PROCESS_INFORMATION info{};
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own) ||
      !GetTokenInformation(own, TokenLinkedToken, &linked, sizeof(linked), &size) ||
      !DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                        TokenPrimary, &primary) ||
      (!CreateProcessAsUserW(primary, program, command_line.data(), nullptr, nullptr, TRUE, 0,
                             nullptr, nullptr, &startup, &info) &&
       // Windows lets an administrator assign a token that is not its own only with this call
       // (1314 otherwise), which takes the environment from the token's profile unless given.
       (GetLastError() != ERROR_PRIVILEGE_NOT_HELD ||
        !CreateProcessWithTokenW(primary, 0, program, command_line.data(),
                                 CREATE_UNICODE_ENVIRONMENT, GetEnvironmentStringsW(), nullptr,
                                 &startup, &info)))) {
    const DWORD error = GetLastError();
    write_text(GetStdHandle(STD_ERROR_HANDLE),
               "test_child --limited: cannot start with the limited token: " +
                   std::to_string(error) + "\n");
    return kLimitedFailure;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD exit_code = kLimitedFailure;
  GetExitCodeProcess(info.hProcess, &exit_code);
  return static_cast<int>(exit_code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // A launcher is no stand-in: it records nothing, its child does.
  if (argc == 3 && std::wstring_view(argv[1]) == L"--limited") return run_limited(argv[2]);
  wchar_t record[MAX_PATH * 4] = {};
  const DWORD length = GetEnvironmentVariableW(L"VOXTREL_CHILD_RECORD", record, std::size(record));
  if (length > 0 && length < std::size(record)) record_start(record);
  wchar_t key[MAX_PATH] = {};
  const DWORD key_length =
      GetEnvironmentVariableW(L"VOXTREL_CHILD_DELETE_KEY", key, std::size(key));
  if (key_length > 0 && key_length < std::size(key)) RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
  int exit_code = 0;
  std::vector<voxtrel::UniqueFile> held;
  voxtrel::UniqueService manager;
  std::vector<voxtrel::UniqueService> held_services;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view option = argv[i];
    const bool has_value = i + 1 < argc;
    if (option == L"--record" && has_value) {
      record_start(argv[++i]);
    } else if ((option == L"--print" || option == L"--print-error") && has_value) {
      const DWORD stream = option == L"--print" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
      write_text(GetStdHandle(stream), voxtrel::to_utf8_lossy(argv[++i]) + "\n");
    } else if ((option == L"--hold" || option == L"--hold-reading") && has_value) {
      const DWORD share =
          option == L"--hold" ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
      held.emplace_back(
          CreateFileW(argv[++i], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
    } else if (option == L"--hold-folder" && has_value) {
      // Listed by this process alone: without read sharing, no other open may list it.
      held.emplace_back(CreateFileW(argv[++i], FILE_LIST_DIRECTORY,
                                    FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    } else if (option == L"--hold-service" && has_value) {
      if (!manager) manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
      held_services.emplace_back(OpenServiceW(manager.get(), argv[++i], SERVICE_QUERY_STATUS));
    } else if (option == L"--sleep" && has_value) {
      Sleep(static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10)));
    } else if (option == L"--deny-key" && has_value) {
      deny_key(argv[++i]);
    } else if (option == L"--expect-event" && has_value) {
      const auto value = static_cast<std::uintptr_t>(std::wcstoull(argv[++i], nullptr, 10));
      if (WaitForSingleObject(reinterpret_cast<HANDLE>(value), 0) != WAIT_OBJECT_0) return 2;
    } else if (option == L"--exit" && has_value) {
      exit_code = static_cast<int>(std::wcstol(argv[++i], nullptr, 10));
    }
  }
  return exit_code;
}
