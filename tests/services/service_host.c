/* service_host.c - a small program the Windows service tests install as a
 * service: argv[1] is its name, argv[2] a file where it notes "started" once
 * it runs and "stopped" once the stop flag was set. */
#include <stdio.h>
#include <windows.h>

#include "psp.h"

static uint16_t g_stop;

static void note(const char *file, const char *text) {
  FILE *f = fopen(file, "w");
  if (f != NULL) {
    fputs(text, f);
    fclose(f);
  }
}

static int32_t body(uint32_t unused, void *file) {
  (void)unused;
  psp_serviceStarted();
  note((const char *)file, "started");
  while (__atomic_load_n(&g_stop, __ATOMIC_RELAXED) == 0)
    Sleep(10);
  note((const char *)file, "stopped");
  psp_serviceDone();
  return 0;
}

int main(int argc, char **argv) {
  if (argc < 3 || psp_init() != PSP_OKAY)
    return 2;
  int32_t rc = psp_serviceStart(argv[1], &g_stop, 0, argv[2], body);
  psp_term();
  return rc;
}
