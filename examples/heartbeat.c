/* psp_heartbeat - a worker that runs as a console program or as a systemd
 * service through psp_serviceStart, printing a heartbeat until it is asked
 * to stop.
 *
 *   psp_heartbeat [beats [interval-ms]]   run; beats 0 runs until stopped
 *   psp_heartbeat install                 install as psp-heartbeat.service (root)
 *   psp_heartbeat uninstall               stop and remove it again (root)
 */
#include "psp.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define SERVICE "psp-heartbeat"

struct settings {
  uint32_t beats;      /* 0: until stopped */
  uint32_t intervalMs; /* between beats */
};

/* Set to 1 by the library when the service manager asks the service to stop. */
static uint16_t stopRequested;

static int stopping(void) { return *(volatile uint16_t *)&stopRequested != 0; }

static int32_t work(uint32_t unused, void *argument) {
  const struct settings *s = argument;
  char line[128];
  (void)unused;
  psp_serviceStarted(); /* ready for work: the manager now sees the service running */
  for (uint32_t beat = 1; (s->beats == 0 || beat <= s->beats) && !stopping(); ++beat) {
    PSP_TM now;
    uint64_t t0 = psp_timeNanoSecs();
    if (psp_timeLocaltime(psp_timeSecs(), &now) != NULL)
      psp_snprintf(line, sizeof line, "heartbeat %u at %04d-%02d-%02d %02d:%02d:%02d (pid %u)",
                   beat, now.year + 1900, now.mon + 1, now.mday, now.hour, now.min, now.sec,
                   psp_get_pid());
    else
      psp_snprintf(line, sizeof line, "heartbeat %u", beat);
    psp_errPrint(line);
    /* Wait out the interval in short naps so that a stop request is seen soon. */
    while (!stopping() && psp_timeNanoSecs() - t0 < (uint64_t)s->intervalMs * 1000000u)
      psp_sleep(s->intervalMs < 50 ? s->intervalMs : 50);
  }
  psp_errPrint(stopping() ? "stop requested, finishing" : "all beats done");
  psp_serviceDone(); /* finished: once this function returns the service has stopped */
  return 0;
}

static int install(const char *self) {
  /* The manager starts the program by its full path. */
  char *path = psp_fullpathEx(self, PSP_TAG_DEFAULT);
  if (path == NULL) {
    fprintf(stderr, "%s: no full path\n", self);
    return 1;
  }
  PSP_STATUS status = psp_serviceInstall(
      SERVICE, SERVICE, "psp heartbeat example",
      "Prints a heartbeat every second until it is stopped.\nInstalled by examples/heartbeat.c.",
      path, "0 1000", NULL, NULL);
  psp_freeMem(path, PSP_TAG_DEFAULT, __FILE__, __LINE__);
  printf("install %s: %d\n", SERVICE, (int)status);
  return status == PSP_OKAY ? 0 : 1;
}

int main(int argc, char **argv) {
  if (psp_init() != PSP_OKAY) {
    fprintf(stderr, "psp_init failed\n");
    return 1;
  }
  int rc;
  if (argc > 1 && strcmp(argv[1], "install") == 0) {
    rc = install(argv[0]);
  } else if (argc > 1 && strcmp(argv[1], "uninstall") == 0) {
    PSP_STATUS status = psp_serviceUninstall(SERVICE, SERVICE);
    printf("uninstall %s: %d\n", SERVICE, (int)status);
    rc = status == PSP_OKAY ? 0 : 1;
  } else {
    struct settings s = {argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 10) : 0,
                         argc > 2 ? (uint32_t)strtoul(argv[2], NULL, 10) : 1000};
    /* As a console program this runs work() here; under systemd, after an
       install, it runs work() on its own thread and reports to the manager. */
    rc = psp_serviceStart(SERVICE, &stopRequested, 0, &s, work);
  }
  psp_term();
  return rc;
}
