// pspservice.cpp - running a program as a system service under systemd.
//
// psp_serviceStart runs the program's main in the calling thread unless the
// name has an install count and the service manager started the process;
// then main runs on a thread of its own while the calling thread keeps the
// manager informed: ready once main calls psp_serviceStarted, stopping when
// a stop request arrives (which also sets the caller's stop flag), and done
// once main has called psp_serviceDone and ended. One service per process:
// the state below is written before the handler and the thread exist and
// read by them afterwards. The two events are made once and only reset
// later, so a late psp_serviceStarted or psp_serviceDone from a stray thread
// sets a live object and changes nothing that matters.
#include "internal.h"
#include "platform/os.h"

#include <atomic>

namespace psp {
namespace {

struct ServiceState {
  ServiceCall call{};
  os::SyncObject started, done;
  bool eventsMade = false;
  std::atomic<bool> live{false};     // the events belong to a running service
  std::atomic<bool> running{false};  // a service body is under way
  std::atomic<bool> stopping{false}; // "STOPPING=1" has gone out
};

ServiceState g_service;

// Signal context: a relaxed store and one datagram, nothing else.
void onStopRequest() {
  if (g_service.call.stopFlag != nullptr)
    __atomic_store_n(g_service.call.stopFlag, static_cast<uint16_t>(1), __ATOMIC_RELAXED);
  if (!g_service.stopping.exchange(true))
    os::svc::notify("STOPPING=1");
}

uint32_t serviceMain(void *) {
  int32_t code = g_service.call.main(g_service.call.argument1, g_service.call.argument2);
  threadTagRelease();
  return static_cast<uint32_t>(code);
}

// The service body. A step that cannot be done ends the service at once, as
// the manager sees it when the process returns.
int32_t runService() {
  os::svc::linkOpen();
  if (!os::svc::stopHandlerInstall(onStopRequest)) {
    os::svc::linkClose();
    return 0;
  }
  g_flags.service.store(1);
  if (!g_service.eventsMade) {
    os::eventInit(g_service.started);
    os::eventInit(g_service.done);
    g_service.eventsMade = true;
  }
  os::eventReset(g_service.started);
  os::eventReset(g_service.done);
  g_service.stopping.store(false);
  g_service.live.store(true);

  void *thread = nullptr;
  if (os::threadCreate(serviceMain, nullptr, 0, &thread)) {
    os::eventWait(g_service.started, os::kWaitForever);
    os::svc::notify("READY=1");
    os::eventWait(g_service.done, os::kWaitForever);
    uint32_t code = 0;
    os::threadJoin(thread, code);
  }
  g_service.live.store(false);
  os::svc::stopHandlerRemove();
  os::svc::linkClose();
  return 0;
}

} // namespace

bool runAsService(const ServiceCall &call, int32_t &result) {
  if (!os::svc::managerPresent())
    return false;
  if (g_service.running.exchange(true)) {
    result = PSP_ERR_SYSTEM; // one service per process
    return true;
  }
  g_service.call = call;
  result = runService();
  g_service.running.store(false);
  return true;
}

} // namespace psp

using namespace psp;

PSP_API void psp_serviceStarted(void) {
  if (g_service.live.load())
    os::eventSet(g_service.started);
}

PSP_API void psp_serviceDone(void) {
  if (g_service.live.load())
    os::eventSet(g_service.done);
}
