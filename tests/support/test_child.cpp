// A stand-in for the system programs the tool starts. Options, in any order:
//   --record FILE   write how this process was started (command line, startup flags, process
//                   id) to FILE
//   --print TEXT    write TEXT and a newline to standard output
//   --print-error TEXT  the same to standard error
//   --hold FILE MS  open FILE without delete sharing and keep it open for MS milliseconds
//   --sleep MS      wait before exiting
//   --exit N        exit with code N (default 0)
//   --expect-event H  exit with code 2 unless H (a number) is a signalled event handle here: one
//                   the parent let this process inherit
//   --deny-key KEY  create HKLM\KEY and give it an empty access list, so nobody may open it
// or, alone:
//   --limited PROG  start PROG with this process's limited linked token (as a user whom UAC has
//                   not elevated), on this process's standard handles; wait for it and exit with
//                   its exit code; nothing is recorded
// Other arguments are ignored. When the environment variable VOXTREL_CHILD_RECORD names a file,
// the start is appended there too: for stand-ins whose command line the caller does not choose,
// and that may be started several times. A record holds the command line, the file that ran
// (image=) and the startup flags.
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include "system/text.h"
#include "system/unique_handle.h"

namespace {

// Exit code of --limited when the child could not be started with the limited token.
constexpr int kLimitedFailure = 121;

void write_text(HANDLE handle, std::string_view text) {
  DWORD written = 0;
  WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string start_record() {
  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  std::string record = "command_line=" + voxtrel::to_utf8_lossy(GetCommandLineW()) + "\n";
  wchar_t image[MAX_PATH * 4] = {};
  const DWORD image_length = GetModuleFileNameW(nullptr, image, std::size(image));
  record += "image=" + voxtrel::to_utf8_lossy(std::wstring_view(image, image_length)) + "\n";
  record += "flags=" + std::to_string(startup.dwFlags) + "\n";
  record += "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
  return record;
}

void record_start(const wchar_t* file) {
  const voxtrel::UniqueFile out(
      CreateFileW(file, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
  write_text(out.get(), start_record());
}

// Appends to the file named by the environment variable, if it is set.
void record_start_from_environment() {
  wchar_t file[MAX_PATH * 4] = {};
  const DWORD length = GetEnvironmentVariableW(L"VOXTREL_CHILD_RECORD", file, std::size(file));
  if (length == 0 || length >= std::size(file)) return;
  const voxtrel::UniqueFile out(
      CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
  write_text(out.get(), start_record());
}

// An empty DACL grants nothing: deleting a tree that holds this key is refused.
void deny_key(const wchar_t* subkey) {
  HKEY created = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  const voxtrel::UniqueRegistryKey key(created);
  ACL empty{};
  InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
  SECURITY_DESCRIPTOR descriptor{};
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE);
  RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor);
}

// The limited token linked to this process's full one, as a primary token to start a child with.
voxtrel::UniqueKernelHandle limited_token() {
  HANDLE own = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) return {};
  const voxtrel::UniqueKernelHandle own_token(own);
  TOKEN_LINKED_TOKEN linked{};
  DWORD size = 0;
  if (!GetTokenInformation(own, TokenLinkedToken, &linked, sizeof(linked), &size)) return {};
  const voxtrel::UniqueKernelHandle linked_token(linked.LinkedToken);
  HANDLE primary = nullptr;
  if (!DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                        TokenPrimary, &primary)) {
    return {};
  }
  return voxtrel::UniqueKernelHandle(primary);
}

int fail_limited(std::string_view what) {
  const DWORD error = GetLastError();
  write_text(GetStdHandle(STD_ERROR_HANDLE), "test_child --limited: " + std::string(what) +
                                                 " failed: " + std::to_string(error) + "\n");
  return kLimitedFailure;
}

int run_limited(const wchar_t* program) {
  const voxtrel::UniqueKernelHandle token = limited_token();
  if (!token) return fail_limited("getting the limited token");
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  for (const HANDLE stream : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    SetHandleInformation(stream, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  std::wstring command_line = L"\"" + std::wstring(program) + L"\"";
  PROCESS_INFORMATION info{};
  if (!CreateProcessAsUserW(token.get(), program, command_line.data(), nullptr, nullptr, TRUE, 0,
                            nullptr, nullptr, &startup, &info)) {
    return fail_limited("CreateProcessAsUserW");
  }
  const voxtrel::UniqueKernelHandle process(info.hProcess);
  const voxtrel::UniqueKernelHandle thread(info.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD exit_code = kLimitedFailure;
  GetExitCodeProcess(process.get(), &exit_code);
  return static_cast<int>(exit_code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int exit_code = 0;
  voxtrel::UniqueFile held;
  DWORD hold_ms = 0;
  // A launcher is no stand-in: it records nothing, its child does.
  if (argc == 3 && std::wstring_view(argv[1]) == L"--limited") return run_limited(argv[2]);
  record_start_from_environment();
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view option = argv[i];
    const bool has_value = i + 1 < argc;
    if (option == L"--record" && has_value) {
      record_start(argv[++i]);
    } else if (option == L"--print" && has_value) {
      write_text(GetStdHandle(STD_OUTPUT_HANDLE), voxtrel::to_utf8_lossy(argv[++i]) + "\n");
    } else if (option == L"--print-error" && has_value) {
      write_text(GetStdHandle(STD_ERROR_HANDLE), voxtrel::to_utf8_lossy(argv[++i]) + "\n");
    } else if (option == L"--hold" && i + 2 < argc) {
      held.reset(CreateFileW(argv[i + 1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
      hold_ms = static_cast<DWORD>(std::wcstoul(argv[i + 2], nullptr, 10));
      i += 2;
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
  if (held) Sleep(hold_ms);
  return exit_code;
}
