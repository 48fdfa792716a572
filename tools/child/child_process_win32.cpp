// Running a child process on Windows: CreateProcess with pipes, a job
// object that ends every child with the parent, the thread pool's wait for
// a child's end. Nothing of POSIX here.
#include <windows.h>

#include <string>
#include <vector>

#include "child_win32.h"
#include "tools/child/child_process.h"

namespace {

// Each pipe holds this much before its writer waits (korvel's output) or
// drops a line (korvel's channel).
constexpr DWORD kPipeSize = 64 * 1024;
// The exit code of a child that KillChild ended: what Windows gives a
// console program that a Ctrl+C ended.
constexpr UINT kKilledExitCode = 0xC000013A;

std::string SystemMessage(DWORD code) {
  char text[256] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                     0,  // the user's language
                     text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message + " (" + std::to_string(code) + ")";
}

// The job every child joins: when the parent's last handle to it closes,
// as it does when the parent ends in whatever way, every child still in it
// ends too.
HANDLE JobForChildren() {
  static const HANDLE job = [] {
    HANDLE made = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (made != nullptr) {
      SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    return made;
  }();
  return job;
}

void CloseIfOpen(HANDLE* handle) {
  if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) CloseHandle(*handle);
  *handle = nullptr;
}

// The child's handles: the null device for input and errors, the writing
// ends of its pipes. Inheritable only while CreateProcess runs (made so
// by Launch): another child started meanwhile would hold them open.
struct ChildEnds {
  HANDLE null = nullptr;
  HANDLE output = nullptr;
  HANDLE channel = nullptr;
  HANDLE stop = nullptr;  // the stop event, which the parent keeps as well
};

void CloseEnds(ChildEnds* ends) {
  CloseIfOpen(&ends->null);
  CloseIfOpen(&ends->output);
  CloseIfOpen(&ends->channel);
}

// The child's environment: the parent's, with the variables that name its
// inherited handles. Empty for none, which CreateProcess reads as the
// parent's own.
std::string EnvironmentFor(const ChildLaunch& launch, const ChildEnds& ends) {
  std::vector<std::pair<std::string, std::string>> settings;
  const auto value = [](HANDLE handle) {
    return std::to_string(reinterpret_cast<uintptr_t>(handle));
  };
  if (ends.channel != nullptr) settings.emplace_back(launch.channelVariable, value(ends.channel));
  if (ends.stop != nullptr) settings.emplace_back(launch.stopVariable, value(ends.stop));
  if (settings.empty()) return std::string();
  char* parent = GetEnvironmentStringsA();
  std::string block = ChildEnvironmentBlock(parent, settings);
  FreeEnvironmentStringsA(parent);
  return block;
}

// Creates the child suspended, with exactly |ends| inherited (a list of
// handles: nothing else of the parent's, not even what it opened as
// inheritable itself) and, when there is a channel, its handle's value in
// the variable. Returns 0 or the system's error code.
DWORD CreateSuspended(const ChildLaunch& launch, const ChildEnds& ends,
                      PROCESS_INFORMATION* created) {
  std::vector<HANDLE> inherited = {ends.null, ends.output};
  if (ends.channel != nullptr) inherited.push_back(ends.channel);
  if (ends.stop != nullptr) inherited.push_back(ends.stop);
  for (HANDLE handle : inherited) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 1);
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  const bool listed =
      InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
      UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                inherited.size() * sizeof(HANDLE), nullptr, nullptr);
  if (!listed) return GetLastError();

  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = ends.null;
  startup.StartupInfo.hStdOutput = ends.output;
  startup.StartupInfo.hStdError = ends.null;
  startup.lpAttributeList = attributes;
  std::vector<std::string> args = {launch.program};
  args.insert(args.end(), launch.args.begin(), launch.args.end());
  std::string commandLine = WindowsCommandLine(args);
  std::string environment = EnvironmentFor(launch, ends);
  // Its own process group takes it out of reach of the Ctrl+C on the
  // parent's console (the parent's to handle), and lets AskChildToEnd
  // reach it alone.
  const DWORD flags = CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT;
  const bool started = CreateProcessA(launch.program.c_str(), commandLine.data(), nullptr,
                                      nullptr,  // default security for the process and its thread
                                      TRUE,     // inherit: the handles of the list alone
                                      flags, environment.empty() ? nullptr : environment.data(),
                                      nullptr,  // the parent's working folder
                                      &startup.StartupInfo, created) != 0;
  const DWORD error = started ? 0 : GetLastError();
  DeleteProcThreadAttributeList(attributes);
  return error;
}

// Called by the thread pool when a child has ended.
void CALLBACK ChildHasEnded(void* /*context*/, BOOLEAN /*timedOut*/) {
  NoteChildEnded();
}

// The pipes; false with the error code in |error|.
bool OpenPipes(const ChildLaunch& launch, ChildEnds* ends, HANDLE* outRead, HANDLE* channelRead,
               DWORD* error) {
  SECURITY_ATTRIBUTES plain{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  ends->null = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &plain, OPEN_EXISTING, 0, nullptr);
  // The stop event: manual-reset, so that every look of the child's after
  // the parent set it sees it set.
  if (!launch.stopVariable.empty()) ends->stop = CreateEventA(&plain, TRUE, FALSE, nullptr);
  const bool made = ends->null != INVALID_HANDLE_VALUE &&
                    (launch.stopVariable.empty() || ends->stop != nullptr) &&
                    CreatePipe(outRead, &ends->output, &plain, kPipeSize) &&
                    (launch.channelVariable.empty() ||
                     CreatePipe(channelRead, &ends->channel, &plain, kPipeSize));
  *error = made ? 0 : GetLastError();
  return made;
}

}  // namespace

bool StartChild(const ChildLaunch& launch, Child* child, std::string* error) {
  if (launch.terminalColumns != 0) {
    *error = "cannot start " + launch.program + " on a terminal of its own here";
    return false;
  }
  // 1. The pipes and the null device.
  ChildEnds ends;
  HANDLE outRead = nullptr;
  HANDLE channelRead = nullptr;
  DWORD code = 0;
  PROCESS_INFORMATION created{};
  if (OpenPipes(launch, &ends, &outRead, &channelRead, &code)) {
    code = CreateSuspended(launch, ends, &created);
  }
  // 2. Only the child writes into the pipes now, so that they end with it.
  CloseEnds(&ends);
  if (code != 0) {
    CloseIfOpen(&outRead);
    CloseIfOpen(&channelRead);
    CloseIfOpen(&ends.stop);
    *error = "cannot start " + launch.program + ": " + SystemMessage(code);
    return false;
  }
  // 3. Into the job before it runs a single instruction. A system that
  // refuses (a parent in a job that allows no other) still runs it: ended
  // by the time limit and by a second stop request, just not by the
  // parent's death.
  AssignProcessToJobObject(JobForChildren(), created.hProcess);
  ResumeThread(created.hThread);
  CloseHandle(created.hThread);
  child->process.process = created.hProcess;
  child->process.id = created.dwProcessId;
  child->process.stopEvent = ends.stop;
  // 4. Its pipes' readers and the wait for its end. A reader that can't
  // start leaves its pipe closed: the child's writes there fail.
  StartPipeReader(outRead, &child->output);
  if (channelRead != nullptr) StartPipeReader(channelRead, &child->channel);
  RegisterWaitForSingleObject(&child->process.endWait, created.hProcess, ChildHasEnded, nullptr,
                              INFINITE, WT_EXECUTEONLYONCE);
  return true;
}

bool ChildEnded(Child* child, ChildExit* exit) {
  ChildProcess& process = child->process;
  if (process.process == nullptr) return true;
  if (WaitForSingleObject(process.process, 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(process.process, &code);
  // The low byte, as a POSIX shell reads an exit status: korvel's -1 is
  // 255 on both. A code that is no exit status (a crash's exception code)
  // or the one KillChild gave reads as no status.
  const auto signedCode = static_cast<int32_t>(code);
  const bool byItself = !(process.killed && code == kKilledExitCode);
  if (byItself && signedCode >= -256 && signedCode <= 255) exit->status = signedCode & 0xFF;
  // INVALID_HANDLE_VALUE: wait until the callback, if it runs, is over.
  if (process.endWait != nullptr) UnregisterWaitEx(process.endWait, INVALID_HANDLE_VALUE);
  if (process.stopEvent != nullptr) CloseHandle(process.stopEvent);
  CloseHandle(process.process);
  process = ChildProcess{};
  return true;
}

bool AskChildToEnd(Child* child) {
  if (child->process.process == nullptr) return false;
  // korvel watches the event it was given and ends at its next safe point,
  // leaving its port as found.
  if (child->process.stopEvent != nullptr) return SetEvent(child->process.stopEvent) != 0;
  // Else the one gentle end Windows offers for another console program: a
  // Ctrl+Break to its process group. It reaches it only when both share a
  // console; a child that ignores it is ended by KillChild.
  return GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child->process.id) != 0;
}

void KillChild(Child* child) {
  if (child->process.process == nullptr) return;
  child->process.killed = true;
  TerminateProcess(child->process.process, kKilledExitCode);
}

std::string ProgramBesideSelf(const std::string& name) {
  char self[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  if (length == 0 || length >= sizeof self) return name + ".exe";
  const std::string path(self, length);
  return path.substr(0, path.find_last_of("\\/") + 1) + name + ".exe";
}
