// Runs of tallivan-calc.exe on Windows, started by this process with its standard streams
// redirected to files or pipes.
#include <io.h>
#include <windows.h>

#include <optional>
#include <thread>

#include "cli_test_support.h"
#include "storage/file_io.h"
#include "test_platform.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kRunLimitMs = 60'000;

// `arg` in quotes, which the C runtime of the program started takes off again; no argument here
// holds a quote or ends in a backslash, which would need escapes.
std::wstring Quoted(const std::wstring& arg) { return L"\"" + arg + L"\""; }

HANDLE Inheritable(HANDLE handle) {
  SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return handle;
}

}  // namespace

const bool kPosix = false;

void MakeSystemFiles(const fs::path&) {}

std::optional<int> RunCalcProgram(const Call& call, const fs::path& work, const fs::path& in,
                                  const fs::path& out, const fs::path& err) {
  std::wstring command = Quoted(CalcPath().native());
  for (const std::string& arg : call.args) command += L" " + Quoted(Utf8Path(arg).native());
  SetEnvironmentVariableW(L"TZ", L"UTC");
  const HANDLE err_file = Inheritable(CreateFileW(err.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  HANDLE child_in = nullptr, child_out = nullptr, drain = nullptr;
  std::optional<PipeFrom> feed;  // holds the read end the child inherits until the run is over
  if (call.setup.piped) {
    feed.emplace(ReadBytes(in));
    child_in = Inheritable(reinterpret_cast<HANDLE>(_get_osfhandle(feed->fd())));
    CreatePipe(&drain, &child_out, nullptr, 0);
    Inheritable(child_out);
  } else {
    child_in = Inheritable(CreateFileW(in.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    child_out = Inheritable(CreateFileW(out.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in;
  startup.hStdOutput = child_out;
  startup.hStdError = err_file;
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      work.c_str(), &startup, &process) != 0;
  if (!feed) CloseHandle(child_in);
  CloseHandle(child_out), CloseHandle(err_file);
  if (!started) return 127;
  std::thread drainer;
  if (call.setup.piped) {
    drainer = std::thread([drain, out] {
      std::string bytes;
      char buffer[1 << 16];
      for (DWORD got = 0; ReadFile(drain, buffer, sizeof buffer, &got, nullptr) && got > 0;) {
        bytes.append(buffer, got);
      }
      CloseHandle(drain);
      WriteBytes(out, bytes);
    });
  }
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, kRunLimitMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, static_cast<UINT>(-1));
    WaitForSingleObject(process.hProcess, INFINITE);
  } else {
    GetExitCodeProcess(process.hProcess, &code);
  }
  CloseHandle(process.hProcess), CloseHandle(process.hThread);
  if (drainer.joinable()) drainer.join();
  return static_cast<int>(code);
}

}  // namespace tallivan
