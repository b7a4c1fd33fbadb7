// service.cpp - the Windows service family: install counts in the registry,
// running under the service control manager, installing and removing a
// service.
//
// One service per process. psp_serviceStart hands the manager's dispatcher a
// table of one entry when the name has an install count; a process the
// manager did not start gets error 1063 there and runs main as a console
// program. As a service, main runs on a thread of its own while the service
// body reports start pending, running once main calls psp_serviceStarted,
// and stopped after psp_serviceDone and main's end. Stop and shutdown
// requests reach the control handler on the dispatcher's thread, which sets
// the caller's stop flag (a plain 16-bit store main polls).
//
// Names are checked only for being there: the service manager and the
// registry take any text and refuse what they cannot hold.
#include "internal.h"
#include "platform/os.h"
#include "platform/windows/wide.h"

#include <windows.h>

#include <atomic>
#include <cstring>

namespace psp {
namespace {

constexpr wchar_t kCountsKey[] = L"SOFTWARE\\Zebrine\\Zebrine Store\\14.1\\Services";
constexpr DWORD kStateStopped = 1, kStateStartPending = 2, kStateStopPending = 3, kStateRunning = 4;
constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN; // 5
constexpr DWORD kPendingHintMs = 5000;
constexpr DWORD kKeyRead = 0x20019, kKeyAll = 0xF003F;
constexpr DWORD kUninstallAccess = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;
constexpr DWORD kStopWaitMs = 30000, kStopPollMs = 100;

struct ServiceState {
  ServiceCall call{};
  SERVICE_STATUS_HANDLE status = nullptr;
  std::atomic<DWORD> checkPoint{1};
  SRWLOCK eventLock = SRWLOCK_INIT; // a set never meets a closed handle
  HANDLE started = nullptr, done = nullptr;
};

ServiceState g_service;

void report(DWORD state, DWORD controls, DWORD checkPoint, DWORD waitHint) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controls;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;
  SetServiceStatus(g_service.status, &status);
}

void reportStopped() { report(kStateStopped, kControlsAccepted, 0, 0); }

void reportPending(DWORD state, DWORD controls) {
  report(state, controls, g_service.checkPoint.fetch_add(1), kPendingHintMs);
}

void setEvent(HANDLE ServiceState::*which) {
  AcquireSRWLockShared(&g_service.eventLock);
  if (g_service.*which != nullptr)
    SetEvent(g_service.*which);
  ReleaseSRWLockShared(&g_service.eventLock);
}

void closeEvent(HANDLE ServiceState::*which) {
  AcquireSRWLockExclusive(&g_service.eventLock);
  if (g_service.*which != nullptr)
    CloseHandle(g_service.*which);
  g_service.*which = nullptr;
  ReleaseSRWLockExclusive(&g_service.eventLock);
}

void WINAPI controlHandler(DWORD control) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    if (g_service.call.stopFlag != nullptr)
      __atomic_store_n(g_service.call.stopFlag, static_cast<uint16_t>(1), __ATOMIC_RELAXED);
    reportPending(kStateStopPending, kControlsAccepted);
    return;
  }
  report(kStateRunning, kControlsAccepted, 0, 0);
}

DWORD WINAPI mainThread(void *) {
  int32_t code = g_service.call.main(g_service.call.argument1, g_service.call.argument2);
  threadTagRelease();
  return static_cast<DWORD>(code);
}

void WINAPI serviceBody(DWORD, LPSTR *) {
  g_service.status = RegisterServiceCtrlHandlerA(g_service.call.name, controlHandler);
  if (g_service.status == nullptr) {
    reportStopped();
    return;
  }
  reportPending(kStateStartPending, 0);
  g_flags.service.store(1);
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE started = done != nullptr ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (started == nullptr) {
    if (done != nullptr)
      CloseHandle(done);
    reportStopped();
    return;
  }
  AcquireSRWLockExclusive(&g_service.eventLock);
  g_service.done = done;
  g_service.started = started;
  ReleaseSRWLockExclusive(&g_service.eventLock);
  HANDLE thread = CreateThread(nullptr, 0, mainThread, nullptr, 0, nullptr);
  if (thread == nullptr) {
    closeEvent(&ServiceState::started);
    closeEvent(&ServiceState::done);
    reportStopped();
    return;
  }
  WaitForSingleObject(started, INFINITE);
  closeEvent(&ServiceState::started);
  report(kStateRunning, kControlsAccepted, 0, 0);
  WaitForSingleObject(done, INFINITE);
  closeEvent(&ServiceState::done);
  DWORD code = 0;
  while (GetExitCodeThread(thread, &code) && code == STILL_ACTIVE) {
  }
  CloseHandle(thread);
  reportStopped();
}

// The manager's handle for installing or removing a service, or NULL with
// the status that stops the change: nameFailure when name has no UTF-16
// form, serviceFailure when there is no service name, else what opening the
// manager gives.
SC_HANDLE openForChange(const char *name, const char *serviceName, PSP_STATUS nameFailure,
                        PSP_STATUS serviceFailure, PSP_STATUS &failure) {
  failure = nameFailure;
  if (!serviceNameValid(name))
    return nullptr;
  failure = serviceFailure;
  if (!serviceNameValid(serviceName))
    return nullptr;
  failure = nameFailure;
  if (!os::WideName(name))
    return nullptr;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  failure =
      manager == nullptr && GetLastError() == ERROR_ACCESS_DENIED ? PSP_ERR_ACCESS : PSP_ERR_SYSTEM;
  return manager;
}

// "%s %s" of path and arguments, in the thread's tag; no arguments: the path.
char *commandLine(const char *path, const char *arguments) {
  if (arguments == nullptr || arguments[0] == '\0')
    return psp_makeStrVA("pspservice", __LINE__, PSP_TAG_THREAD, "%s", path);
  return psp_makeStrVA("pspservice", __LINE__, PSP_TAG_THREAD, "%s %s", path, arguments);
}

// Waits, a bounded time, for a service that did not stop at once.
void waitStopped(SC_HANDLE service) {
  for (DWORD waited = 0; waited < kStopWaitMs; waited += kStopPollMs) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status) || status.dwCurrentState == kStateStopped)
      return;
    Sleep(kStopPollMs);
  }
}

} // namespace

bool serviceNameValid(const char *name) { return name != nullptr && name[0] != '\0'; }

uint32_t registryCount(const char *name) {
  if (!serviceNameValid(name))
    return 0;
  os::WideName wide(name);
  if (!wide)
    return 0;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCountsKey, 0, kKeyRead, &key) != ERROR_SUCCESS)
    return 0;
  DWORD value = 0, size = sizeof value;
  if (RegQueryValueExW(key, wide.get(), nullptr, nullptr, reinterpret_cast<BYTE *>(&value),
                       &size) != ERROR_SUCCESS ||
      size != sizeof value)
    value = 0;
  RegCloseKey(key);
  return value;
}

PSP_STATUS registryAdjust(const char *name, int32_t delta) {
  os::WideName wide(name);
  if (!wide)
    return PSP_ERR_SYSTEM;
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCountsKey, 0, nullptr, 0, kKeyAll, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return PSP_ERR_SYSTEM;
  DWORD value = 0, size = sizeof value;
  if (RegQueryValueExW(key, wide.get(), nullptr, nullptr, reinterpret_cast<BYTE *>(&value),
                       &size) != ERROR_SUCCESS ||
      size != sizeof value)
    value = 0;
  int64_t sum = static_cast<int64_t>(value) + delta;
  DWORD stored = sum < 0 ? 0 : sum > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<DWORD>(sum);
  LONG written = RegSetValueExW(key, wide.get(), 0, REG_DWORD,
                                reinterpret_cast<const BYTE *>(&stored), sizeof stored);
  RegCloseKey(key);
  return written == ERROR_SUCCESS ? PSP_OKAY : PSP_ERR_SYSTEM;
}

// A process the manager did not start gets 1063 from the dispatcher.
bool runAsService(const ServiceCall &call, int32_t &result) {
  g_service.call = call;
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char *>(call.name), serviceBody}, {nullptr, nullptr}};
  result = 0;
  return StartServiceCtrlDispatcherA(table) ||
         GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
}

} // namespace psp

using namespace psp;

PSP_API void psp_serviceStarted(void) { setEvent(&ServiceState::started); }

PSP_API void psp_serviceDone(void) { setEvent(&ServiceState::done); }

PSP_API PSP_STATUS psp_serviceInstall(const char *name, const char *serviceName,
                                      const char *displayName, const char *description,
                                      const char *path, const char *arguments, const char *account,
                                      const char *password) {
  if (path == nullptr)
    return PSP_ERR_SYSTEM;
  PSP_STATUS failure;
  SC_HANDLE manager = openForChange(name, serviceName, PSP_ERR_SYSTEM, PSP_ERR_SYSTEM, failure);
  if (manager == nullptr)
    return failure;
  char *command = commandLine(path, arguments);
  if (command == nullptr) {
    CloseServiceHandle(manager);
    return PSP_ERR_SYSTEM;
  }
  SC_HANDLE service =
      CreateServiceA(manager, serviceName, displayName, SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command,
                     nullptr, nullptr, nullptr, account, password);
  const DWORD createError = service == nullptr ? GetLastError() : 0;
  psp_freeMem(command, PSP_TAG_THREAD, "pspservice", __LINE__);
  if (service == nullptr) {
    CloseServiceHandle(manager);
    return createError == ERROR_INVALID_SERVICE_ACCOUNT ? PSP_ERR_ACCOUNT
           : createError == ERROR_SERVICE_EXISTS        ? PSP_EXISTS
                                                        : PSP_ERR_SYSTEM;
  }
  if (description != nullptr) {
    SERVICE_DESCRIPTIONA text{const_cast<char *>(description)};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text);
  }
  registryAdjust(name, 1);
  PSP_STATUS result = PSP_OKAY;
  if (!StartServiceA(service, 0, nullptr)) {
    const DWORD startError = GetLastError();
    if (DeleteService(service))
      registryAdjust(name, -1);
    result = startError == ERROR_SERVICE_LOGON_FAILED ? PSP_ERR_LOGON : PSP_ERR_SYSTEM;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

PSP_API PSP_STATUS psp_serviceUninstall(const char *name, const char *serviceName) {
  PSP_STATUS failure; // a name without a UTF-16 form: out of memory
  SC_HANDLE manager =
      openForChange(name, serviceName, PSP_ERR_NOMEMORY, PSP_ERR_OPENFIRST, failure);
  if (manager == nullptr)
    return failure;
  SC_HANDLE service = OpenServiceA(manager, serviceName, kUninstallAccess);
  if (service == nullptr) {
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    return error == ERROR_SERVICE_DOES_NOT_EXIST ? PSP_ERR_OPENFIRST : PSP_ERR_SYSTEM;
  }
  SERVICE_STATUS status{};
  const bool accepted = ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE;
  const bool notRunning = !accepted && GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
  if (!accepted && !notRunning && status.dwCurrentState != kStateStopped)
    waitStopped(service);
  const bool deleted = DeleteService(service) != FALSE;
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!deleted)
    return PSP_ERR_SYSTEM;
  registryAdjust(name, -1);
  return PSP_OKAY;
}
